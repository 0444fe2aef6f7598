// Amplitude and phase of a correlation, phase wrapping, statistics.
#include "calib/cx2amp.h"
#include "util/constants.h"

#include <cmath>

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

void get_stats_(int i, std::span<const float> sum1, std::span<const float> sum2, std::span<const float> sumsq1,
                std::span<const float> sumsq2, std::span<const float> sum3, std::span<const float> sumsq3,
                std::span<const float> count, float& mean1, float& rms1, float& mean2, float& rms2, float& mean3,
                float& rms3) {
  mean1 = rms1 = mean2 = rms2 = mean3 = rms3 = 0.0f;
  const std::size_t k = static_cast<std::size_t>(i) - 1;
  if (i < 1) return;
  for (auto s : {sum1, sum2, sumsq1, sumsq2, sum3, sumsq3, count})
    if (k >= s.size()) return;
  const float n = count[k];
  if (!(n > 0.0f)) return;  // also a count that is not a number
  mean_rms(sum1[k], sumsq1[k], n, mean1, rms1);
  mean_rms(sum2[k], sumsq2[k], n, mean2, rms2);
  mean_rms(sum3[k], sumsq3[k], n, mean3, rms3);
}
