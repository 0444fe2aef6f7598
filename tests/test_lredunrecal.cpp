// Large-redundancy gain recalibration.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "array/layout.h"
#include "array/s_matrix.h"
#include "calib/lredunrecal.h"
#include "support/testsupport.h"

using talva::array::kNumAntennas;
using talva::array::kNumClasses;
using talva::array::set_antnum_;
using talva::array::setup_s_matrix_;
using talva::calib::lredun_recal_;
using talva::calib::RecalOptions;

namespace {

using cfloat = std::complex<float>;
constexpr int N = kNumAntennas;
constexpr int NC = kNumClasses;

/// How a run halts: for an operator at standard input, not at all, or with
/// a marker line where it halts.
enum class Halt { Operator, None, Marker };

// The operator halt: a prompt, then one line of standard input; the end of
// the input goes on, so that unattended runs do not hang.
void operator_halt(talva::Output& out) {
  out.line(" -- press Return to continue --");
  std::fflush(stdout);
  int c;
  while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
  }
}

bool classified(int a) { return (a >= 1 && a <= 44) || (a >= 49 && a <= 92); }

struct Recal {
  std::vector<std::int32_t> S = std::vector<std::int32_t>(N * N);
  std::vector<std::int32_t> antnum;  // every pair of the array, then one spare entry
  std::vector<cfloat> vis;           // by product index: vis[index - 1]
  std::vector<cfloat> gin = std::vector<cfloat>(N, cfloat(1.0f, 0.0f));
  std::vector<cfloat> gout = std::vector<cfloat>(N, cfloat(9.0f, 9.0f));
  std::vector<cfloat> uout = std::vector<cfloat>(NC, cfloat(9.0f, 9.0f));
  std::vector<std::string> lines;

  Recal() {
    int nclass = 0;
    talva::StringOutput out;
    setup_s_matrix_(S, N, nclass, out);
    for (int a = 1; a <= N; ++a)
      for (int b = a + 1; b <= N; ++b) antnum.push_back(set_antnum_(a, b));
    antnum.push_back(257);  // its item would lie past the dump
    vis.assign(antnum.size() + 1, cfloat(1e9f, 1e9f));
  }
  int s(int i, int j) const { return S[static_cast<std::size_t>((i - 1) + (j - 1) * N)]; }
  std::size_t index(int a, int b) const {
    const auto it = std::find(antnum.begin(), antnum.end(), set_antnum_(a, b));
    return static_cast<std::size_t>(it - antnum.begin()) + 2;
  }
  // vis of every modelled pair from gains and class visibilities, oriented (smaller, larger)
  void model(const std::vector<cfloat>& g, const std::vector<cfloat>& U) {
    for (int i = 1; i <= N; ++i)
      for (int j = 1; j <= N; ++j) {
        const int k = s(i, j);
        if (k == 0) continue;
        const cfloat v = g[static_cast<std::size_t>(i - 1)] * U[static_cast<std::size_t>(k - 1)] *
                         std::conj(g[static_cast<std::size_t>(j - 1)]);
        vis[index(i, j) - 1] = i < j ? v : std::conj(v);
      }
  }
  void run(Halt halts = Halt::Operator) {
    // the operator halts read standard input: give them its end
    ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    talva::StringOutput out;
    RecalOptions options;
    if (halts == Halt::Operator) options.halt = [&out] { operator_halt(out); };
    if (halts == Halt::Marker) options.halt = [&out] { out.line("<halt>"); };
    lredun_recal_({N, NC, static_cast<int>(antnum.size()), S, antnum, vis, gin}, gout, uout, options, out);
    lines = talva::test::lines(out.text());
  }
  std::vector<std::string> starting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& l : lines)
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }
};

std::vector<cfloat> random_gains(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> amp(0.7f, 1.3f), ph(-3.0f, 3.0f);
  std::vector<cfloat> g(N);
  for (int a = 1; a <= N; ++a)
    if (classified(a)) g[static_cast<std::size_t>(a - 1)] = std::polar(amp(rng), ph(rng));
  // antenna 1, the solver's reference, real and positive
  g[0] = std::abs(g[0]);
  return g;
}

