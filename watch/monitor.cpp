// The watcher's computation: class averages, standings, anomalies and the
// decimated series.
#include "watch/monitor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "convert/spacing_sums.h"
#include "util/median.h"
#include "util/output.h"

using talva::array::getvis;
using talva::array::kMaxProducts;
using talva::array::kNumAntennas;
using talva::array::kNumClasses;
using talva::array::mat;
using talva::array::ProductTable;
using talva::array::setup_s_lengths2_;
using talva::array::setup_s_matrix_;

namespace talva::watch {
namespace {

constexpr float kSpacing = 17.68f;      // metres between bays
constexpr float kCrossOffset = 32.92f;  // metres between the innermost bays of the two arms
constexpr float kDegPerRad = 57.29578f;

std::size_t at(int k) { return static_cast<std::size_t>(k - 1); }

bool finite(std::complex<float> z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }

// Median of v (reordered), in single precision.
float median(std::span<float> v) { return talva::median_in_place<float>(v); }

std::string fixed(float v, int decimals) { return talva::fixed(static_cast<double>(v), decimals); }

}  // namespace

void Bin::add(std::complex<float> z) {
  const float a = std::abs(z);
  if (n == 0) {
    min = max = a;
  } else {
    min = std::min(min, a);
    max = std::max(max, a);
  }
  sum += z;
  ++n;
}

void Bin::merge(const Bin& o) {
  if (o.n == 0) return;
  if (n == 0) {
    *this = o;
    return;
  }
  sum += o.sum;
  min = std::min(min, o.min);
  max = std::max(max, o.max);
  n += o.n;
}

std::string antenna_name(int a) { return a > 48 ? std::to_string(a - 48) + "W" : std::to_string(a) + "E"; }

Monitor::Monitor(MonitorSetup setup) : setup_(std::move(setup)) {
  build_terms();
  times_.resize(kBins);
  class_bins_.resize(static_cast<std::size_t>(kNumClasses) * kBins);
  product_bins_.resize(static_cast<std::size_t>(std::max(setup_.nbsln, 0)) * kBins);
  antenna_bins_.resize(static_cast<std::size_t>(kNumAntennas) * kBins);
  antenna_streak_.resize(kNumAntennas);
  pair_streak_.resize(terms_.size());
  amp_now_.fill(std::nanf(""));
  phase_now_.fill(std::nanf(""));
}

void Monitor::build_terms() {
  std::vector<std::int32_t> Sv(kNumAntennas * kNumAntennas);
  std::span<std::int32_t> S(Sv);
  StringOutput quiet;
  int nclass = 0;
  setup_s_matrix_(S, kNumAntennas, nclass, quiet);
  setup_s_lengths2_(class_length_, kNumClasses, kSpacing, kCrossOffset);
  const ProductTable table(
      std::span<const std::int32_t>(setup_.antnum)
          .first(std::min<std::size_t>(setup_.antnum.size(), static_cast<std::size_t>(std::max(setup_.nbsln, 0)))));
  const bool gains = !setup_.gains.empty();
  auto g = [&](int a) { return gains ? setup_.gains[at(a)] : std::complex<float>(1.0f, 0.0f); };
  std::array<std::vector<Term>, kNumClasses> per_class;
  // The pairs of each class in the converter's order (i outer, j inner).
  for (int i = 1; i <= kNumAntennas; ++i)
    for (int j = 1; j <= kNumAntennas; ++j) {
      const int s = mat(S, kNumAntennas, i, j);
      if (i == j || s < 1 || s > kNumClasses) continue;
      const std::int32_t p = table.usable_index(i, j);
      if (p == 0 || p > setup_.layout->lay_count || p > kMaxProducts) continue;
      const float weight = std::norm(g(i)) * std::norm(g(j));
      if (gains && !(weight > 0.0f)) continue;  // an antenna without a gain: its pairs say nothing
      // A pair listed with i > j is conjugated to the class's orientation (i, j).
      const float lay = static_cast<float>(setup_.layout->lay_sign[at(p)]);
      per_class[at(s)].push_back({p, 2 * static_cast<std::uint32_t>(p) - 2, i > j ? -lay : lay, g(j) * std::conj(g(i)),
                                  weight, static_cast<std::int16_t>(i), static_cast<std::int16_t>(j),
                                  static_cast<std::int16_t>(s)});
    }
  for (int k = 1; k <= kNumClasses; ++k) {
    start_[at(k)] = terms_.size();
    for (const Term& t : per_class[at(k)]) {
      terms_.push_back(t);
      wsum_[at(k)] += t.weight;
    }
    class_count_[at(k)] = static_cast<int>(per_class[at(k)].size());
  }
  start_[kNumClasses] = terms_.size();
  scratch_c_.resize(terms_.size());
}

std::span<const Bin> Monitor::class_series(int k) const {
  if (k < 1 || k > kNumClasses) return {};
  return std::span<const Bin>(class_bins_).subspan(at(k) * kBins, static_cast<std::size_t>(used_));
}

std::span<const Bin> Monitor::product_series(int p) const {
  if (p < 2 || p > setup_.nbsln) return {};
  return std::span<const Bin>(product_bins_).subspan(at(p) * kBins, static_cast<std::size_t>(used_));
}

std::span<const Bin> Monitor::antenna_series(int a) const {
  if (a < 1 || a > kNumAntennas) return {};
  return std::span<const Bin>(antenna_bins_).subspan(at(a) * kBins, static_cast<std::size_t>(used_));
}

std::size_t Monitor::series_bytes() const {
  return (class_bins_.size() + product_bins_.size() + antenna_bins_.size()) * sizeof(Bin) +
         times_.size() * sizeof(TimeBin);
}

// Every series keeps kBins bins: when they are full, neighbours merge and
// each bin holds twice as many dumps.
void Monitor::halve() {
  auto merge_series = [&](std::vector<Bin>& bins) {
    for (std::size_t s = 0; s < bins.size(); s += kBins) {
      Bin* b = bins.data() + s;
      for (int q = 0; q < kBins / 2; ++q) {
        Bin m = b[2 * q];
        m.merge(b[2 * q + 1]);
        b[q] = m;
      }
      std::fill(b + kBins / 2, b + kBins, Bin{});
    }
  };
  merge_series(class_bins_);
  merge_series(product_bins_);
  merge_series(antenna_bins_);
  for (int q = 0; q < kBins / 2; ++q) {
    TimeBin m = times_[static_cast<std::size_t>(2 * q)];
    const TimeBin& o = times_[static_cast<std::size_t>(2 * q + 1)];
    if (o.n > 0) {
      m.last = o.last;
      m.t_last = o.t_last;
      m.ha_sum += o.ha_sum;
      m.n += o.n;
    }
    times_[static_cast<std::size_t>(q)] = m;
  }
  std::fill(times_.begin() + kBins / 2, times_.end(), TimeBin{});
  width_ *= 2;
  used_ = kBins / 2;
}

void Monitor::next_bin(const DumpIn& d) {
  // dumps_ is the number of this dump; its bin is (dumps_ - 1) / width_.
  int b = (dumps_ - 1) / width_;
  if (b >= kBins) {
    halve();
    b = (dumps_ - 1) / width_;
  }
  used_ = b + 1;
  TimeBin& t = times_[static_cast<std::size_t>(b)];
  if (t.n == 0) {
    t.first = dumps_;
    t.t_first = d.unix_time;
  }
  t.last = dumps_;
  t.t_last = d.unix_time;
  t.ha_sum += d.ha_hours;
  ++t.n;
}

void Monitor::add(const DumpIn& d) {
  ++dumps_;
  last_ = d;
  last_.vis = {};
  next_bin(d);
  const std::size_t b = static_cast<std::size_t>(used_ - 1);

  // Every product's correlation, oriented smaller to larger antenna.
  int nonfinite = 0;
  const int items = static_cast<int>(std::min<std::size_t>(d.vis.size() / 2, static_cast<std::size_t>(setup_.nbsln)));
  for (int p = 2; p <= items && p <= kMaxProducts; ++p) {
    const std::complex<float> v = getvis(*setup_.layout, p, d.vis);
    if (!finite(v)) {
      ++nonfinite;
      continue;
    }
    product_bins_[at(p) * kBins + b].add(v);
  }

  // Class averages, summed as the converter sums them (its gain products,
  // its order, its rounding; no meridian-distance gain, no limit), and the
  // gain-corrected value of every pair.
  std::vector<std::uint8_t> ok(terms_.size(), 0);
  for (int k = 1; k <= kNumClasses; ++k) {
    std::complex<float> acc{0.0f, 0.0f};
    float wsum = 0.0f;
    for (std::size_t t = start_[at(k)]; t < start_[at(k) + 1]; ++t) {
      const Term& term = terms_[t];
      const std::complex<float> v = convert::spacing_sums::term_value(term, d.vis);
      if (!finite(v)) continue;
      const std::complex<float> p = convert::spacing_sums::complex_product(v, term.factor);
      acc += p;
      wsum += term.weight;
      scratch_c_[t] = p / term.weight;
      ok[t] = 1;
    }
    if (wsum_[at(k)] == 0.0f) continue;
    class_now_[at(k)] = wsum > 0.0f ? acc / wsum : std::complex<float>(0.0f, 0.0f);
    class_bins_[at(k) * kBins + b].add(class_now_[at(k)]);
  }
  standing(scratch_c_, ok);
  for (int a = 1; a <= kNumAntennas; ++a)
    if (std::isfinite(amp_now_[at(a)])) antenna_bins_[at(a) * kBins + b].add(standing_now_[at(a)]);

  judge(data_streak_, nonfinite > 0, std::to_string(nonfinite) + " products with non-finite correlations",
        static_cast<float>(nonfinite), Anomaly::Kind::Data, 0, 0);
}

void Monitor::standing(std::span<const std::complex<float>> c, std::span<const std::uint8_t> ok) {
  // Class references: medians over the class's pairs.
  std::array<std::complex<float>, kNumClasses> ref{};
  std::array<float, kNumClasses> ref_amp{};
  for (int k = 1; k <= kNumClasses; ++k) {
    scratch_re_.clear();
    scratch_im_.clear();
    scratch_amp_.clear();
    for (std::size_t t = start_[at(k)]; t < start_[at(k) + 1]; ++t) {
      if (!ok[t]) continue;
      scratch_re_.push_back(c[t].real());
      scratch_im_.push_back(c[t].imag());
      scratch_amp_.push_back(std::abs(c[t]));
    }
    if (scratch_amp_.size() < static_cast<std::size_t>(kMinClassPairs)) continue;
    ref[at(k)] = {median(scratch_re_), median(scratch_im_)};
    ref_amp[at(k)] = median(scratch_amp_);
  }

  // Antennas: least-squares ratios to the references.
  std::array<double, kNumAntennas> num_amp{}, den_amp{}, den_c{};
  std::array<std::complex<double>, kNumAntennas> num_c{};
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    const Term& term = terms_[t];
    const float r = ref_amp[at(term.cls)];
    if (!ok[t] || !(r > 0.0f)) continue;
    const double amp = std::abs(c[t]);
    const std::complex<double> z(c[t]), R(ref[at(term.cls)]);
    for (int a : {term.i, term.j}) {
      num_amp[at(a)] += amp * r;
      den_amp[at(a)] += static_cast<double>(r) * r;
      // turned so that antenna a comes first
      const bool first = a == term.i;
      num_c[at(a)] += (first ? z : std::conj(z)) * std::conj(first ? R : std::conj(R));
      den_c[at(a)] += std::norm(R);
    }
  }
  for (int a = 1; a <= kNumAntennas; ++a) {
    if (den_amp[at(a)] <= 0.0) {
      amp_now_[at(a)] = phase_now_[at(a)] = std::nanf("");
      continue;
    }
    const float amp = static_cast<float>(num_amp[at(a)] / den_amp[at(a)]);
    float phase = 0.0f;
    if (has_gains() && den_c[at(a)] > 0.0) {
      const std::complex<double> e = num_c[at(a)] / den_c[at(a)];
      phase = static_cast<float>(std::arg(e)) * kDegPerRad;
    }
    amp_now_[at(a)] = amp;
    phase_now_[at(a)] = phase;
    standing_now_[at(a)] = std::polar(amp, phase / kDegPerRad);
  }

