#include "convert/spacing_sums.h"

#include <algorithm>
#include <cstring>

namespace spacing_sums {

void FactorSums::build(std::vector<FactorTerm> terms, std::span<const std::size_t> start) {
  terms_ = std::move(terms);
  start_.assign(start.begin(), start.end());
  // Lanes side by side hold spacings of like lengths (the longest first),
  // so that little is left over past the steps the four share. Every lane
  // is a sum of its own: which spacings share a vector changes no result.
  order_.resize(spacings());
  for (std::size_t k = 0; k < order_.size(); ++k) order_[k] = k;
  std::stable_sort(order_.begin(), order_.end(), [this](std::size_t a, std::size_t b) { return count(a) > count(b); });
  blocks_.clear();
  const std::size_t groups = spacings() / 4;
  block_start_.assign(groups + 1, 0);
  for (std::size_t q = 0; q < groups; ++q) {
    block_start_[q] = blocks_.size();
    std::size_t common = count(order_[4 * q]);
    for (std::size_t c = 1; c < 4; ++c) common = std::min(common, count(order_[4 * q + c]));
    for (std::size_t t = 0; t < common; ++t) {
      Block b{};
      for (std::size_t c = 0; c < 4; ++c) {
        const FactorTerm& term = terms_[start_[order_[4 * q + c]] + t];
        b.word[c] = term.word;
        b.sign[c] = term.sign;
        b.fre[c] = term.factor.real();
        b.fim[c] = term.factor.imag();
      }
      blocks_.push_back(b);
    }
  }
  block_start_[groups] = blocks_.size();
}

void FactorSums::sum(std::span<const float> vis, std::span<std::complex<float>> acc) const {
  using v4 = float __attribute__((vector_size(16)));
  using v2 = float __attribute__((vector_size(8)));
  const std::size_t n = spacings();
  const std::size_t groups = n / 4;
  for (std::size_t k = 0; k < n; k += 4) {
    const std::size_t q = k / 4, lanes = std::min<std::size_t>(4, n - k);
    v4 re = {0.0f, 0.0f, 0.0f, 0.0f}, im = {0.0f, 0.0f, 0.0f, 0.0f};
    std::size_t common = 0;
    if (q < groups) {
      const Block* b = blocks_.data() + block_start_[q];
      common = block_start_[q + 1] - block_start_[q];
      for (std::size_t t = 0; t < common; ++t) {
        // each item's two words in one load, then split into the lanes'
        // word 2 (a) and word 1 (bi)
        const auto& w = b[t].word;
        v2 q0, q1, q2, q3;
        std::memcpy(&q0, vis.data() + w[0], sizeof q0);
        std::memcpy(&q1, vis.data() + w[1], sizeof q1);
        std::memcpy(&q2, vis.data() + w[2], sizeof q2);
        std::memcpy(&q3, vis.data() + w[3], sizeof q3);
        const v4 lo = __builtin_shufflevector(q0, q1, 0, 1, 2, 3);
        const v4 hi = __builtin_shufflevector(q2, q3, 0, 1, 2, 3);
        const v4 a = __builtin_shufflevector(lo, hi, 1, 3, 5, 7);
        v4 bi = __builtin_shufflevector(lo, hi, 0, 2, 4, 6);
        v4 sign, fre, fim;
        std::memcpy(&sign, b[t].sign.data(), sizeof sign);
        std::memcpy(&fre, b[t].fre.data(), sizeof fre);
        std::memcpy(&fim, b[t].fim.data(), sizeof fim);
        bi = bi * sign;
        re += a * fre - bi * fim;
        im += a * fim + bi * fre;
      }
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

}  // namespace spacing_sums
