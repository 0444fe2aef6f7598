#include "util/minmax.h"

#include <algorithm>
#include <cstddef>

namespace talva {

void minmax_(int n, std::span<const float> x, float& min, float& max) {
  const std::size_t count = n > 0 ? std::min(static_cast<std::size_t>(n), x.size()) : 0;
  float lo = 0.0f;
  float hi = 0.0f;
  if (count > 0) {
    lo = x[0];
    hi = x[0];
    for (std::size_t i = 1; i < count; ++i) {
      lo = std::min(lo, x[i]);
      hi = std::max(hi, x[i]);
    }
  }
  float range = hi - lo;
  if (range == 0.0f) range = 1.0f;  // equal values: widen by 0.05 on each side
  max = hi + 0.05f * range;
  min = lo - 0.05f * range;
}

}  // namespace talva
