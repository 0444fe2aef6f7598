// The watcher's computation fed made-up dumps: class averages against the
// redundant model, standings and anomalies of planted faults, and the
// decimated series.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <memory>
#include <vector>

#include "array/layout.h"
#include "array/s_matrix.h"
#include "watch/monitor.h"

using talva::array::c_layout_common_t;
using talva::array::kNumClasses;

namespace {

using talva::watch::Anomaly;
using talva::watch::DumpIn;
using talva::watch::Monitor;
using talva::watch::MonitorSetup;
using cf = std::complex<float>;

// An archive's product table and layout over the pairs of `antennas`,
// every third line naming the larger antenna first (stored conjugated).
struct Array {
  std::unique_ptr<c_layout_common_t> layout = std::make_unique<c_layout_common_t>();
  std::vector<std::int32_t> antnum;
  std::vector<std::pair<int, int>> pairs;  // (smaller, larger) of product index k + 2
  explicit Array(const std::vector<int>& antennas) {
    for (std::size_t x = 0; x < antennas.size(); ++x)
      for (std::size_t y = x + 1; y < antennas.size(); ++y) {
        const int a = antennas[x], b = antennas[y];
        const int n = static_cast<int>(pairs.size()) + 2;
        const bool descending = n % 3 == 0;
        auto i = static_cast<std::size_t>(n - 1);
        layout->lay_ant1[i] = a;
        layout->lay_ant2[i] = b;
        layout->lay_code[i] = 256 * b + a;
        layout->lay_sign[i] = descending ? -1 : 1;
        layout->lay_count = n;
        antnum.push_back(256 * b + a);
        pairs.push_back({a, b});
      }
    antnum.push_back(257);  // the last entry's item lies past the dump
  }
  int nbsln() const { return static_cast<int>(antnum.size()); }
  MonitorSetup setup(std::vector<cf> gains = {}) const {
    MonitorSetup s;
    s.layout = layout.get();
    s.antnum = antnum;
    s.nbsln = nbsln();
    s.gains = std::move(gains);
    return s;
  }
  // The dump's words from V(a, b), oriented from the smaller to the larger antenna.
  std::vector<float> dump(const std::function<cf(int, int)>& V) const {
    std::vector<float> vis(2 * antnum.size(), 0.0f);
    for (std::size_t k = 0; k < pairs.size(); ++k) {
      const cf v = V(pairs[k].first, pairs[k].second);
      const std::size_t n = k + 2;
      vis[2 * n - 2] = v.imag() * static_cast<float>(layout->lay_sign[n - 1]);  // word 1: imaginary x sign
      vis[2 * n - 1] = v.real();
    }
    return vis;
  }
};

std::vector<int> range(int from, int to) {
  std::vector<int> v;
  for (int a = from; a <= to; ++a) v.push_back(a);
  return v;
}

// The class of (i, j) and whether i lies east of j (the class's orientation).
std::pair<int, bool> class_of(int i, int j) {
  if (i <= 44 && j <= 44) return {std::abs(i - j), i > j};
  if (i >= 49 && j >= 49) return {std::abs(i - j), i < j};
  if (i <= 44) return {i + j - 6, true};
  return {j + i - 6, false};
}

// The redundant model: V(i, j) = g(i) U(class) conj(g(j)) with i east of j,
// the class values U(k) = (1 + k/100) e^{i k/10}.
cf model_value(int a, int b, const std::vector<cf>& g) {
  const auto [k, a_east] = class_of(a, b);
  const cf U = std::polar(1.0f + k / 100.0f, k / 10.0f);
  const int i = a_east ? a : b, j = a_east ? b : a;
  const cf v = g[static_cast<std::size_t>(i - 1)] * U * std::conj(g[static_cast<std::size_t>(j - 1)]);
  return a_east ? v : std::conj(v);  // oriented (a, b)
}

std::vector<cf> random_gains(unsigned seed) {
  std::vector<cf> g(96);
  unsigned x = seed;
  auto next = [&] {
    x = x * 1664525u + 1013904223u;
    return static_cast<float>(x >> 8) / 16777216.0f;
  };
  for (auto& gi : g) gi = std::polar(0.8f + 0.4f * next(), 6.2831853f * next());
  return g;
}

const Array& bays_1_to_12() {
  static const Array a([] {
    std::vector<int> v = range(1, 12);
    for (int b = 49; b <= 60; ++b) v.push_back(b);
    return v;
  }());
  return a;
}

void feed(Monitor& m, const std::vector<float>& vis, int n = 1) {
  for (int i = 0; i < n; ++i) {
    DumpIn d;
    d.vis = vis;
    d.unix_time = 1.0e9 + m.dumps();
    m.add(d);
  }
}

TEST(WatchMonitor, ClassAveragesUndoGainsAndConjugation) {
  const Array& arr = bays_1_to_12();
  const std::vector<cf> g = random_gains(7);
  for (const bool with_gains : {true, false}) {
    const std::vector<cf> data_gains = with_gains ? g : std::vector<cf>(96, cf(1.0f, 0.0f));
    Monitor m(arr.setup(with_gains ? g : std::vector<cf>{}));
    feed(m, arr.dump([&](int a, int b) { return model_value(a, b, data_gains); }));
    int checked = 0;
    for (int k = 1; k <= kNumClasses; ++k) {
      if (m.class_pairs()[static_cast<std::size_t>(k - 1)] == 0) continue;
      const cf U = std::polar(1.0f + k / 100.0f, k / 10.0f);
      const cf got = m.class_now()[static_cast<std::size_t>(k - 1)];
      EXPECT_NEAR(got.real(), U.real(), 2e-5f) << "class " << k << (with_gains ? " with gains" : "");
      EXPECT_NEAR(got.imag(), U.imag(), 2e-5f) << "class " << k << (with_gains ? " with gains" : "");
      ++checked;
    }
    EXPECT_GT(checked, 30);
    for (int a : {1, 12, 49, 60}) {
      EXPECT_NEAR(m.antenna_amp()[static_cast<std::size_t>(a - 1)], 1.0f, 1e-4f);
      EXPECT_NEAR(m.antenna_phase()[static_cast<std::size_t>(a - 1)], 0.0f, 1e-2f);
    }
    EXPECT_TRUE(std::isnan(m.antenna_amp()[20 - 1]));  // not in the array: no standing
    EXPECT_TRUE(m.current().empty());
  }
  // Bays 1-12 of both arms: classes 1-11 (same arm), 44-66 (cross arm).
  Monitor m(arr.setup());
  EXPECT_EQ(m.class_pairs()[0], 22);  // separation 1: 11 pairs on each arm
  EXPECT_EQ(m.class_pairs()[43], 1);  // 1E-1W
  EXPECT_EQ(m.class_pairs()[12], 0);  // separation 13: none
}

struct Fault {
  const char* name;
  std::function<cf(int, int, cf)> apply;  // the faulty value of (a, b) given the good one
  Anomaly::Kind kind;
  int a, b;
  const char* what;
};

TEST(WatchMonitor, PlantedFaultsListedFromTheDumpTheyBegan) {
  const Array& arr = bays_1_to_12();
  const std::vector<cf> g = random_gains(3);
  const Fault faults[] = {
      {"dead antenna", [](int a, int b, cf v) { return a == 5 || b == 5 ? cf(0.001f, 0.0f) : v; },
       Anomaly::Kind::Antenna, 5, 0, "amplitude 0.00"},
      {"loud antenna", [](int a, int b, cf v) { return a == 52 || b == 52 ? 3.0f * v : v; }, Anomaly::Kind::Antenna, 52,
       0, "amplitude 3.00"},
      {"phase jump",
       [](int a, int b, cf v) {
         return a == 7 ? v * std::polar(1.0f, 1.5708f) : b == 7 ? v * std::polar(1.0f, -1.5708f) : v;
       },
       Anomaly::Kind::Antenna, 7, 0, "phase 90 deg"},
      {"bad pair", [](int a, int b, cf v) { return a == 3 && b == 55 ? 4.0f * v : v; }, Anomaly::Kind::Pair, 3, 55,
       "amplitude 2.9"},  // 4, with its antennas' share of it divided out
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.name);
    Monitor m(arr.setup(g));
    const auto good = arr.dump([&](int a, int b) { return model_value(a, b, g); });
    const auto bad = arr.dump([&](int a, int b) { return f.apply(a, b, model_value(a, b, g)); });
    feed(m, good, 4);
    feed(m, bad, 2);  // dumps 5 and 6: not yet
    EXPECT_TRUE(m.current().empty());
    feed(m, bad, 1);  // dump 7: the third in a row
    const auto now = m.current();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0].kind, f.kind);
    EXPECT_EQ(now[0].a, f.a);
    EXPECT_EQ(now[0].b, f.b);
    EXPECT_EQ(now[0].began, 5);
    EXPECT_EQ(now[0].what.rfind(f.what, 0), 0u) << now[0].what;
    feed(m, bad, 3);
    feed(m, good, 2);  // dumps 11, 12: still listed
    EXPECT_EQ(m.current().size(), 1u);
    feed(m, good, 1);
    EXPECT_TRUE(m.current().empty());
    ASSERT_EQ(m.ended().size(), 1u);
    EXPECT_EQ(m.ended()[0].began, 5);
    EXPECT_EQ(m.ended()[0].ended, 11);
  }
}

