#include "convert/ms_output.h"

#include <sys/statvfs.h>

#include <cmath>

#include "array/layout.h"
#include "miriad/key.h"
#include "util/constants.h"
#include "util/stop.h"

using talva::array::antenna_x;

namespace talva::convert {

namespace {

talva::msio::Setup ms_setup(const RunSetup& s, const std::string& application) {
  talva::msio::Setup m;
  m.ra = s.ra;
  m.dec = s.dec;
  m.frequency = s.sfreq * 1e9;
  m.channel_width = s.sdf * 1e9;
  m.application = application;
  for (const auto& a : talva::miriad::key_history()) m.history.push_back(a);
  return m;
}

void check_room(const std::string& path) {
  // The table system writes the descriptions of a new set's tables when
  // each of them closes, where a full disk cannot be reported but aborts
  // the program: a set is begun only with room for all of them.
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct statvfs fs {};
  if (::statvfs(dir.c_str(), &fs) != 0) return;  // the writer reports what is wrong with the folder
  const unsigned long long free = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
  if (free < MsSink::kSetupBytes)
    talva::stop("cannot create MeasurementSet " + path + ": " + std::to_string(free / 1024) +
                " KB free on its file system, " + std::to_string(MsSink::kSetupBytes / 1024) +
                " KB needed for its tables before the first row");
}

}  // namespace

// Not closed: the writer drops the set (it never throws doing so).
MsSink::~MsSink() = default;

bool ms_rows_per_pair(Flavour flavour, int imode) { return flavour == Flavour::Legacy && imode == kTalva1a; }

void MsSink::begin_run(const RunSetup& setup) {
  geometry_.emplace(setup.ra, setup.dec, setup.sfreq);
  positions_ = setup.positions;
  if (per_pair_) {
    // The array's antennas mirrored (position(b) - position(a) is then the
    // spacing of each pair's uvw, as for every record), nanoseconds.
    positions_.clear();
    for (int a = 1; a <= 96; ++a)
      positions_.push_back(-static_cast<double>(antenna_x(a)) / static_cast<double>(talva::kWavelength) / setup.sfreq);
  }
  check_room(path_);
  writer_ = talva::msio::open_writer(path_, ms_setup(setup, application_));
  frame_.emplace(setup.ra, setup.dec);
}

void MsSink::add(const UvRecord& r, talva::miriad::Baseline pair, std::complex<float> data, bool flagged) {
  const talva::sky::Uvw uvw = geometry_->uvw(r);
  frame_->set_date(r.time, geometry_->apparent(r.time));
  const talva::sky::Uvw j = frame_->to_j2000(uvw);
  talva::msio::Row row;
  row.time = (r.time - talva::sky::kMjdToJd) * 86400.0;
  row.antenna1 = pair.a - 1;
  row.antenna2 = pair.b - 1;
  // A MeasurementSet holds UVW = position(ANTENNA2) - position(ANTENNA1) and
  // data = sum F exp(+2 pi i (u l + v m + w (n - 1))), as the uv records do
  // (ARCHITECTURE.md, "Sky convention"): the record's data and (u, v, w)
  // unchanged, only turned into the J2000 frame. A non-finite value (a
  // damaged archive) is written as 0+0i and flagged.
  constexpr double c = talva::sky::kMetresPerNanosecond;
  row.uvw = {j.u * c, j.v * c, j.w * c};
  row.data = flagged ? std::complex<float>{} : data;
  row.flagged = flagged;
  writer_->add(row);
  ++rows_;
}

void MsSink::record(const UvRecord& r) {
  if (!per_pair_) {
    add(r, r.antennas, r.data, r.flagged);
    return;
  }
  // Each pair (i, j) of the record, its correlation oriented from i to j:
  // the uvw of position(i) - position(j) in the array.
  for (const PairTerm& t : r.pairs) {
    UvRecord p = r;
    p.spacing_length = static_cast<double>(antenna_x(t.i) - antenna_x(t.j)) / static_cast<double>(talva::kWavelength);
    add(p, {t.i, t.j}, t.value, !(std::isfinite(t.value.real()) && std::isfinite(t.value.imag())));
  }
}

void MsSink::publish() {
  if (!writer_ || closed_) return;
  closed_ = true;
  if (!note_.empty()) writer_->note(note_);
  const std::vector<double>& east = positions_;
  std::vector<talva::msio::Antenna> antennas;
  for (std::size_t k = 0; k < east.size(); ++k)
    antennas.push_back(
        {"A" + std::to_string(k + 1), talva::sky::itrf_position(east[k] * talva::sky::kMetresPerNanosecond), dish_});
  writer_->set_antennas(antennas);
  writer_->close();
}

}  // namespace talva::convert
