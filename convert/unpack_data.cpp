// Data unpackers of talva2vis3: talva1a and orvex.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "array/rejections.h"
#include "convert/unpackers.h"
#include "util/fmt.h"

namespace {

constexpr float kTalva1aLimit = 100.0f;   // larger averages are written as 0
constexpr float kOrvexLimit = 5000.0f;

// The correlation of a term: (word 2, word 1 x sign), as getvis_ returns it
// with the sign folded in; the sign is +-1, so the value is exact.
template <typename Term>
std::complex<float> term_value(const Term& t, std::span<const float> vis) {
  return {vis[t.word + 1], vis[t.word] * t.sign};
}

// (a + bi)(c + di) = (ac - bd) + (ad + bc)i in single precision, as the
// complex product rounds for finite values (without its recovery of
// infinite parts from NaN results).
inline std::complex<float> complex_product(std::complex<float> x, std::complex<float> y) {
  const float a = x.real(), b = x.imag(), c = y.real(), d = y.imag();
  return {a * c - b * d, a * d + b * c};
}

// |z| > limit, decided as std::abs decides it; the squares in double are
// exact, so only values within a hair of the limit need the library.
bool above(std::complex<float> z, float limit) {
  const double re = z.real(), im = z.imag();
  const double n2 = re * re + im * im, l2 = static_cast<double>(limit) * limit;
  if (n2 < 0.999 * l2) return false;
  if (n2 > 1.001 * l2) return true;
  return std::abs(z) > limit;
}

float layout_sign(const c_layout_common_t& layout, std::int32_t index) {
  return static_cast<float>(layout.lay_sign[static_cast<std::size_t>(index - 1)]);
}

std::uint32_t first_word(std::int32_t index) { return 2 * static_cast<std::uint32_t>(index) - 2; }

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

// avg = acc / (wsum * mdg), each part divided; 0 when the divisor is 0.
std::complex<float> weighted_mean(std::complex<float> acc, float wsum, float mdg) {
  const float d = wsum * mdg;
  if (d == 0.0f) return {0.0f, 0.0f};
  return {acc.real() / d, acc.imag() / d};
}

}  // namespace

bool RejectLists::rejects(std::int32_t index, std::int32_t a, std::int32_t b) const {
  const auto n = [](std::span<const std::int32_t> l) { return static_cast<std::int32_t>(l.size()); };
  return reject_(n(products), products, index) || reject_(n(antennas), antennas, a) || reject_(n(antennas), antennas, b);
}

std::int32_t usable_product(const ProductTable& table, std::int32_t a, std::int32_t b, talva::Output& out) {
  const std::int32_t p = table.usable_index(a, b);
  if (p != 0) return p;
  const std::int32_t code = set_antnum_(a, b);
  if (table.index_of(code) == 0)
    out.line(talva::fmt_i(code, 6) + " not found in antenna number set");
  else
    out.line(talva::fmt_i(code, 6) + " has no correlation in the dump (product index " +
             std::to_string(table.index_of(code)) + "); pair left out");
  return 0;
}

