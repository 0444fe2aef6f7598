// Rotation of a correlation by a phase.
#include <cmath>

#include "calib/cx2amp.h"

void rotate_vis_(std::complex<float>& c, float angle) {
  const float cs = static_cast<float>(std::cos(static_cast<double>(angle)));
  const float sn = static_cast<float>(std::sin(static_cast<double>(angle)));
  const float re = c.real();
  const float im = c.imag();
  c = {re * cs - im * sn, im * cs + re * sn};
}