std::vector<cfloat> random_classes(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> amp(0.5f, 5.0f), ph(-3.0f, 3.0f);
  std::vector<cfloat> U(NC);
  for (auto& u : U) u = std::polar(amp(rng), ph(rng));
  return U;
}

float max_error(const std::vector<cfloat>& a, const std::vector<cfloat>& b) {
  float e = 0;
  for (std::size_t k = 0; k < a.size(); ++k) e = std::max(e, std::abs(a[k] - b[k]));
  return e;
}

}  // namespace

TEST(Recalibration, UnitGainsEstimateTheClassesAndCountTheirPairs) {
  Recal r;
  std::vector<cfloat> U(NC);
  for (int k = 1; k <= NC; ++k) U[static_cast<std::size_t>(k - 1)] = {0.5f + 0.01f * k, -0.02f * k};
  r.model(std::vector<cfloat>(N, cfloat(1.0f, 0.0f)), U);
  r.run();
  ASSERT_FALSE(r.lines.empty());
  EXPECT_EQ(r.lines[0], " Large Redundancy Gain Re Calibration Called");
  const auto est = r.starting(" VIS_EST(");
  ASSERT_EQ(est.size(), 130u);
  float re = 0, im = 0;
  int count = 0;
  ASSERT_EQ(std::sscanf(est[0].c_str(), " VIS_EST( 1)= (%f,%f) %d", &re, &im, &count), 3) << est[0];
  EXPECT_NEAR(re, 0.51f, 1e-6f);
  EXPECT_NEAR(im, -0.02f, 1e-6f);
  EXPECT_EQ(count, 86);  // 43 pairs on each arm
  EXPECT_EQ(est[1].substr(est[1].rfind(' ')), " 84");
  EXPECT_EQ(est[43].substr(est[43].rfind(' ')), " 1");    // class 44: one pair
  EXPECT_EQ(est[129].substr(est[129].rfind(' ')), " 1");  // class 130
  const auto det = r.starting(" VIS_DET(");
  ASSERT_EQ(det.size(), 130u);
  EXPECT_LT(max_error(r.uout, U), 1e-5f);
  // two halts, each with its prompt
  EXPECT_EQ(r.starting(" -- press Return").size(), 2u);
  // the solver ran with its progress lines
  EXPECT_EQ(r.starting(" RES0=").size(), 1u);
}

TEST(Recalibration, CorrectGainsComeBackWithNoPhaseChange) {
  Recal r;
  const auto g = random_gains(4);
  const auto U = random_classes(5);
  r.model(g, U);
  r.gin = g;
  r.run();
  EXPECT_LT(max_error(r.gout, g), 2e-4f);
  EXPECT_LT(max_error(r.uout, U), 1e-3f);
  // one line per antenna: number, new gain, input gain, phase change in degrees
  int checked = 0;
  for (const auto& l : r.lines) {
    int ant = 0;
    float re1, im1, re0, im0, change;
    if (std::sscanf(l.c_str(), " %d (%f,%f) (%f,%f) %f", &ant, &re1, &im1, &re0, &im0, &change) != 6) continue;
    ++checked;
    EXPECT_NEAR(change, 0.0f, 0.01f) << l;
  }
  EXPECT_EQ(checked, 96);
}

TEST(Recalibration, ShortAndBrightClassesCarryNoWeight) {
  const auto g = random_gains(8);
  std::vector<cfloat> U(NC, cfloat(2.0f, 0.0f));
  U[59] = {150.0f, 0.0f};  // class 60: brighter than 100
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> ph(-1.0f, 1.0f);
  auto corrupt = [&](Recal& r, int klass) {
    for (int i = 1; i <= N; ++i)
      for (int j = 1; j <= N; ++j)
        if (r.s(i, j) == klass) r.vis[r.index(i, j) - 1] *= std::polar(1.0f, ph(rng));
  };
  Recal clean;
  clean.model(g, U);
  clean.gin = g;
  clean.run();
  Recal r;
  r.model(g, U);
  r.gin = g;
  for (int k : {1, 2, 44, 45, 60}) corrupt(r, k);
  r.run();
  EXPECT_LT(max_error(r.gout, clean.gout), 5e-4f);
  // a weighted class does pull the gains
  Recal pulled;
  pulled.model(g, U);
  pulled.gin = g;
  corrupt(pulled, 3);
  pulled.run();
  EXPECT_GT(max_error(pulled.gout, clean.gout), 5e-3f);
}

