#pragma once
// Visibility arithmetic: amplitude and phase, phase wrapping, rotation, statistics.
#include <array>
#include <complex>
#include <span>

namespace talva::calib {

/// amp = sqrt(re^2 + im^2); phase = atan2(im, re) wrapped once into [-pi, pi].
void rlim2amp_(float re, float im, float& amp, float& phase);
void cx2amp_(std::complex<float> c, float& amp, float& phase);
/// Wraps degrees once into [-180, 180].
void fix_phase_(float& phase);
/// c = c * e^(i angle), cos and sin rounded to single precision.
void rotate_vis_(std::complex<float>& c, float angle);
/// cos and sin of an angle as rotate_vis_ rounds them, for a rotation
/// applied many times.
struct Rotation {
  float cs = 1.0f, sn = 0.0f;
};
Rotation rotation_of(float angle);
/// rotate_vis_ by a rotation formed once: the same result to the bit.
inline void rotate_vis_(std::complex<float>& c, Rotation r) {
  const float re = c.real();
  const float im = c.imag();
  c = {re * r.cs - im * r.sn, im * r.cs + re * r.sn};
}
/// One quantity accumulated per element: its sums and sums of squares.
struct Accumulated {
  std::span<const float> sum, sumsq;
};
/// Mean and rms of a quantity.
struct MeanRms {
  float mean = 0, rms = 0;
};
/// Mean and rms of three accumulated quantities at element i (1-based),
/// over count[i-1] samples; all zero without samples (or for an element
/// outside the arrays). A negative rounding residue of the variance is
/// passed through as the rms, not turned into NaN.
std::array<MeanRms, 3> get_stats_(int i, const std::array<Accumulated, 3>& quantities, std::span<const float> count);

}  // namespace talva::calib