void Talva1a3Unpacker::build() {
  talva::Output& out = *in_.out;
  const auto gains = in_.gains;
  auto g = [&](int a) { return gains[static_cast<std::size_t>(a - 1)]; };
  // Gain products G(a, b) = g(a) conj(g(b)) (96 x 96, column-major).
  std::vector<std::complex<float>> Gv(kNumAntennas * kNumAntennas);
  std::span<std::complex<float>> G(Gv);
  for (int b = 1; b <= kNumAntennas; ++b)
    for (int a = 1; a <= kNumAntennas; ++a) mat(G, kNumAntennas, a, b) = g(a) * std::conj(g(b));
  out.line("Gain Product Array Initialised");

  std::vector<std::int32_t> Sv(kNumAntennas * kNumAntennas);
  std::span<std::int32_t> S(Sv);
  setup_s_matrix_(S, kNumAntennas, nclass_, out);
  nclass_ = std::clamp(nclass_, 0, kNumClasses);
  setup_s_lengths_(S, kNumAntennas, nclass_, std::span<const double>(in_.layout->xpos).first(kNumAntennas),
                   std::span<float>(lengths_).first(static_cast<std::size_t>(nclass_)), out);
  const ProductTable& table = *in_.products;
  for (int i = 1; i <= kNumAntennas; ++i)
    for (int j = 1; j <= kNumAntennas; ++j) {
      if (i == j || mat(S, kNumAntennas, i, j) == 0) continue;
      const std::int32_t p = table.index_of(set_antnum_(i, j));
      if (in_.rejects.rejects(p, i, j)) mat(S, kNumAntennas, i, j) = 0;
    }
  out.line("S matrix defined");

  // Pairs of each class in the order of the pair loops (i outer, j inner).
  std::array<std::vector<Term>, kNumClasses> per_class;
  std::span<const std::complex<float>> Gc(Gv);
  wsum_.fill(0.0f);
  for (int i = 1; i <= kNumAntennas; ++i)
    for (int j = 1; j <= kNumAntennas; ++j) {
      const int s = mat(S, kNumAntennas, i, j);
      if (s < 1 || s > nclass_) continue;
      const std::int32_t p = usable_product(table, i, j, out);
      if (p == 0) continue;
      // A pair listed with i > j is conjugated: its imaginary part changes sign.
      const float sign = i > j ? -layout_sign(*in_.corr_layout, p) : layout_sign(*in_.corr_layout, p);
      per_class[static_cast<std::size_t>(s - 1)].push_back({first_word(p), sign, mat(Gc, kNumAntennas, j, i)});
      wsum_[static_cast<std::size_t>(s - 1)] +=
          mat(Gc, kNumAntennas, i, i).real() * mat(Gc, kNumAntennas, j, j).real();
    }
  terms_.clear();
  start_[0] = 0;
  for (int s = 1; s <= kNumClasses; ++s) {
    const auto& list = per_class[static_cast<std::size_t>(s - 1)];
    terms_.insert(terms_.end(), list.begin(), list.end());
    start_[static_cast<std::size_t>(s)] = terms_.size();
  }
  // Side-by-side blocks of every full group of four classes.
  blocks_.clear();
  block_start_.fill(0);
  const std::size_t groups = static_cast<std::size_t>(nclass_) / 4;
  for (std::size_t q = 0; q < groups; ++q) {
    block_start_[q] = blocks_.size();
    const std::size_t k = 4 * q;
    std::size_t common = start_[k + 1] - start_[k];
    for (std::size_t c = 1; c < 4; ++c) common = std::min(common, start_[k + c + 1] - start_[k + c]);
    for (std::size_t t = 0; t < common; ++t) {
      Block b{};
      for (std::size_t c = 0; c < 4; ++c) {
        const auto& term = terms_[start_[k + c] + t];
        b.word[c] = term.word;
        b.sign[c] = term.sign;
        b.gre[c] = term.gain.real();
        b.gim[c] = term.gain.imag();
      }
      blocks_.push_back(b);
    }
  }
  block_start_[groups] = blocks_.size();
  built_ = true;
}

// The class sums of talva1a: the blocks of each group of four classes with
// four-wide vector arithmetic (each lane rounds exactly as the scalar
// product and sum), then each class's remaining terms in order.
void Talva1a3Unpacker::sum(std::span<const float> vis, std::span<std::complex<float>> acc) const {
  using v4 = float __attribute__((vector_size(16)));
  using v2 = float __attribute__((vector_size(8)));
  const std::size_t nclass = static_cast<std::size_t>(nclass_);
  const std::size_t groups = nclass / 4;
  for (std::size_t k = 0; k < nclass; k += 4) {
    const std::size_t q = k / 4, lanes = std::min<std::size_t>(4, nclass - k);
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
        v4 sign, gre, gim;
        std::memcpy(&sign, b[t].sign.data(), sizeof sign);
        std::memcpy(&gre, b[t].gre.data(), sizeof gre);
        std::memcpy(&gim, b[t].gim.data(), sizeof gim);
        bi = bi * sign;
        re += a * gre - bi * gim;
        im += a * gim + bi * gre;
      }
    }
    for (std::size_t c = 0; c < lanes; ++c) {
      float r = re[c], i = im[c];
      for (std::size_t t = start_[k + c] + common; t < start_[k + c + 1]; ++t) {
        const std::complex<float> p = complex_product(term_value(terms_[t], vis), terms_[t].gain);
        r += p.real();
        i += p.imag();
      }
      acc[k + c] = {r, i};
    }
  }
}