  const Limits& lim = setup_.limits;
  for (int a = 1; a <= kNumAntennas; ++a) {
    const float amp = amp_now_[at(a)];
    const float phase = phase_now_[at(a)];
    std::string what;
    if (std::isfinite(amp) && amp < lim.amp_low)
      what = "amplitude " + fixed(amp, 2) + " of its classes";
    else if (std::isfinite(amp) && amp > lim.amp_high)
      what = "amplitude " + fixed(amp, 2) + " of its classes";
    else if (std::isfinite(phase) && std::abs(phase) > lim.phase_deg)
      what = "phase " + fixed(phase, 0) + " deg off its classes";
    judge(antenna_streak_[at(a)], !what.empty(), what, amp, Anomaly::Kind::Antenna, a, 0);
  }

  // Pairs: the ratio left when both antennas' standings are divided out.
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    const Term& term = terms_[t];
    const float r = ref_amp[at(term.cls)];
    const float ai = amp_now_[at(term.i)], aj = amp_now_[at(term.j)];
    std::string what;
    float ratio = 1.0f;
    // a pair of a bad antenna is that antenna's anomaly
    if (ok[t] && r > 0.0f && ai >= lim.amp_low && aj >= lim.amp_low && ai <= lim.amp_high && aj <= lim.amp_high) {
      ratio = std::abs(c[t]) / (r * ai * aj);
      if (ratio < lim.amp_low || ratio > lim.amp_high) what = "amplitude " + fixed(ratio, 2) + " of its class";
      if (what.empty() && has_gains()) {
        const std::complex<float> R =
            ref[at(term.cls)] * std::polar(1.0f, (phase_now_[at(term.i)] - phase_now_[at(term.j)]) / kDegPerRad);
        const float off = std::arg(c[t] * std::conj(R)) * kDegPerRad;
        if (std::abs(off) > lim.phase_deg) what = "phase " + fixed(off, 0) + " deg off its class";
      }
    }
    judge(pair_streak_[t], !what.empty(), what, ratio, Anomaly::Kind::Pair, term.i, term.j);
  }
}