TEST(WatchMonitor, WithoutGainsOnlyAmplitudesStand) {
  // Without gains the pairs of a class differ by their antennas' phases:
  // no phase standing, no phase anomaly, and amplitudes still judged.
  const Array& arr = bays_1_to_12();
  std::vector<cf> g = random_gains(11);
  for (auto& gi : g) gi = std::polar(1.0f, std::arg(gi));
  Monitor m(arr.setup());
  feed(m, arr.dump([&](int a, int b) { return a == 9 || b == 9 ? cf(0.0f, 0.0f) : model_value(a, b, g); }), 3);
  const auto now = m.current();
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].a, 9);
  EXPECT_EQ(m.antenna_phase()[0], 0.0f);
  EXPECT_FALSE(m.has_gains());
}

TEST(WatchMonitor, NonFiniteCorrelationsAreADataAnomalyNotANumber) {
  const Array& arr = bays_1_to_12();
  const std::vector<cf> g(96, cf(1.0f, 0.0f));
  Monitor m(arr.setup());
  auto vis = arr.dump([&](int a, int b) { return model_value(a, b, g); });
  vis[2 * 5 - 1] = std::nanf("");
  vis[2 * 9 - 2] = INFINITY;
  feed(m, vis, 3);
  const auto now = m.current();
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].kind, Anomaly::Kind::Data);
  EXPECT_EQ(now[0].what, "2 products with non-finite correlations");
  for (cf c : m.class_now()) EXPECT_TRUE(std::isfinite(c.real()) && std::isfinite(c.imag()));
  for (int p = 2; p < arr.nbsln(); ++p)
    for (const auto& b : m.product_series(p)) EXPECT_TRUE(std::isfinite(b.sum.real()));
}

