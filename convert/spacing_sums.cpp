#include "convert/spacing_sums.h"

#include <algorithm>
#include <cstring>

namespace talva::convert::spacing_sums {

namespace {

template <int L>
struct Lanes;
template <>
struct Lanes<4> {
  typedef float type __attribute__((vector_size(16)));
};
template <>
struct Lanes<8> {
  typedef float type __attribute__((vector_size(32)));
};

/// The steps of one group of L spacings: each item's two words in one load,
/// split into the lanes' word 2 (a) and word 1 (bi); bi times the sign, and
/// (a + bi i) times the factor added lane by lane into re and im.
template <int L>
[[gnu::always_inline]] inline void sum_steps(const float* vis, const std::uint32_t* word, const float* sign,
                                             const float* fre, const float* fim, std::size_t steps, float* re_out,
                                             float* im_out) {
  using vf = typename Lanes<L>::type;
  using v2 = float __attribute__((vector_size(8)));
  using v4 = float __attribute__((vector_size(16)));
  vf re{}, im{};
  for (std::size_t t = 0; t < steps; ++t) {
    const std::uint32_t* w = word + L * t;
    vf a, bi;
    if constexpr (L == 4) {
      v2 q0, q1, q2, q3;
      std::memcpy(&q0, vis + w[0], sizeof q0);
      std::memcpy(&q1, vis + w[1], sizeof q1);
      std::memcpy(&q2, vis + w[2], sizeof q2);
      std::memcpy(&q3, vis + w[3], sizeof q3);
      const v4 lo = __builtin_shufflevector(q0, q1, 0, 1, 2, 3);
      const v4 hi = __builtin_shufflevector(q2, q3, 0, 1, 2, 3);
      a = __builtin_shufflevector(lo, hi, 1, 3, 5, 7);
      bi = __builtin_shufflevector(lo, hi, 0, 2, 4, 6);
    } else {
      v2 q[8];
      for (int c = 0; c < 8; ++c) std::memcpy(&q[c], vis + w[c], sizeof q[c]);
      const v4 l0 = __builtin_shufflevector(q[0], q[1], 0, 1, 2, 3);
      const v4 l1 = __builtin_shufflevector(q[2], q[3], 0, 1, 2, 3);
      const v4 h0 = __builtin_shufflevector(q[4], q[5], 0, 1, 2, 3);
      const v4 h1 = __builtin_shufflevector(q[6], q[7], 0, 1, 2, 3);
      const vf lo = __builtin_shufflevector(l0, l1, 0, 1, 2, 3, 4, 5, 6, 7);
      const vf hi = __builtin_shufflevector(h0, h1, 0, 1, 2, 3, 4, 5, 6, 7);
      a = __builtin_shufflevector(lo, hi, 1, 3, 5, 7, 9, 11, 13, 15);
      bi = __builtin_shufflevector(lo, hi, 0, 2, 4, 6, 8, 10, 12, 14);
    }
    vf s, r, i;
    std::memcpy(&s, sign + L * t, sizeof s);
    std::memcpy(&r, fre + L * t, sizeof r);
    std::memcpy(&i, fim + L * t, sizeof i);
    bi = bi * s;
    re += a * r - bi * i;
    im += a * i + bi * r;
  }
  std::memcpy(re_out, &re, sizeof re);
  std::memcpy(im_out, &im, sizeof im);
}

void sum_steps4(const float* vis, const std::uint32_t* word, const float* sign, const float* fre, const float* fim,
                std::size_t steps, float* re, float* im) {
  sum_steps<4>(vis, word, sign, fre, fim, steps, re, im);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define TALVA_AVX2_SUMS 1
[[gnu::target("avx2")]] void sum_steps8(const float* vis, const std::uint32_t* word, const float* sign,
                                        const float* fre, const float* fim, std::size_t steps, float* re, float* im) {
  sum_steps<8>(vis, word, sign, fre, fim, steps, re, im);
}
#endif

}  // namespace

void FactorSums::build(std::vector<FactorTerm> terms, std::span<const std::size_t> start, talva::VectorWidth width) {
  terms_ = std::move(terms);
  start_.assign(start.begin(), start.end());
#ifdef TALVA_AVX2_SUMS
  lanes_ = talva::use_32_byte_vectors(width) ? 8 : 4;
#else
  (void)width;
  lanes_ = 4;
#endif
  const std::size_t L = lanes_;
  // Lanes side by side hold spacings of like lengths (the longest first),
  // so that little is left over past the steps they share. Every lane is a
  // sum of its own: which spacings share a vector changes no result.
  order_.resize(spacings());
  for (std::size_t k = 0; k < order_.size(); ++k) order_[k] = k;
  std::stable_sort(order_.begin(), order_.end(), [this](std::size_t a, std::size_t b) { return count(a) > count(b); });
  word_.clear();
  sign_.clear();
  fre_.clear();
  fim_.clear();
  const std::size_t groups = spacings() / L;
  step_start_.assign(groups + 1, 0);
  std::size_t steps = 0;
  for (std::size_t q = 0; q < groups; ++q) {
    step_start_[q] = steps;
    std::size_t common = count(order_[L * q]);
    for (std::size_t c = 1; c < L; ++c) common = std::min(common, count(order_[L * q + c]));
    for (std::size_t t = 0; t < common; ++t) {
      for (std::size_t c = 0; c < L; ++c) {
        const FactorTerm& term = terms_[start_[order_[L * q + c]] + t];
        word_.push_back(term.word);
        sign_.push_back(term.sign);
        fre_.push_back(term.factor.real());
        fim_.push_back(term.factor.imag());
      }
    }
    steps += common;
  }
  step_start_[groups] = steps;
}

void FactorSums::sum(std::span<const float> vis, std::span<std::complex<float>> acc) const {
  const std::size_t L = lanes_;
  const std::size_t n = spacings();
  const std::size_t groups = n / L;
  for (std::size_t k = 0; k < n; k += L) {
    const std::size_t q = k / L, lanes = std::min(L, n - k);
    float re[8] = {}, im[8] = {};
    std::size_t common = 0;
    if (q < groups) {
      const std::size_t first = L * step_start_[q];
      common = step_start_[q + 1] - step_start_[q];
      // (pointers by arithmetic: a group may have no steps, and the arrays none)
      const std::uint32_t* word = word_.data() + first;
      const float *sign = sign_.data() + first, *fre = fre_.data() + first, *fim = fim_.data() + first;
#ifdef TALVA_AVX2_SUMS
      if (L == 8)
        sum_steps8(vis.data(), word, sign, fre, fim, common, re, im);
      else
#endif
        sum_steps4(vis.data(), word, sign, fre, fim, common, re, im);
    }
    for (std::size_t c = 0; c < lanes; ++c) {
      const std::size_t spacing = order_[k + c];
      float r = re[c], i = im[c];
      for (std::size_t t = start_[spacing] + common; t < start_[spacing + 1]; ++t) {
        const std::complex<float> p = complex_product(term_value(terms_[t], vis), terms_[t].factor);
        r += p.real();
        i += p.imag();
      }
      if (spacing < acc.size()) acc[spacing] = {r, i};
    }
  }
}

}  // namespace talva::convert::spacing_sums
