// The baseline phase factor (fetching a correlation is inline in layout.h).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

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

void accumulate_products(const c_layout_common_t& layout, std::span<const float> vis,
                         std::span<std::complex<float>> sums, std::span<std::int32_t> used) {
  const std::size_t n = std::min({vis.size() / 2, sums.size(), used.size(), layout.lay_sign.size()});
  // One pass across the products; the sum of each product still grows dump
  // by dump in file order. A left-out value adds +0, which leaves a sum as it
  // was (a sum starts at +0 and so is never -0).
  const float* w = vis.data();
  float* acc = reinterpret_cast<float*>(sums.data());  // (re, im) pairs, as std::complex guarantees
  const std::int32_t* sign = layout.lay_sign.data();
  std::int32_t* count = used.data();
  constexpr float kMax = std::numeric_limits<float>::max();
  std::size_t k = 0;
#if defined(__GNUC__) && __has_builtin(__builtin_shufflevector)
  // Two products per step in 16-byte vectors: (im, re) items swapped to
  // (re, im), the imaginary parts times the pair's sign, a product kept only
  // when both of its parts are finite.
  using v4f = float __attribute__((vector_size(16)));
  using v4i = std::int32_t __attribute__((vector_size(16)));
  for (; k + 2 <= n; k += 2) {
    v4f item, sum;
    std::memcpy(&item, w + 2 * k, sizeof item);
    std::memcpy(&sum, acc + 2 * k, sizeof sum);
    const v4f factor = {1.0f, static_cast<float>(sign[k]), 1.0f, static_cast<float>(sign[k + 1])};
    const v4f value = __builtin_shufflevector(item, item, 1, 0, 3, 2) * factor;
    v4i bits;
    std::memcpy(&bits, &value, sizeof bits);
    // finite: the exponent not all ones, i.e. |bits| at most that of the largest float
    const v4i part_finite = (bits & 0x7fffffff) <= 0x7f7fffff;  // -1 or 0 per part
    const v4i finite = part_finite & __builtin_shufflevector(part_finite, part_finite, 1, 0, 3, 2);
    bits &= finite;  // +0 where left out
    v4f kept;
    std::memcpy(&kept, &bits, sizeof kept);
    sum += kept;
    std::memcpy(acc + 2 * k, &sum, sizeof sum);
    count[k] -= finite[0];
    count[k + 1] -= finite[2];
  }
#endif
  for (; k < n; ++k) {
    const float re = w[2 * k + 1];
    const float im = w[2 * k] * static_cast<float>(sign[k]);
    const bool finite = std::fabs(re) <= kMax && std::fabs(im) <= kMax;
    acc[2 * k] += finite ? re : 0.0f;
    acc[2 * k + 1] += finite ? im : 0.0f;
    count[k] += finite ? 1 : 0;
  }
}