void OrvexUnpacker::build() {
  auto g = [&](int a) { return in_.gains[static_cast<std::size_t>(a - 1)]; };
  terms_.clear();
  start_[0] = 0;
  for (int s = 1; s <= 88; ++s) {
    float wsum = 0.0f;
    for (int i = std::max(1, s - 44); i <= std::min(s, 44); ++i) {
      const int j = s - i + 48;
      const std::int32_t p = usable_product(*in_.products, i, j, *in_.out);
      if (p == 0 || in_.rejects.rejects(p, i, j)) continue;
      terms_.push_back({first_word(p), layout_sign(*in_.corr_layout, p), std::conj(g(i)), g(j)});
      const float a = std::abs(g(i)) * std::abs(g(j));
      wsum += a * a;
    }
    wsum_[static_cast<std::size_t>(s - 1)] = wsum;
    start_[static_cast<std::size_t>(s)] = terms_.size();
  }
  built_ = true;
}

void Talva1a3Unpacker::unpack(const DumpContext& dump, RecordSink& sink) {
  if (!built_) build();
  if (nclass_ < 1) return;
  const float cH = std::cos(dump.ha), sH = std::sin(dump.ha);
  std::array<std::complex<float>, kNumClasses> acc{};
  sum(dump.vis, acc);
  for (int s = 1; s <= nclass_; ++s) {
    if (start_[static_cast<std::size_t>(s - 1)] == start_[static_cast<std::size_t>(s)])
      continue;  // no pair of this class: no record
    std::complex<float> avg =
        weighted_mean(acc[static_cast<std::size_t>(s - 1)], wsum_[static_cast<std::size_t>(s - 1)], dump.mdg);
    if (above(avg, kTalva1aLimit)) avg = {0.0f, 0.0f};
    const float L = lengths_[static_cast<std::size_t>(s - 1)];
    const float x = cH * L, y = sH * in_.sindec * L;
    sink.record(UvRecord::make(x, y, in_.sfreq, dump.time, 67585.0 + s, avg, s).geometry(dump.ha, L, true));
  }
}

std::span<const float> Talva1a3Unpacker::class_lengths() const {
  if (!built_) return {};  // not set up yet
  return std::span<const float>(lengths_).first(static_cast<std::size_t>(nclass_));
}

void OrvexUnpacker::unpack(const DumpContext& dump, RecordSink& sink) {
  if (!built_) build();
  const ModeLayout& layout = *in_.layout;
  const float cH = std::cos(dump.ha), sH = std::sin(dump.ha);
  std::array<std::complex<float>, 88> acc{};
  sum_spacings(terms_, std::span<const std::size_t>(start_), dump.vis, acc,
               [](const Term& t, std::complex<float> V) {
                 return complex_product(complex_product(V, t.gi_conj), t.gj);
               });
  for (int s = 1; s <= 88; ++s) {
    std::complex<float> avg{0.0f, 0.0f};
    if (start_[static_cast<std::size_t>(s - 1)] != start_[static_cast<std::size_t>(s)]) {
      avg = weighted_mean(acc[static_cast<std::size_t>(s - 1)], wsum_[static_cast<std::size_t>(s - 1)], dump.mdg);
      if (above(avg, kOrvexLimit)) avg = {0.0f, 0.0f};
    }
    // Geometry and baseline of the spacing's first pair, whatever was rejected.
    const int i0 = std::max(1, s - 44), j0 = s - i0 + 48;
    const double D = layout.x(i0) - layout.x(j0);
    const double x = static_cast<double>(cH) * D, y = static_cast<double>(sH * in_.sindec) * D;
    sink.record(UvRecord::make(x, y, in_.sfreq, dump.time, 65536.0 + 2048.0 * i0 + j0, avg, s).geometry(dump.ha, D, true));
  }
}
