#pragma once
// Helpers of the calibration programs' end-to-end tests: simulated
// calibrator archives, runs of gainsolve and phasesolve in a scratch
// directory, and readers for the gains and phase files they write.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/testsupport.h"
#include "util/textin.h"

namespace talva::test::cal {

using cx = std::complex<float>;

/// An archive and its layout written by the simulator, with the gains it used.
struct Sim {
  std::string archive;
  std::string layout;
  std::string truth;  ///< gains file of the simulator's gains (antennas 1..96)
};

/// Runs talvasim with `extra` keywords; the files are named after `name` in `dir`.
inline Sim simulate(const TempDir& dir, const std::string& name, const std::vector<std::string>& extra) {
  Sim s{dir.file(name + ".arc"), dir.file(name + ".layout"), dir.file(name + ".truth")};
  std::vector<std::string> args{"archive=" + s.archive, "layout=" + s.layout, "gainsout=" + s.truth};
  args.insert(args.end(), extra.begin(), extra.end());
  RunResult r = run("talvasim", args);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return s;
}

/// An empty counted rejection list (gainsolve and phasesolve need one).
inline std::string no_rejects(const TempDir& dir) {
  std::string path = dir.file("none.rej");
  write_file(path, "0\n");
  return path;
}

/// Gains of a gains file, indexed by antenna (entry [a-1]); antennas the
/// file does not list are (0, 0).
inline std::vector<cx> read_gains(const std::string& path, int nant = 96) {
  std::vector<cx> g(static_cast<std::size_t>(nant));
  TextInput in(path, "gains");
  std::string line;
  while (in.next_line(line)) {
    FreeFormat f(line, &in);
    if (f.at_end()) continue;
    const int a = f.integer("antenna");
    const cx value = f.complex32("gain");
    if (a >= 1 && a <= nant) g[static_cast<std::size_t>(a - 1)] = value;
  }
  return g;
}

/// The numbers of one whitespace-separated line of a phase file (title skipped).
inline std::map<int, float> read_phases(const std::string& path) {
  std::map<int, float> out;
  TextInput in(path, "phase");
  std::string line;
  in.next_line(line);  // title
  while (in.next_line(line)) {
    FreeFormat f(line, &in);
    if (f.at_end()) continue;
    const int a = f.integer("antenna");
    out[a] = f.real32("phase");
  }
  return out;
}

/// Antennas that take part in the redundant solution (East and West bays 1..44).
inline bool classified(int a) { return (a >= 1 && a <= 44) || (a >= 49 && a <= 92); }

/// Gains turned so that antenna refant has a real positive gain.
inline std::vector<cx> referenced(std::vector<cx> g, int refant) {
  const cx z = g[static_cast<std::size_t>(refant - 1)];
  const cx turn = std::abs(z) / z;
  for (cx& v : g) v *= turn;
  return g;
}

/// Phase difference a - b in degrees, wrapped into (-180, 180].
inline double phase_diff_deg(double a, double b) {
  double d = std::fmod(a - b, 360.0);
  if (d > 180.0) d -= 360.0;
  if (d <= -180.0) d += 360.0;
  return d;
}

inline double arg_deg(cx z) { return std::atan2(double(z.imag()), double(z.real())) * 180.0 / M_PI; }

/// A small archive written here rather than by the simulator, for product
/// tables the simulator does not make: `pairs` lists the table in order, each
/// as the layout line names it (larger first = descending). Dumps carry the
/// tag "TALVA" (no header block) and the noise-free point-source value
/// g(min) flux conj(g(max)) of every pair whose item lies in the block.
inline void write_archive(const std::string& archive, const std::string& layout,
                          const std::vector<std::pair<int, int>>& pairs, const std::vector<cx>& g, float flux,
                          int ndumps, int nant = 96) {
  std::string bytes;
  auto put32 = [&](std::int32_t v) { bytes.append(reinterpret_cast<const char*>(&v), 4); };
  auto putf = [&](float v) { bytes.append(reinterpret_cast<const char*>(&v), 4); };
  const int nbsln = static_cast<int>(pairs.size());
  put32(nant);
  put32(nbsln);
  std::string lay;
  for (const auto& [a, b] : pairs) {
    put32(256 * std::max(a, b) + std::min(a, b));
    lay += std::to_string(a) + " " + std::to_string(b) + "\n";
  }
  for (int d = 0; d < ndumps; ++d) {
    bytes.append("TALVA\0\0\0", 8);
    put32(0);
    bytes.append(static_cast<std::size_t>(nant) * 24, '\0');
    // item 1 belongs to no pair; item k + 1 to table entry k
    putf(0.0f);
    putf(0.0f);
    for (int k = 1; k < nbsln; ++k) {
      const auto [a, b] = pairs[static_cast<std::size_t>(k - 1)];
      const int lo = std::min(a, b), hi = std::max(a, b);
      const cx v = g[static_cast<std::size_t>(lo - 1)] * flux * std::conj(g[static_cast<std::size_t>(hi - 1)]);
      putf(a > b ? -v.imag() : v.imag());
      putf(v.real());
    }
  }
  write_file(archive, bytes);
  write_file(layout, lay);
}

}  // namespace talva::test::cal
