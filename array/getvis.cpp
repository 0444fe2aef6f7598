// Fetching one correlation of a dump, and the baseline phase factor.
#include "array/layout.h"

void getvis_(const c_layout_common_t& layout, std::int32_t index, std::span<const float> vis,
             std::complex<float>& value, std::int32_t& flag) {
  const std::size_t items = vis.size() / 2;
  if (index < 1 || static_cast<std::size_t>(index) > items || index > kMaxProducts) {
    value = {0.0f, 0.0f};
    flag = 1;
    return;
  }
  const std::size_t k = static_cast<std::size_t>(index);
  // Word 2 of the item is the real part, word 1 the imaginary part; a pair
  // formed in descending order is conjugated to (smaller, larger) antenna.
  const float sign = static_cast<float>(layout.lay_sign[k - 1]);
  value = {vis[2 * k - 1], vis[2 * k - 2] * sign};
  flag = 0;
}

std::complex<float> getvis(const c_layout_common_t& layout, std::int32_t index, std::span<const float> vis) {
  std::complex<float> value;
  std::int32_t flag = 0;
  getvis_(layout, index, vis, value, flag);
  return value;
}

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
