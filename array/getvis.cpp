// The baseline phase factor (fetching a correlation is inline in layout.h).
#include "array/layout.h"

void compute_base_(float spacing, float gap, float wavelength, std::span<const std::int32_t, 2> bays,
                   std::span<const std::int32_t, 2> arms, float& u) {
  const float h = (spacing + gap) * 0.5f;
  float p[2];
  for (int k = 0; k < 2; ++k) {
    p[k] = spacing * static_cast<float>(bays[k] - 1) + h;
    if (arms[k] == 1) p[k] = -p[k];
  }
  u = (p[1] - p[0]) * 6.2831855f / wavelength;
}
