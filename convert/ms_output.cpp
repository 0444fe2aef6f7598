#include "convert/ms_output.h"

#include <sys/statvfs.h>

#include <cmath>

#include "array/layout.h"
#include "miriad/key.h"
#include "util/constants.h"
#include "util/stop.h"

namespace {

msio::Setup ms_setup(const MsOutput::Setup& s) {
  msio::Setup m;
  m.ra = s.ra;
  m.dec = s.dec;
  m.frequency = s.sfreq * 1e9;
  m.channel_width = s.sdf * 1e9;
  m.application = s.application;
  for (const auto& a : miriad::key_history()) m.history.push_back(a);
  return m;
}

}  // namespace

MsOutput::MsOutput(Setup setup)
    : setup_(std::move(setup)), writer_((check_room(setup_.path), msio::open_writer(setup_.path, ms_setup(setup_)))),
      frame_(setup_.ra, setup_.dec) {}

void MsOutput::check_room(const std::string& path) {
  // The table system writes the descriptions of a new set's tables when
  // each of them closes, where a full disk cannot be reported but aborts
  // the program: a set is begun only with room for all of them.
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct statvfs fs {};
  if (::statvfs(dir.c_str(), &fs) != 0) return;  // the writer reports what is wrong with the folder
  const unsigned long long free = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
  if (free < kSetupBytes)
    talva::stop("cannot create MeasurementSet " + path + ": " + std::to_string(free / 1024) +
                " KB free on its file system, " + std::to_string(kSetupBytes / 1024) +
                " KB needed for its tables before the first row");
}

// Not closed: the writer drops the set (it never throws doing so).
MsOutput::~MsOutput() = default;

void MsOutput::add(const OutputRecord& r) {
  // Baseline number: 65536 + 2048 a + b, or 256 a + b for the pseudo-pairs.
  const long q = std::lround(r.baseline);
  const long a = q > 65536 ? (q - 65536) / 2048 : q / 256;
  const long b = q > 65536 ? (q - 65536) % 2048 : q % 256;
  frame_.set_date(r.time, r.apparent);
  const talva::sky::Uvw j = frame_.to_j2000(r.uvw);
  msio::Row row;
  row.time = (r.time - talva::sky::kMjdToJd) * 86400.0;
  row.antenna1 = static_cast<int>(a - 1);
  row.antenna2 = static_cast<int>(b - 1);
  // A MeasurementSet holds UVW = position(ANTENNA2) - position(ANTENNA1) and
  // data = sum F exp(+2 pi i (u l + v m + w (n - 1))), as the uv records do
  // (ARCHITECTURE.md, "Sky convention"): the record's data and (u, v, w)
  // unchanged, only turned into the J2000 frame.
  constexpr double c = talva::sky::kMetresPerNanosecond;
  row.uvw = {j.u * c, j.v * c, j.w * c};
  row.data = r.data;
  row.flagged = r.flagged;
  writer_->add(row);
}

void MsOutput::close(const std::string& note) {
  if (closed_) return;
  closed_ = true;
  if (!note.empty()) writer_->note(note);
  const std::vector<double> east = setup_.positions ? setup_.positions() : std::vector<double>{};
  std::vector<msio::Antenna> antennas;
  for (std::size_t k = 0; k < east.size(); ++k)
    antennas.push_back({"A" + std::to_string(k + 1),
                        talva::sky::itrf_position(east[k] * talva::sky::kMetresPerNanosecond), setup_.dish});
  writer_->set_antennas(antennas);
  writer_->close();
}

bool ms_rows_per_pair(Flavour flavour, int imode) { return flavour == Flavour::Legacy && imode == kTalva1a; }

void MsSink::begin_run(const RunSetup& setup) {
  geometry_.emplace(setup.ra, setup.dec, setup.sfreq);
  per_pair_ = setup.layout != nullptr && ms_rows_per_pair(setup.flavour, setup.layout->imode);
  sfreq_ = setup.sfreq;
  auto positions = setup.positions;
  if (per_pair_) {
    // The array's antennas mirrored (position(b) - position(a) is then the
    // spacing of each pair's uvw, as for every record), nanoseconds.
    positions = [sfreq = setup.sfreq] {
      std::vector<double> y;
      for (int a = 1; a <= 96; ++a)
        y.push_back(-static_cast<double>(antenna_x(a)) / static_cast<double>(talva::kWavelength) / sfreq);
      return y;
    };
  }
  ms_.emplace(MsOutput::Setup{path_, setup.ra, setup.dec, setup.sfreq, setup.sdf, dish_, application_,
                              std::move(positions)});
}

void MsSink::record(const UvRecord& r) {
  if (per_pair_) {
    // Each pair (i, j) of the record, its correlation oriented from i to j:
    // the uvw of position(i) - position(j) in the array.
    for (const PairTerm& t : r.pairs) {
      UvRecord p = r;
      p.baseline = 65536.0 + 2048.0 * t.i + t.j;
      p.spacing_length = static_cast<double>(antenna_x(t.i) - antenna_x(t.j)) / static_cast<double>(talva::kWavelength);
      p.data = t.value;
      p.flagged = !(std::isfinite(t.value.real()) && std::isfinite(t.value.imag()));
      ms_->add(OutputRecord{p.time, p.baseline, geometry_->uvw(p), geometry_->apparent(p.time),
                            p.flagged ? std::complex<float>{} : p.data, p.flagged});
      ++rows_;
    }
    return;
  }
  const talva::sky::Uvw uvw = geometry_->uvw(r);
  // A non-finite value (a damaged archive) is written as 0+0i and flagged.
  ms_->add(OutputRecord{r.time, r.baseline, uvw, geometry_->apparent(r.time),
                        r.flagged ? std::complex<float>{} : r.data, r.flagged});
  ++rows_;
}
