// Amplitude and phase of a correlation, phase wrapping, statistics.
#include "calib/cx2amp.h"
#include "util/constants.h"

#include <cmath>

namespace talva::calib {

namespace {
using talva::kPi;
using talva::kTwoPi;
}  // namespace

void rlim2amp_(float re, float im, float& amp, float& phase) {
  amp = std::sqrt(re * re + im * im);
  phase = static_cast<float>(std::atan2(static_cast<double>(im), static_cast<double>(re)));
  // one step only; +-pi (rounded) stay as they are
  if (phase > kPi) {
    phase = phase - kTwoPi;
  } else if (phase < -kPi) {
    phase = phase + kTwoPi;
  }
}

void cx2amp_(std::complex<float> c, float& amp, float& phase) {
  const float re = c.real();
  const float im = c.imag();
  rlim2amp_(re, im, amp, phase);
}

void fix_phase_(float& phase) {
  if (phase > 180.0f) {
    phase = phase - 360.0f;
  } else if (phase < -180.0f) {
    phase = phase + 360.0f;
  }
}

namespace {
void mean_rms(float sum, float sumsq, float n, float& mean, float& rms) {
  mean = sum / n;
  const float w = sumsq / n - mean * mean;
  rms = w > 0.0f ? std::sqrt(w) : w;
}
}  // namespace

std::array<MeanRms, 3> get_stats_(int i, const std::array<Accumulated, 3>& quantities, std::span<const float> count) {
  std::array<MeanRms, 3> stats{};
  const std::size_t k = static_cast<std::size_t>(i) - 1;
  if (i < 1 || k >= count.size()) return stats;
  for (const Accumulated& q : quantities)
    if (k >= q.sum.size() || k >= q.sumsq.size()) return stats;
  const float n = count[k];
  if (!(n > 0.0f)) return stats;  // also a count that is not a number
  for (std::size_t q = 0; q < quantities.size(); ++q)
    mean_rms(quantities[q].sum[k], quantities[q].sumsq[k], n, stats[q].mean, stats[q].rms);
  return stats;
}

}  // namespace talva::calib
