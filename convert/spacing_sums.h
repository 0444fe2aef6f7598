#pragma once
// The arithmetic the data unpackers of both converters share: a term's
// correlation, the complex product as it rounds, the limit test of an
// average, and the sums of the spacings' terms, four spacings side by side.
#include <algorithm>
#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "util/complex_product.h"
#include "util/vector_width.h"

namespace talva::convert::spacing_sums {

// The correlation of a term: (word 2, word 1 x sign), as getvis_ returns it
// with the sign folded in; the sign is +-1, so the value is exact.
template <typename Term>
std::complex<float> term_value(const Term& t, std::span<const float> vis) {
  return {vis[t.word + 1], vis[t.word] * t.sign};
}

using talva::complex_product;

// |z| > limit, decided as std::abs decides it; the squares in double are
// exact, so only values within a hair of the limit need the library.
inline bool above(std::complex<float> z, float limit) {
  const double re = z.real(), im = z.imag();
  const double n2 = re * re + im * im, l2 = static_cast<double>(limit) * limit;
  if (n2 < 0.999 * l2) return false;
  if (n2 > 1.001 * l2) return true;
  return std::abs(z) > limit;
}

// Sums, for every spacing k, product(term, value) over terms[start[k] ..
// start[k+1]) in that order, into acc[k]. Four spacings are summed side by
// side, each into its own accumulator, so that the independent sums overlap
// in time; every sum keeps its own order, so the result is the same to the bit.
template <typename Term, typename Product>
void sum_spacings(const std::vector<Term>& terms, std::span<const std::size_t> start, std::span<const float> vis,
                  std::span<std::complex<float>> acc, Product product) {
  if (start.size() < 2) return;
  const std::size_t nspacing = std::min(start.size() - 1, acc.size());
  for (std::size_t k = 0; k < nspacing; k += 4) {
    const std::size_t lanes = std::min<std::size_t>(4, nspacing - k);
    std::array<const Term*, 4> tl{};
    std::array<std::size_t, 4> nl{};
    for (std::size_t c = 0; c < lanes; ++c) {
      tl[c] = terms.data() + start[k + c];
      nl[c] = start[k + c + 1] - start[k + c];
    }
    std::array<float, 4> re{}, im{};
    std::size_t common = 0;
    if (lanes == 4) {
      common = std::min(std::min(nl[0], nl[1]), std::min(nl[2], nl[3]));
      const Term *t0 = tl[0], *t1 = tl[1], *t2 = tl[2], *t3 = tl[3];
      float r0 = 0.0f, r1 = 0.0f, r2 = 0.0f, r3 = 0.0f, i0 = 0.0f, i1 = 0.0f, i2 = 0.0f, i3 = 0.0f;
      for (std::size_t t = 0; t < common; ++t) {
        const std::complex<float> p0 = product(t0[t], term_value(t0[t], vis));
        const std::complex<float> p1 = product(t1[t], term_value(t1[t], vis));
        const std::complex<float> p2 = product(t2[t], term_value(t2[t], vis));
        const std::complex<float> p3 = product(t3[t], term_value(t3[t], vis));
        r0 += p0.real();
        i0 += p0.imag();
        r1 += p1.real();
        i1 += p1.imag();
        r2 += p2.real();
        i2 += p2.imag();
        r3 += p3.real();
        i3 += p3.imag();
      }
      re = {r0, r1, r2, r3};
      im = {i0, i1, i2, i3};
    }
    for (std::size_t c = 0; c < lanes; ++c) {  // each lane's rest, in order
      float r = re[c], i = im[c];
      for (std::size_t t = common; t < nl[c]; ++t) {
        const std::complex<float> p = product(tl[c][t], term_value(tl[c][t], vis));
        r += p.real();
        i += p.imag();
      }
      acc[k + c] = {r, i};
    }
  }
}

/// A term whose value is its correlation times a fixed complex factor (a
/// gain product, or the rotation by a phase difference as (cos, sin)).
struct FactorTerm {
  std::uint32_t word;  ///< offset of the item's first word in vis (2 * index - 2)
  float sign;          ///< sign of the item's word 1 (layout sign, negated when conjugated)
  std::complex<float> factor;
};

/// The sums over spacings of complex_product(term_value(t, vis), t.factor),
/// each in its terms' order: groups of spacings of like lengths side by side
/// in vectors, one spacing to a lane (each lane rounds exactly as the scalar
/// product and sum), the rest of each spacing's terms one by one. Eight
/// lanes with 32-byte vectors, else four. Built once; summed once per dump.
class FactorSums {
 public:
  /// `terms` spacing by spacing: spacing k holds terms[start[k] .. start[k+1]).
  void build(std::vector<FactorTerm> terms, std::span<const std::size_t> start,
             talva::VectorWidth width = talva::VectorWidth::best);
  /// acc[k] = the sum of spacing k, for k below spacings() and acc.size().
  void sum(std::span<const float> vis, std::span<std::complex<float>> acc) const;
  std::size_t spacings() const { return start_.empty() ? 0 : start_.size() - 1; }
  /// Terms of spacing k.
  std::size_t count(std::size_t k) const { return start_[k + 1] - start_[k]; }

 private:
  std::vector<FactorTerm> terms_;
  std::vector<std::size_t> start_;
  std::size_t lanes_ = 4;
  std::vector<std::size_t> order_;  ///< the spacings, longest first: group q sums order_[lanes q ..]
  /// Step t of group q: the t-th terms of its spacings, lane by lane, at
  /// lanes * (step_start_[q] + t); the steps cover the group's first
  /// (common) terms.
  std::vector<std::uint32_t> word_;
  std::vector<float> sign_, fre_, fim_;  ///< the sign and the factor's real and imaginary parts
  std::vector<std::size_t> step_start_;
};

}  // namespace talva::convert::spacing_sums
