// The baseline phase factor (fetching a correlation is inline in layout.h).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "array/layout.h"
#include "util/constants.h"
#include "util/vector_width.h"

namespace talva::array {

void compute_base_(float spacing, float gap, float wavelength, std::span<const std::int32_t, 2> bays,
                   std::span<const std::int32_t, 2> arms, float& u) {
  const float h = (spacing + gap) * 0.5f;
  float p[2];
  for (int k = 0; k < 2; ++k) {
    p[k] = spacing * static_cast<float>(bays[k] - 1) + h;
    if (arms[k] == 1) p[k] = -p[k];
  }
  u = (p[1] - p[0]) * talva::kTwoPi / wavelength;
}

namespace {

// The vector loops of accumulate_products: four products per step, from
// product k on; they return where the one-by-one rest begins. (im, re)
// items are swapped to (re, im), the imaginary parts multiplied by the
// pair's sign, and a product kept only when both of its parts are finite:
// the exponent not all ones, i.e. |bits| at most that of the largest float.
#if defined(__GNUC__) && __has_builtin(__builtin_shufflevector) && __has_builtin(__builtin_convertvector)
#define TALVA_VECTOR_ACCUMULATION 1

// In two 16-byte vectors (two products each).
std::size_t accumulate16(const float* w, float* acc, const std::int32_t* sign, std::int32_t* count, std::size_t k,
                         std::size_t n) {
  using v4f = float __attribute__((vector_size(16)));
  using v4i = std::int32_t __attribute__((vector_size(16)));
  const v4f ones = {1.0f, 1.0f, 1.0f, 1.0f};
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
  return k;
}

#if defined(__x86_64__)
#define TALVA_AVX2_ACCUMULATION 1
// In one 32-byte vector (AVX2).
[[gnu::target("avx2")]] std::size_t accumulate32(const float* w, float* acc, const std::int32_t* sign,
                                                 std::int32_t* count, std::size_t k, std::size_t n) {
  using v8f = float __attribute__((vector_size(32)));
  using v8i = std::int32_t __attribute__((vector_size(32)));
  using v4f = float __attribute__((vector_size(16)));
  using v4i = std::int32_t __attribute__((vector_size(16)));
  const v4f ones = {1.0f, 1.0f, 1.0f, 1.0f};
  for (; k + 4 <= n; k += 4) {
    v8f item, sum;
    v4i s, c;
    std::memcpy(&item, w + 2 * k, sizeof item);
    std::memcpy(&sum, acc + 2 * k, sizeof sum);
    std::memcpy(&s, sign + k, sizeof s);
    std::memcpy(&c, count + k, sizeof c);
    const v8f factor = __builtin_shufflevector(ones, __builtin_convertvector(s, v4f), 0, 4, 1, 5, 2, 6, 3, 7);
    const v8f value = __builtin_shufflevector(item, item, 1, 0, 3, 2, 5, 4, 7, 6) * factor;
    v8i bits;
    std::memcpy(&bits, &value, sizeof bits);
    const v8i part_finite = (bits & 0x7fffffff) <= 0x7f7fffff;
    const v8i finite = part_finite & __builtin_shufflevector(part_finite, part_finite, 1, 0, 3, 2, 5, 4, 7, 6);
    bits &= finite;
    v8f kept;
    std::memcpy(&kept, &bits, sizeof kept);
    sum += kept;
    c -= __builtin_shufflevector(finite, finite, 0, 2, 4, 6);
    std::memcpy(acc + 2 * k, &sum, sizeof sum);
    std::memcpy(count + k, &c, sizeof c);
  }
  return k;
}
#endif
#endif

}  // namespace

void accumulate_products(const c_layout_common_t& layout, std::span<const float> vis,
                         std::span<std::complex<float>> sums, std::span<std::int32_t> used, talva::VectorWidth width) {
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
#ifdef TALVA_VECTOR_ACCUMULATION
#ifdef TALVA_AVX2_ACCUMULATION
  if (talva::use_32_byte_vectors(width))
    k = accumulate32(w, acc, sign, count, k, n);
  else
#endif
    k = accumulate16(w, acc, sign, count, k, n);
#else
  (void)width;
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

}  // namespace talva::array