TEST(Recalibration, PairWithoutCorrelationIsLeftOut) {
  Recal r;
  const auto g = random_gains(9);
  const auto U = random_classes(10);
  r.model(g, U);
  r.gin = g;
  // pair (1, 3) (class 2) missing from the table; pair (1, 2) moved to the last entry,
  // whose item lies past the dump (class 1)
  const std::size_t i13 = r.index(1, 3), i12 = r.index(1, 2);
  r.antnum[i13 - 2] = 999999;
  std::swap(r.antnum[i12 - 2], r.antnum.back());
  std::swap(r.vis[i12 - 1], r.vis[r.antnum.size()]);
  r.run();
  EXPECT_EQ(r.starting("   769 not found in antenna number set").size(), 1u);
  EXPECT_EQ(r.starting(" 3 1 769").size(), 1u);
  EXPECT_EQ(r.starting(" 2 1 513").size(), 1u);
  // two halts for the pairs, two for the tables
  EXPECT_EQ(r.starting(" -- press Return").size(), 4u);
  // each right after what the operator is to look at
  Recal m = r;
  m.run(Halt::Marker);
  std::vector<std::string> before;
  for (std::size_t k = 1; k < m.lines.size(); ++k)
    if (m.lines[k] == "<halt>") before.push_back(m.lines[k - 1].substr(0, 9));
  EXPECT_EQ(before, (std::vector<std::string>{" 2 1 513", " 3 1 769", " VIS_EST(", " VIS_DET("}));
  EXPECT_EQ(m.lines.back(), "<halt>");
  const auto est = r.starting(" VIS_EST(");
  EXPECT_EQ(est[0].substr(est[0].rfind(' ')), " 85");
  EXPECT_EQ(est[1].substr(est[1].rfind(' ')), " 83");
  // nothing of the never-filled values reaches the results
  EXPECT_LT(max_error(r.gout, g), 2e-4f);
  EXPECT_LT(max_error(r.uout, U), 1e-3f);
}

TEST(Recalibration, DeadAntennaAndEmptyClassesStayFinite) {
  Recal r;
  const auto g = random_gains(11);
  r.model(g, random_classes(12));
  r.gin = g;
  r.gin[20] = {0.0f, 0.0f};  // no input gain for antenna 21
  // take every pair of class 130 out (its only pair: 44 with 92)
  r.S[static_cast<std::size_t>(43 + 91 * N)] = 0;
  r.run();
  for (auto x : r.gout) EXPECT_TRUE(std::isfinite(x.real()) && std::isfinite(x.imag()));
  for (auto x : r.uout) EXPECT_TRUE(std::isfinite(x.real()) && std::isfinite(x.imag()));
  EXPECT_EQ(r.uout[129], cfloat(0.0f, 0.0f));
  const auto est = r.starting(" VIS_EST(");
  EXPECT_EQ(est[129], " VIS_EST( 130)= (0,0) 0");
}

TEST(Recalibration, WithoutOperatorHaltsTheSameResultsAndNoPrompt) {
  Recal a, b;
  const auto g = random_gains(21);
  a.model(g, random_classes(22));
  b.model(g, random_classes(22));
  a.run(Halt::Operator);
  b.run(Halt::None);
  EXPECT_EQ(a.starting(" -- press Return").size(), 2u);
  EXPECT_TRUE(b.starting(" -- press Return").empty());
  EXPECT_EQ(a.gout, b.gout);
  EXPECT_EQ(a.uout, b.uout);
}
