// phasesolve: one phase per antenna relative to a reference antenna, from an
// archive of a point-like calibrator.
//
// Sums every correlation over the dump range and gives each antenna the
// phase of its summed pair with the reference antenna, oriented from the
// reference to the antenna. Writes the solution as the phase-calibration
// file "phasesolve.log" (title line "data file : <archive>").
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "array/rejections.h"
#include "calib/cx2amp.h"
#include "miriad/key.h"
#include "util/constants.h"
#include "util/fmt.h"
#include "util/interrupt.h"
#include "util/output_file.h"
#include "util/stop.h"

using talva::archive::ArchiveReader;
using talva::archive::Dump;
using talva::array::accumulate_products;
using talva::array::c_layout_common_t;
using talva::array::check_layout_covers_;
using talva::array::kMaxProducts;
using talva::array::load_antreject_;
using talva::array::load_corr_layout_file_;
using talva::array::load_rejects_;
using talva::array::ProductTable;
using talva::array::reject_;
using talva::array::set_antnum_;
using talva::calib::rlim2amp_;

namespace {

using cx = std::complex<float>;

using talva::kDegPerRad;
constexpr int kRecordLimit = 5000;  // record count at which the limit message is printed
constexpr int kMaxPhases = 360;     // capacity of the antenna phase table
constexpr const char* kOutputName = "phasesolve.log";

struct Settings {
  std::string infile;
  std::string corlfile;
  int refant = 1;
  std::string antrejct;
  std::string rejects;
  int r1 = 1;
  int r2 = -1;
  std::string device;
  int nx = 1;
  int ny = 1;
};

Settings read_keywords(int argc, char** argv) {
  Settings s;
  talva::miriad::keyini(argc, argv,
                        "gives each antenna the phase of its pair with a reference antenna, from an archive of a "
                        "point-like calibrator; writes phasesolve.log for talva2vis",
                        "infile=cal.arc corlfile=lay.txt refant=1");
  talva::miriad::keya("infile", s.infile, " ", talva::miriad::required("the calibrator archive"));
  talva::miriad::keya("corlfile", s.corlfile, " ", talva::miriad::required("the correlator layout file"));
  talva::miriad::keyi("refant", s.refant, 1, "reference antenna (1 to the archive's antenna count)");
  talva::miriad::keya("antrejct", s.antrejct, " ", "rejected antennas (read, not applied)");
  talva::miriad::keya("rejects", s.rejects, " ", "rejected products: a count, then product indices; none: no rejects");
  talva::miriad::keyi("reclim", s.r1, 1, "first and last dump to use, counted from 1 (last <= 1: to the end)");
  talva::miriad::keyi("reclim", s.r2, -1);
  talva::miriad::keya("device", s.device, "/xs", "read, no effect (no plot is made)");
  talva::miriad::keyi("nxy", s.nx, 1, "read, no effect");
  talva::miriad::keyi("nxy", s.ny, 1);
  talva::miriad::keyfin();
  s.r1 = std::max(s.r1, 1);
  s.infile = talva::trim_right(s.infile);
  return s;
}

int run(int argc, char** argv) {
  const Settings s = read_keywords(argc, argv);
  talva::StdoutOutput screen;
  {
    // An input named as the output file is refused before any work.
    talva::OutputSet names;
    for (const std::string* in : {&s.infile, &s.corlfile, &s.antrejct, &s.rejects}) names.input(*in);
    names.claim(kOutputName);
  }

  const c_layout_common_t layout = load_corr_layout_file_(s.corlfile, screen);
  std::vector<std::int32_t> antlist(kMaxProducts);
  std::int32_t nantrej = 0;
  load_antreject_(s.antrejct, nantrej, antlist, screen);  // loaded, not applied
  std::vector<std::int32_t> rejlist(kMaxProducts);
  std::int32_t nrej = 0;
  load_rejects_(s.rejects, nrej, rejlist, screen);

  // The file is written from start-up on, under a temporary that replaces
  // an earlier file only when the run succeeds.
  talva::OutputFile out(kOutputName);
  out.line("data file : " + s.infile);

  ArchiveReader archive(s.infile, screen);
  const int nant = archive.file_header().nant;
  const int nbsln = archive.file_header().nbsln;
  const std::vector<std::int32_t>& antnum = archive.file_header().antnum;
  check_layout_covers_(layout, nbsln, s.corlfile);
  talva::put_line(" Nant : " + talva::fmt_i(nant, 6));
  if (nant > kMaxPhases) talva::stop("too many antennas in the archive header: " + std::to_string(nant));
  if (s.refant < 1 || s.refant > nant) {
    talva::stop("refant " + std::to_string(s.refant) + " is not an antenna of the archive (1 to " +
                std::to_string(nant) + ")");
  }

  std::vector<cx> cx1(kMaxProducts);
  std::vector<std::int32_t> used(kMaxProducts);  // finite values summed (not needed after)
  int n = 0;
  int j = 0;
  const std::string not_written = ": " + std::string(kOutputName) + " not written";
  while (const std::optional<Dump> dump = archive.next()) {
    talva::stop_if_interrupted(not_written);
    ++j;
    if (j < s.r1) continue;
    if (s.r2 > 1 && j > s.r2) break;
    ++n;
    // A non-finite correlation (a damaged archive) is left out of the sum.
    accumulate_products(layout, dump->vis, cx1, used);
    if (n == kRecordLimit) talva::put_line(" Reached MX record limit");
  }
  talva::stop_if_interrupted(not_written);
  talva::put_line(talva::fmt_i(n, 5) + " records read");
  if (n == 0) talva::stop("no dump in the record range: no phases solved");

  // Pair phases (radians) of the summed products; index 1 names no pair.
  std::vector<float> pair_phase(kMaxProducts);
  for (int l = 2; l <= nbsln; ++l) {
    if (reject_(nrej, rejlist, l)) continue;
    float amp = 0.0f;
    rlim2amp_(cx1[l - 1].real(), cx1[l - 1].imag(), amp, pair_phase[l - 1]);
  }

  // Antenna phases (degrees): the phase of the pair oriented from the
  // reference antenna to the antenna; 0 when that pair is rejected or has
  // no correlation of its own in the dump.
  const ProductTable table(std::span<const std::int32_t>(antnum.data(), static_cast<std::size_t>(nbsln)));
  const int r = s.refant;
  std::vector<float> phase(static_cast<std::size_t>(nant), 0.0f);
  int measured = 0;  // pairs of the reference antenna with a nonzero finite sum
  for (int i = 1; i <= nant; ++i) {
    if (i == r) continue;
    const std::int32_t l = table.usable_index(r, i);
    if (l == 0) {
      const std::int32_t code = set_antnum_(r, i);
      if (table.index_of(code) == 0) {
        talva::put_line(talva::fmt_i(code, 6) + " not found in antenna number set");
      } else {
        talva::put_line(talva::fmt_i(code, 6) + " has no correlation in the dump: phase 0");
      }
      continue;
    }
    if (reject_(nrej, rejlist, l)) continue;
    if (used[l - 1] > 0 && cx1[l - 1] != cx(0.0f, 0.0f)) ++measured;
    const float p = (r > i) ? -pair_phase[l - 1] : pair_phase[l - 1];
    phase[i - 1] = p * kDegPerRad + 0.0f;  // + 0.0f: never print -0.0
  }

  // An archive without signal (all zero, or no finite value) has no phase to give.
  if (measured == 0 && nant > 1)
    talva::stop(s.infile + ": no pair of refant " + std::to_string(r) +
                " has a nonzero finite correlation in the dump range (all zero or not finite): no phases solved" +
                not_written);
  for (int i = 1; i <= nant; ++i) {
    const std::string line = talva::fmt_i(i, 4) + talva::fmt_f(phase[i - 1], 8, 1);
    talva::put_line(line);
    out.line(line);
  }
  // The name without the blanks that pad its 128-character field.
  talva::put_line(" phase solution written to " + std::string(kOutputName));
  out.commit();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return talva::run_main([&] { return run(argc, argv); });
}
