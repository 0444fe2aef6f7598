// The time-variable gains table: writer, reader, interpolation in time.
#include "calib/gains_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "util/fmt.h"
#include "util/textin.h"

namespace talva::calib {

namespace {

using talva::fixed;

constexpr double kPi = 3.14159265358979323846;

}  // namespace

std::vector<std::string> gains_table_lines(const GainsTable& table) {
  std::vector<std::string> out{
      "# gainsolve time-variable gains table",
      "# interval K JD1 JD2 D X: block K, Julian dates of its first and last dump, D dumps, chi2/DoF X",
      "# A (re,im) C F: antenna A, complex gain, chi2/DoF of its pairs, flag F (1: left out)",
      "# pair I J: a pair left out; end: the block ends"};
  for (const std::string& c : table.comments) out.push_back("# " + c);
  for (std::size_t k = 0; k < table.intervals.size(); ++k) {
    const GainsInterval& b = table.intervals[k];
    out.push_back("interval " + std::to_string(k + 1) + " " + fixed(b.jd_start, 8) + " " + fixed(b.jd_end, 8) + " " +
                  std::to_string(b.dumps) + " " + fixed(b.chi2dof, 4));
    for (std::size_t a = 0; a < b.gains.size(); ++a) {
      const double c = a < b.chi2dof_antenna.size() ? b.chi2dof_antenna[a] : 0.0;
      const int f = a < b.flag.size() && b.flag[a] ? 1 : 0;
      out.push_back(std::to_string(a + 1) + " " + list_complex(b.gains[a]) + " " +
                    fixed(std::isfinite(c) ? c : 0.0, 4) + " " + std::to_string(f));
    }
    for (const auto& [i, j] : b.pairs) out.push_back("pair " + std::to_string(i) + " " + std::to_string(j));
    out.push_back("end");
  }
  return out;
}

GainsTable read_gains_table(const std::string& path, int nant) {
  GainsTable table;
  table.nant = nant;
  TextInput in(path, "gains table");
  std::string line;
  GainsInterval* open = nullptr;
  std::vector<char> seen;
  auto finite = [&](double v, const char* what) {
    if (!std::isfinite(v)) in.fail(std::string(what) + " is not a finite number");
    return v;
  };
  while (in.next_line(line)) {
    FreeFormat f(line, &in);
    if (f.at_end()) continue;
    const std::size_t first = line.find_first_not_of(" \t");
    if (line[first] == '#') continue;
    const std::string_view key = std::string_view(line).substr(first, line.find_first_of(" \t", first) - first);
    if (key == "interval") {
      if (open != nullptr) in.fail("interval before the previous block's end");
      f.token();
      f.integer("block number");
      GainsInterval b;
      b.jd_start = finite(f.real64("first Julian date"), "first Julian date");
      b.jd_end = finite(f.real64("last Julian date"), "last Julian date");
      b.dumps = f.integer("dumps");
      b.chi2dof = finite(f.real64("chi2/DoF"), "chi2/DoF");
      if (b.jd_end < b.jd_start) in.fail("the interval ends before it starts");
      if (!table.intervals.empty() && b.jd_start < table.intervals.back().jd_end)
        in.fail("the interval starts before the previous one ends");
      b.gains.assign(static_cast<std::size_t>(nant), {0.0f, 0.0f});
      b.chi2dof_antenna.assign(static_cast<std::size_t>(nant), 0.0);
      b.flag.assign(static_cast<std::size_t>(nant), 0);
      table.intervals.push_back(std::move(b));
      open = &table.intervals.back();
      seen.assign(static_cast<std::size_t>(nant), 0);
    } else if (open == nullptr) {
      in.fail("a line outside an interval block");
    } else if (key == "end") {
      for (int a = 1; a <= nant; ++a)
        if (!seen[static_cast<std::size_t>(a - 1)]) in.fail("block without a line for antenna " + std::to_string(a));
      open = nullptr;
    } else if (key == "pair") {
      f.token();
      const int i = f.integer("first antenna"), j = f.integer("second antenna");
      if (i < 1 || i > nant || j < 1 || j > nant || i == j) in.fail("pair outside antennas 1.." + std::to_string(nant));
      open->pairs.push_back({i, j});
    } else {
      const int a = f.integer("antenna");
      if (a < 1 || a > nant) in.fail("antenna " + std::to_string(a) + " outside 1.." + std::to_string(nant));
      const std::complex<float> g = f.complex32("gain");
      if (!std::isfinite(g.real()) || !std::isfinite(g.imag())) in.fail("the gain is not finite");
      const auto i = static_cast<std::size_t>(a - 1);
      open->gains[i] = g;
      open->chi2dof_antenna[i] = finite(f.real64("chi2/DoF"), "chi2/DoF");
      const int flag = f.integer("flag");
      if (flag != 0 && flag != 1) in.fail("flag must be 0 or 1");
      open->flag[i] = static_cast<char>(flag);
      seen[i] = 1;
    }
  }
  if (open != nullptr) in.fail_file("the last block has no end");
  if (table.intervals.empty()) in.fail_file("no interval block");
  return table;
}

void gains_at(const GainsTable& table, double jd, GainsAt& at) {
  const auto& iv = table.intervals;
  const std::size_t n = static_cast<std::size_t>(table.nant);
  at.gains.assign(n, {0.0f, 0.0f});
  at.flag.assign(n, 1);
  at.pairs.clear();
  at.interval = -1;
  if (iv.empty()) return;
  auto centre = [&](std::size_t k) { return 0.5 * (iv[k].jd_start + iv[k].jd_end); };
  // the block whose flags apply: the one holding jd, else the nearer
  std::size_t home = 0;
  double best = 1e300;
  for (std::size_t k = 0; k < iv.size(); ++k) {
    const double d = jd < iv[k].jd_start ? iv[k].jd_start - jd : (jd > iv[k].jd_end ? jd - iv[k].jd_end : 0.0);
    if (d < best) best = d, home = k;
  }
  at.interval = static_cast<int>(home);
  at.flag = iv[home].flag;
  at.pairs = iv[home].pairs;
  // the neighbour across the centre of the home block
  const bool later = jd >= centre(home);
  const std::size_t other = later ? std::min(home + 1, iv.size() - 1) : (home == 0 ? 0 : home - 1);
  double t = 0.0;  // weight of `other`
  if (other != home) t = std::clamp((jd - centre(home)) / (centre(other) - centre(home)), 0.0, 1.0);
  for (std::size_t a = 0; a < n; ++a) {
    const std::complex<double> g0(iv[home].gains[a]), g1(iv[other].gains[a]);
    if (at.flag[a] || t == 0.0 || iv[other].flag[a] || std::abs(g1) == 0.0 || std::abs(g0) == 0.0) {
      at.gains[a] = iv[home].gains[a];
      continue;
    }
    double dphi = std::arg(g1) - std::arg(g0);
    if (dphi > kPi) dphi -= 2 * kPi;
    if (dphi < -kPi) dphi += 2 * kPi;
    const std::complex<double> g = std::polar((1.0 - t) * std::abs(g0) + t * std::abs(g1), std::arg(g0) + t * dphi);
    at.gains[a] = {static_cast<float>(g.real()), static_cast<float>(g.imag())};
  }
}

}  // namespace talva::calib
