// Rotation of a correlation by a phase.
#include <cmath>

#include "calib/cx2amp.h"

namespace talva::calib {

Rotation rotation_of(float angle) {
  return {static_cast<float>(std::cos(static_cast<double>(angle))),
          static_cast<float>(std::sin(static_cast<double>(angle)))};
}

void rotate_vis_(std::complex<float>& c, float angle) { rotate_vis_(c, rotation_of(angle)); }

}  // namespace talva::calib
