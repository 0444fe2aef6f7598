#include "convert/gains.h"

#include <cmath>
#include <cstdio>

#include "util/constants.h"
#include "util/fmt.h"
#include "util/textin.h"

namespace talva::convert {

namespace {
using talva::kPi;
using talva::kTwoPi;

std::string shortest(float x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(x));
  return buf;
}
}  // namespace

void load_gains_(const std::string& gnsfile, int nant, std::span<std::complex<float>> gains, bool applied,
                 talva::Output& out) {
  const int capacity = static_cast<int>(gains.size());
  if (nant > capacity) {
    out.line(" gains: " + std::to_string(nant) + " antennas, only the first " + std::to_string(capacity) + " are kept");
    nant = capacity;
  }
  for (int i = 0; i < nant; ++i) gains[static_cast<std::size_t>(i)] = {0.0f, 0.0f};
  talva::TextInput in(gnsfile, "gains");
  std::string line;
  int stored = 0;
  while (in.next_line(line)) {
    talva::FreeFormat ff(line, &in);
    if (ff.at_end()) continue;  // a blank record holds no value
    const double x = ff.real64("antenna number");
    const std::complex<float> g = ff.complex32("complex gain");
    if (!std::isfinite(g.real()) || !std::isfinite(g.imag()) || std::abs(g.real()) > kMaxGainAmplitude ||
        std::abs(g.imag()) > kMaxGainAmplitude || std::abs(g) > kMaxGainAmplitude)
      in.fail("gain (" + shortest(g.real()) + "," + shortest(g.imag()) + ") out of range: amplitude above " +
              shortest(kMaxGainAmplitude));
    if (x >= 1.0 && x <= static_cast<double>(nant)) {
      gains[static_cast<std::size_t>(static_cast<int>(x) - 1)] = g;
      ++stored;
    }
  }
  if (!applied) return;
  // all gains zero would write an all-zero dataset
  if (nant < 1)
    in.fail_file("the archive's header lists no antennas (nant=" + std::to_string(nant) + "): no gain applies");
  if (stored == 0) in.fail_file("no gain line for an antenna 1 to " + std::to_string(nant));
  bool any = false;
  for (int i = 0; i < nant; ++i) any = any || gains[static_cast<std::size_t>(i)] != std::complex<float>(0.0f, 0.0f);
  if (!any)
    in.fail_file("every gain of antennas 1 to " + std::to_string(nant) + " is (0,0): the dataset would be all zeros");
}

float z2phase_(std::complex<float> z) {
  float p = static_cast<float>(std::atan2(static_cast<double>(z.imag()), static_cast<double>(z.real())));
  if (p > kPi)
    p -= kTwoPi;
  else if (p < -kPi)
    p += kTwoPi;
  return p;
}

void DumpGains::move_to(double jd) { talva::calib::gains_at(*table_, jd, at_); }

bool DumpGains::covers(double jd) const {
  constexpr double kGrace = 1.0 / 86400.0;  // a dump's length, days
  return table_ != nullptr && !table_->intervals.empty() && jd >= table_->intervals.front().jd_start - kGrace &&
         jd <= table_->intervals.back().jd_end + kGrace;
}

bool DumpGains::left_out(int i, int j) const {
  if (table_ == nullptr) return false;
  if (at_.flag[static_cast<std::size_t>(i - 1)] || at_.flag[static_cast<std::size_t>(j - 1)]) return true;
  for (const auto& [a, b] : at_.pairs)
    if ((a == i && b == j) || (a == j && b == i)) return true;
  return false;
}

}  // namespace talva::convert
