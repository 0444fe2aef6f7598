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
#if defined(__GNUC__) && __has_builtin(__builtin_shufflevector) && __has_builtin(__builtin_convertvector)
  // Four products per step in 16-byte vectors, two to a vector: (im, re)
  // items swapped to (re, im), the imaginary parts times the pair's sign, a
  // product kept only when both of its parts are finite.
  using v4f = float __attribute__((vector_size(16)));
  using v4i = std::int32_t __attribute__((vector_size(16)));
  const v4f ones = {1.0f, 1.0f, 1.0f, 1.0f};
  // finite: the exponent not all ones, i.e. |bits| at most that of the largest float
  const auto keep_finite = [](v4f value, v4i& finite) {
    v4i bits;
    std::memcpy(&bits, &value, sizeof bits);
    const v4i part_finite = (bits & 0x7fffffff) <= 0x7f7fffff;  // -1 or 0 per part
    finite = part_finite & __builtin_shufflevector(part_finite, part_finite, 1, 0, 3, 2);
    bits &= finite;  // +0 where left out
    v4f kept;
    std::memcpy(&kept, &bits, sizeof kept);
    return kept;
  };
  for (; k + 4 <= n; k += 4) {
    v4f item0, item1, sum0, sum1;
    v4i s, c;
    std::memcpy(&item0, w + 2 * k, sizeof item0);
    std::memcpy(&item1, w + 2 * k + 4, sizeof item1);
    std::memcpy(&sum0, acc + 2 * k, sizeof sum0);
    std::memcpy(&sum1, acc + 2 * k + 4, sizeof sum1);
    std::memcpy(&s, sign + k, sizeof s);
    std::memcpy(&c, count + k, sizeof c);
    const v4f signs = __builtin_convertvector(s, v4f);
    const v4f factor0 = __builtin_shufflevector(ones, signs, 0, 4, 1, 5);
    const v4f factor1 = __builtin_shufflevector(ones, signs, 2, 6, 3, 7);
    v4i finite0, finite1;
    sum0 += keep_finite(__builtin_shufflevector(item0, item0, 1, 0, 3, 2) * factor0, finite0);
    sum1 += keep_finite(__builtin_shufflevector(item1, item1, 1, 0, 3, 2) * factor1, finite1);
    c -= __builtin_shufflevector(finite0, finite1, 0, 2, 4, 6);
    std::memcpy(acc + 2 * k, &sum0, sizeof sum0);
    std::memcpy(acc + 2 * k + 4, &sum1, sizeof sum1);
    std::memcpy(count + k, &c, sizeof c);
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
