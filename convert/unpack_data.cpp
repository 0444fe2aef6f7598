// Data unpackers of talva2vis3: talva1a and orvex.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "array/rejections.h"
#include "convert/spacing_sums.h"
#include "convert/unpackers.h"
#include "util/fmt.h"

using talva::array::c_layout_common_t;
using talva::array::kNumAntennas;
using talva::array::kNumClasses;
using talva::array::mat;
using talva::array::ProductTable;
using talva::array::reject_;
using talva::array::set_antnum_;
using talva::array::setup_s_lengths_;
using talva::array::setup_s_matrix_;

namespace talva::convert {

namespace {

using spacing_sums::above;
using spacing_sums::complex_product;
using spacing_sums::sum_spacings;
using spacing_sums::term_value;

constexpr float kTalva1aLimit = 100.0f;  // larger averages are written as 0
constexpr float kOrvexLimit = 5000.0f;

float layout_sign(const c_layout_common_t& layout, std::int32_t index) {
  return static_cast<float>(layout.lay_sign[static_cast<std::size_t>(index - 1)]);
}

std::uint32_t first_word(std::int32_t index) { return 2 * static_cast<std::uint32_t>(index) - 2; }

// avg = acc / (wsum * mdg), each part divided; 0 when the divisor is 0.
std::complex<float> weighted_mean(std::complex<float> acc, float wsum, float mdg) {
  const float d = wsum * mdg;
  if (d == 0.0f) return {0.0f, 0.0f};
  return {acc.real() / d, acc.imag() / d};
}

}  // namespace

bool RejectLists::rejects(std::int32_t index, std::int32_t a, std::int32_t b) const {
  const auto n = [](std::span<const std::int32_t> l) { return static_cast<std::int32_t>(l.size()); };
  return reject_(n(products), products, index) || reject_(n(antennas), antennas, a) ||
         reject_(n(antennas), antennas, b);
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

// Pair terms from `gains` (the run's, or the dump's from a gains table),
// without the pairs the table leaves out: each pair's factor is G(j, i) and
// its class's weight gains the sum of G(i, i) G(j, j), G(a, b) = g(a) conj(g(b)).
void Talva1a3Unpacker::weigh(std::span<const std::complex<float>> gains) {
  auto g = [&](int a) { return gains[static_cast<std::size_t>(a - 1)]; };
  auto G = [&](int a, int b) { return g(a) * std::conj(g(b)); };
  std::vector<spacing_sums::FactorTerm> terms;
  std::vector<std::size_t> start{0};
  wsum_.fill(0.0f);
  auto pair = pairs_.begin();
  for (int s = 1; s <= nclass_; ++s) {
    for (; pair != pairs_.end() && pair->s == s; ++pair) {
      if (table_.left_out(pair->i, pair->j)) continue;
      terms.push_back({pair->word, pair->sign, G(pair->j, pair->i)});
      wsum_[static_cast<std::size_t>(s - 1)] += G(pair->i, pair->i).real() * G(pair->j, pair->j).real();
    }
    start.push_back(terms.size());
  }
  sums_.build(std::move(terms), start);
}

void Talva1a3Unpacker::unpack(const DumpContext& dump, RecordSink& sink) {
  if (table_.active()) {
    table_.move_to(dump.time);
    weigh(table_.gains());  // weighed with this dump's gains
  }
  if (nclass_ < 1) return;
  const float cH = std::cos(dump.ha), sH = std::sin(dump.ha);
  std::array<std::complex<float>, kNumClasses> acc{};
  sums_.sum(dump.vis, acc);
  for (int s = 1; s <= nclass_; ++s) {
    const bool none = sums_.count(static_cast<std::size_t>(s - 1)) == 0;
    // no pair of this class: no record; every pair flagged by the gains table: a flagged record
    if (none && !(table_.active() && has_pairs_[static_cast<std::size_t>(s - 1)])) continue;
    std::complex<float> avg =
        weighted_mean(acc[static_cast<std::size_t>(s - 1)], wsum_[static_cast<std::size_t>(s - 1)], dump.mdg);
    if (above(avg, kTalva1aLimit)) avg = {0.0f, 0.0f};
    const float L = lengths_[static_cast<std::size_t>(s - 1)];
    const float x = cH * L, y = sH * in_.sindec * L;
    UvRecord r = UvRecord::make(x, y, dump.time, {1, s + 1}, avg, s);
    if (none) r.flagged = true;
    sink.record(r.geometry(dump.ha, L, true));
  }
}

// The usable pairs of each spacing, weighed with the run's gains; the
// messages of unusable pairs kept for print_setup().
OrvexUnpacker::OrvexUnpacker(const DataInputs& in) : in_(in) {
  talva::HeldLines& out = setup_;
  auto g = [&](int a) { return in_.gains[static_cast<std::size_t>(a - 1)]; };
  start_[0] = 0;
  for (int s = 1; s <= 88; ++s) {
    float wsum = 0.0f;
    for (int i = std::max(1, s - 44); i <= std::min(s, 44); ++i) {
      const int j = s - i + 48;
      const std::int32_t p = usable_product(*in_.products, i, j, out);
      if (p == 0 || in_.rejects.rejects(p, i, j)) continue;
      terms_.push_back({first_word(p), layout_sign(*in_.corr_layout, p), std::conj(g(i)), g(j)});
      const float a = std::abs(g(i)) * std::abs(g(j));
      wsum += a * a;
    }
    wsum_[static_cast<std::size_t>(s - 1)] = wsum;
    start_[static_cast<std::size_t>(s)] = terms_.size();
  }
}

void OrvexUnpacker::print_setup() { setup_.release(*in_.out); }

Talva1a3Unpacker::Talva1a3Unpacker(const DataInputs& in) : in_(in), table_(in.gains_table) {
  talva::HeldLines& out = setup_;
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

  // The usable pairs of each class in the order of the pair loops (i outer, j inner).
  std::array<std::vector<Pair>, kNumClasses> per_class;
  for (int i = 1; i <= kNumAntennas; ++i)
    for (int j = 1; j <= kNumAntennas; ++j) {
      const int s = mat(S, kNumAntennas, i, j);
      if (s < 1 || s > nclass_) continue;
      const std::int32_t p = usable_product(table, i, j, out);
      if (p == 0) continue;
      has_pairs_[static_cast<std::size_t>(s - 1)] = true;
      // A pair listed with i > j is conjugated: its imaginary part changes sign.
      const float sign = i > j ? -layout_sign(*in_.corr_layout, p) : layout_sign(*in_.corr_layout, p);
      per_class[static_cast<std::size_t>(s - 1)].push_back({i, j, s, first_word(p), sign});
    }
  for (const auto& list : per_class) pairs_.insert(pairs_.end(), list.begin(), list.end());
  if (!table_.active()) weigh(in_.gains);
}

void Talva1a3Unpacker::print_setup() { setup_.release(*in_.out); }

std::vector<double> Talva1a3Unpacker::positions() const {
  std::vector<double> y(kNumClasses + 1, 0.0);
  for (std::size_t s = 1; s <= static_cast<std::size_t>(nclass_); ++s) y[s] = lengths_[s - 1];
  return y;
}

std::vector<double> orvex_positions(const ModeLayout& layout) {
  std::vector<double> y;
  // Spacing s: the pair (i0, j0) = (max(1, s - 44), s - i0 + 48), up to (44, 92).
  for (int k = 1; k <= 92; ++k) y.push_back(0.0 - layout.x(k));  // empty slots: +0, not -0
  return y;
}

void OrvexUnpacker::unpack(const DumpContext& dump, RecordSink& sink) {
  const ModeLayout& layout = *in_.layout;
  const float cH = std::cos(dump.ha), sH = std::sin(dump.ha);
  std::array<std::complex<float>, 88> acc{};
  sum_spacings(terms_, std::span<const std::size_t>(start_), dump.vis, acc, [](const Term& t, std::complex<float> V) {
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
    sink.record(UvRecord::make(x, y, dump.time, {i0, j0}, avg, s).geometry(dump.ha, D, true));
  }
}

}  // namespace talva::convert