TEST(WatchMonitor, TwelveHoursOfDumpsStayInFixedBins) {
  // A small array, 43,200 dumps whose every amplitude is the dump number:
  // each bin's mean, least and largest value tell which dumps it holds.
  const Array arr({1, 2, 3, 4, 49, 50, 51, 52});
  Monitor m(arr.setup());
  std::size_t bytes = 0;
  for (int n = 1; n <= 43200; ++n) {
    DumpIn d;
    const auto vis = arr.dump([&](int, int) { return cf(static_cast<float>(n), 0.0f); });
    d.vis = vis;
    d.unix_time = 1.0e9 + n;
    d.ha_hours = static_cast<float>(n) / 3600.0f;
    m.add(d);
    if (n == 1) bytes = m.series_bytes();
    ASSERT_EQ(m.series_bytes(), bytes);
    ASSERT_LE(m.time_bins().size(), static_cast<std::size_t>(talva::watch::kBins));
    if (n == 256 || n == 257 || n == 43200) {
      // the bins tile dumps 1..n without gap or overlap
      int next = 1;
      for (const auto& t : m.time_bins()) {
        ASSERT_EQ(t.first, next) << "after dump " << n;
        ASSERT_EQ(t.n, t.last - t.first + 1);
        EXPECT_DOUBLE_EQ(t.t_last - t.t_first, t.last - t.first);
        next = t.last + 1;
      }
      EXPECT_EQ(next, n + 1);
      const auto series = m.product_series(2);
      ASSERT_EQ(series.size(), m.time_bins().size());
      for (std::size_t b = 0; b < series.size(); ++b) {
        const auto& t = m.time_bins()[b];
        EXPECT_EQ(series[b].n, t.n);
        EXPECT_FLOAT_EQ(series[b].min, static_cast<float>(t.first));
        EXPECT_FLOAT_EQ(series[b].max, static_cast<float>(t.last));
        EXPECT_NEAR(series[b].sum.real() / static_cast<float>(series[b].n), 0.5f * (t.first + t.last), 1e-3f * t.last);
      }
    }
  }
  EXPECT_EQ(m.width(), 256);  // 43,200 dumps: 169 bins of 256
  EXPECT_EQ(m.time_bins().size(), 169u);
}

}  // namespace