// An anomaly begins after kConfirmDumps bad dumps in a row (at the first of
// them) and ends after as many good ones.
void Monitor::judge(Streak& s, bool bad, const std::string& what, float value, Anomaly::Kind kind, int a, int b) {
  if (bad) {
    if (s.bad == 0) s.began = dumps_;
    ++s.bad;
    s.good = 0;
    s.what = what;
    s.value = value;
    if (s.bad >= kConfirmDumps) s.active = true;
    return;
  }
  s.bad = 0;
  if (!s.active) return;
  if (++s.good < kConfirmDumps) return;
  Anomaly ended{kind, a, b, s.what, s.began, dumps_ - kConfirmDumps + 1, s.value};
  ended_.push_front(ended);
  if (ended_.size() > kEndedKept) ended_.pop_back();
  s.active = false;
  s.good = 0;
}

std::vector<Anomaly> Monitor::current() const {
  std::vector<Anomaly> list;
  auto take = [&](const Streak& s, Anomaly::Kind kind, int a, int b) {
    if (s.active) list.push_back({kind, a, b, s.what, s.began, 0, s.value});
  };
  take(data_streak_, Anomaly::Kind::Data, 0, 0);
  for (int a = 1; a <= kNumAntennas; ++a) take(antenna_streak_[at(a)], Anomaly::Kind::Antenna, a, 0);
  for (std::size_t t = 0; t < terms_.size(); ++t) take(pair_streak_[t], Anomaly::Kind::Pair, terms_[t].i, terms_[t].j);
  std::stable_sort(list.begin(), list.end(), [](const Anomaly& x, const Anomaly& y) { return x.began < y.began; });
  return list;
}

}  // namespace talva::watch
