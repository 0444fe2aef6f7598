#include "programs/talva2vis3/uv_output.h"

#include <array>
#include <cmath>
#include <cstdint>

#include "miriad/uvio.h"
#include "programs/talva2vis3/records.h"
#include "util/stop.h"

uv_interop_t uv_interop_;

namespace {
constexpr const char* kVersionLine = "TALVA: Miriad version 1.1 29-Aug-2006";
constexpr double kLatitude = talva::sky::kLatitude;    // site latitude, radians
constexpr double kLongitude = talva::sky::kLongitude;  // site longitude, radians
constexpr float kIntTime = 0.99999994f;                // largest float below 1, seconds
// Height of the site above the reference ellipsoid, metres: the array
// description has none, so the dataset says sea level (it enters no
// coordinate the records carry).
constexpr double kSiteAltitude = talva::sky::kAltitude;

void put_r(int tno, const char* name, float v) { miriad::uvputvrr(tno, name, std::array<float, 1>{v}); }
void put_i(int tno, const char* name, std::int32_t v) { miriad::uvputvri(tno, name, std::array<std::int32_t, 1>{v}); }
void put_d(int tno, const char* name, double v) { miriad::uvputvrd(tno, name, std::array<double, 1>{v}); }

// antpos: the X values of all antennas, then all Y, then all Z, in the
// earth-centred frame turned so that X passes through the local meridian
// (Y east, Z to the north pole). The array lies on the east-west line, so
// each antenna differs from the others in Y only.
void put_antpos(int tno) {
  const std::vector<double> east = uv_interop_.positions ? uv_interop_.positions() : std::vector<double>{};
  if (east.empty()) talva::stop("interop: no antenna positions for antpos");
  const std::size_t n = east.size();
  std::vector<double> xyz(3 * n, 0.0);
  for (std::size_t k = 0; k < n; ++k) xyz[n + k] = east[k];
  miriad::uvputvrd(tno, "antpos", xyz);
}
}  // namespace

double local_apparent_sidereal_time(double jd) { return uv_interop_.clock.last(jd); }

int create_uv_dataset(const std::string& name, const UvHeader& h) {
  int tno = 0;
  miriad::uvopen(tno, name, "new");
  miriad::uvset(tno, "preamble", "uvw/time/baseline", 0, 0.0, 0.0, 0.0);
  miriad::hisopen(tno, "write");
  miriad::hiswrite(tno, kVersionLine);
  miriad::hisinput(tno, "IMAGER");
  put_r(tno, "epoch", 2000.0f);
  put_i(tno, "nants", h.nants);
  put_r(tno, "veldop", 0.0f);
  put_r(tno, "vsource", 0.0f);
  miriad::uvputvra(tno, "source", "TALVA");
  put_d(tno, "ra", h.ra);
  put_d(tno, "obsra", h.ra);
  put_d(tno, "dec", h.dec);
  put_d(tno, "obsdec", h.dec);
  put_d(tno, "latitud", kLatitude);
  put_d(tno, "longitu", kLongitude);
  miriad::uvputvra(tno, "telescop", "TALVA");
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
  if (uv_interop_.on) {
    put_d(tno, "altitude", kSiteAltitude);
    miriad::uvputvra(tno, "instrume", "TALVA");
    uv_interop_.antpos_written = false;
    uv_interop_.have_lst = false;
    uv_interop_.have_apparent = false;
  }
  return tno;
}

void write_uv_record(double u, double v, double time, double baseline, std::complex<float> data,
                     const RecordGeometry& geometry) {
  auto& io = uv_interop_;
  const int tno = talva_common_.tno;
  // A non-finite value (a damaged archive) is written as 0+0i and flagged bad.
  const bool finite = std::isfinite(data.real()) && std::isfinite(data.imag());
  const std::complex<float> value = finite ? data : std::complex<float>{};
  talva::sky::Uvw uvw{u, v, 0.0};
  const bool complete = io.on || io.ms;
  if (complete) {
    if (!io.have_apparent) {
      io.apparent = talva::sky::apparent_place(io.ra, io.dec, time);
      io.have_apparent = true;
    }
    if (geometry.tracked)
      uvw = talva::sky::east_west_uvw(geometry.ha, io.apparent.dec, geometry.spacing / talva_common_.sfreq);
  }
  if (io.uv) {
    if (io.on) {
      if (!io.antpos_written) {
        put_antpos(tno);
        put_d(tno, "obsra", io.apparent.ra);
        put_d(tno, "obsdec", io.apparent.dec);
        io.antpos_written = true;
      }
      // The records of a dump share their time: lst is put when the time
      // changes and holds for the records that follow (a put of an unchanged
      // value would write nothing).
      if (!io.have_lst || time != io.lst_time) {
        io.lst = local_apparent_sidereal_time(time);
        io.lst_time = time;
        io.have_lst = true;
        put_d(tno, "lst", io.lst);
      }
    }
    const std::array<double, 5> preamble =
        io.on ? std::array<double, 5>{uvw.u, uvw.v, uvw.w, time, baseline} : std::array<double, 5>{u, v, 0.0, time, baseline};
    const std::array<std::complex<float>, 1> d{value};
    const std::array<std::int32_t, 1> flags{finite ? 1 : 0};
    miriad::uvwrite(tno, preamble, d, flags, talva_common_.nchan);
  }
  if (io.ms) io.ms(OutputRecord{time, baseline, uvw, io.apparent, value, !finite});
}

void close_uv_dataset(int tno) {
  miriad::hisclose(tno);
  miriad::uvclose(tno);
}
