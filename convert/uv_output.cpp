#include "convert/uv_output.h"

#include <array>
#include <cmath>
#include <cstdint>

#include "miriad/uvio.h"
#include "util/constants.h"
#include "util/stop.h"

namespace talva::convert {

namespace {
constexpr const char* kVersionLine = "TALVA: Miriad version 1.1 29-Aug-2006";
using talva::kIntTime;
// Height of the site above the reference ellipsoid, metres: the array
// description has none, so the dataset says sea level (it enters no
// coordinate the records carry).
constexpr double kSiteAltitude = 0.0;

void put_r(int tno, const char* name, float v) { talva::miriad::uvputvrr(tno, name, std::array<float, 1>{v}); }
void put_i(int tno, const char* name, std::int32_t v) {
  talva::miriad::uvputvri(tno, name, std::array<std::int32_t, 1>{v});
}
void put_d(int tno, const char* name, double v) { talva::miriad::uvputvrd(tno, name, std::array<double, 1>{v}); }

// antpos: the X values of all antennas, then all Y, then all Z, in the
// earth-centred frame turned so that X passes through the local meridian
// (Y east, Z to the north pole). The array lies on the east-west line, so
// each antenna differs from the others in Y only.
void put_antpos(int tno, const std::vector<double>& east) {
  if (east.empty()) talva::stop("interop: no antenna positions for antpos");
  const std::size_t n = east.size();
  std::vector<double> xyz(3 * n, 0.0);
  for (std::size_t k = 0; k < n; ++k) xyz[n + k] = east[k];
  talva::miriad::uvputvrd(tno, "antpos", xyz);
}
}  // namespace

UvDatasetSink::~UvDatasetSink() { abandon(); }

std::string UvDatasetSink::abandon() noexcept {
  // A failed run: the unfinished dataset goes with everything in it.
  if (!open_) return {};
  open_ = false;
  prepared_ = false;
  held_.clear();
  talva::miriad::uvdiscard(tno_);
  return {};
}

void UvDatasetSink::begin_run(const RunSetup& h) {
  program_ = h.flavour == Flavour::Legacy ? "TALVA2VIS" : "TALVA2VIS3";
  sfreq_ = h.sfreq;
  int& tno = tno_;
  talva::miriad::uvopen(tno, name_, "new");
  talva::miriad::uvset(tno, "preamble", "uvw/time/baseline", 0, 0.0, 0.0, 0.0);
  talva::miriad::hisopen(tno, "write");
  talva::miriad::hiswrite(tno, kVersionLine);
  talva::miriad::hisinput(tno, "IMAGER");
  if (!h.history_note.empty()) talva::miriad::hiswrite(tno, std::string(program_) + ": " + h.history_note);
  put_r(tno, "epoch", 2000.0f);
  put_i(tno, "nants", h.nants);
  put_r(tno, "veldop", 0.0f);
  put_r(tno, "vsource", 0.0f);
  talva::miriad::uvputvra(tno, "source", "TALVA");
  put_d(tno, "ra", h.ra);
  put_d(tno, "obsra", h.ra);
  put_d(tno, "dec", h.dec);
  put_d(tno, "obsdec", h.dec);
  put_d(tno, "latitud", h.latitude);
  put_d(tno, "longitu", h.longitude);
  talva::miriad::uvputvra(tno, "telescop", "TALVA");
  put_r(tno, "inttime", kIntTime);
  put_i(tno, "nchan", 1);
  put_i(tno, "ischan", 1);
  put_i(tno, "nschan", 1);
  put_i(tno, "nspect", 1);
  put_d(tno, "sfreq", h.sfreq);
  put_d(tno, "sdf", h.sdf);
  put_i(tno, "npol", 1);
  put_i(tno, "pol", 1);
  put_r(tno, "jyperk", 40.0f);
  put_r(tno, "systemp", 45.0f);
  put_d(tno, "restfreq", 0.0);
  if (interop_) {
    put_d(tno, "altitude", kSiteAltitude);
    talva::miriad::uvputvra(tno, "instrume", "TALVA");
    positions_ = h.positions;
    geometry_.emplace(h.ra, h.dec, h.sfreq);
    antpos_written_ = false;
    have_lst_ = false;
  }
  open_ = true;
}

void UvDatasetSink::record(const UvRecord& r) {
  const std::complex<float> value = r.flagged ? std::complex<float>{} : r.data;
  const std::int32_t flag = r.flagged ? 0 : 1;
  if (!interop_) {
    held_.push_back({{r.u(sfreq_), r.v(sfreq_), 0.0, r.time, r.antennas.number()}, value, flag});
    return;
  }
  const int tno = tno_;
  const talva::sky::Uvw uvw = geometry_->uvw(r);
  if (!antpos_written_) {
    put_antpos(tno, positions_);
    const talva::sky::Place& apparent = geometry_->apparent(r.time);
    put_d(tno, "obsra", apparent.ra);
    put_d(tno, "obsdec", apparent.dec);
    antpos_written_ = true;
  }
  // The records of a dump share their time: lst is put when the time
  // changes and holds for the records that follow (a put of an unchanged
  // value would write nothing).
  if (!have_lst_ || r.time != lst_time_) {
    lst_time_ = r.time;
    have_lst_ = true;
    put_d(tno, "lst", clock_.last(r.time));
  }
  const std::array<talva::miriad::UvPoint, 1> point{
      {{{uvw.u, uvw.v, uvw.w, r.time, r.antennas.number()}, value, flag}}};
  talva::miriad::uvwrite_points(tno, point);
}

void UvDatasetSink::write_held() {
  if (held_.empty()) return;
  talva::miriad::uvwrite_points(tno_, held_);
  held_.clear();
}

void UvDatasetSink::end_dump() { write_held(); }

void UvDatasetSink::interrupted(const std::string& note) {
  if (!open_ || prepared_) return;
  write_held();
  talva::miriad::hiswrite(tno_, std::string(program_) + ": " + note);
  end_run();
}

void UvDatasetSink::end_run() {
  if (!open_ || prepared_) return;
  write_held();
  talva::miriad::hisclose(tno_);
  talva::miriad::uvprepare(tno_);
  prepared_ = true;
}

void UvDatasetSink::publish() {
  if (!open_) return;
  end_run();
  open_ = false;
  talva::miriad::uvclose(tno_);
}

}  // namespace talva::convert
