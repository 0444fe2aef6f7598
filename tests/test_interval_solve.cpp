// Per-interval gain solutions: the point model as the solver gives it, the
// redundant model against the noise limit, chi2/DoF, and the flags.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "array/s_matrix.h"
#include "calib/gains_solver.h"
#include "calib/interval_solve.h"

using talva::array::kNumAntennas;
using talva::array::kNumClasses;
using talva::array::setup_s_matrix_;
using talva::calib::cfloat;
using talva::calib::lsqrs_gains_solver_;

namespace {

using talva::calib::cfloat;
using talva::calib::GainModel;
using talva::calib::IntervalData;
using talva::calib::SolveOptions;
constexpr int N = kNumAntennas;

std::size_t at(int i, int j) { return static_cast<std::size_t>((i - 1) + (j - 1) * N); }

/// Gains of order 1 with phases up to +-60 degrees, classes of a two-source sky.
struct Truth {
  std::vector<cfloat> g = std::vector<cfloat>(N);
  std::vector<cfloat> U = std::vector<cfloat>(kNumClasses);
  explicit Truth(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> amp(0.8f, 1.2f), phs(-1.0f, 1.0f);
    for (auto& x : g) x = std::polar(amp(rng), phs(rng));
    for (int k = 1; k <= kNumClasses; ++k)
      U[static_cast<std::size_t>(k - 1)] = 1.0f + 0.6f * std::polar(1.0f, 0.37f * static_cast<float>(k));
  }
};

/// Data of the true model plus complex Gaussian noise of variance var per pair.
IntervalData make_data(const Truth& t, float var, unsigned seed) {
  IntervalData d;
  d.n = N;
  d.S.resize(N * N);
  talva::StringOutput out;
  setup_s_matrix_(d.S, N, d.nclass, out);
  d.V.resize(N * N);
  d.var.assign(N * N, 0.0f);
  std::mt19937 rng(seed);
  std::normal_distribution<float> gauss(0.0f, std::sqrt(var / 2.0f));
  for (int j = 1; j <= N; ++j)
    for (int i = 1; i <= N; ++i) {
      const int k = d.S[at(i, j)];
      if (k == 0) continue;
      const cfloat m = t.g[static_cast<std::size_t>(i - 1)] * t.U[static_cast<std::size_t>(k - 1)] *
                       std::conj(t.g[static_cast<std::size_t>(j - 1)]);
      d.V[at(i, j)] = m + cfloat(gauss(rng), gauss(rng));
      d.var[at(i, j)] = var;
    }
  return d;
}

/// Sum of |error|^2 of the gains once the degenerate quantities match the truth.
double gain_error2(std::vector<cfloat> g, const Truth& t, const std::vector<char>& use) {
  talva::calib::match_degenerate(g, t.g, use);
  double e = 0.0;
  for (int a = 1; a <= N; ++a)
    if (use[static_cast<std::size_t>(a - 1)])
      e += std::norm(g[static_cast<std::size_t>(a - 1)] - t.g[static_cast<std::size_t>(a - 1)]);
  return e;
}

std::vector<char> classified() {
  std::vector<char> use(N, 0);
  for (int a = 1; a <= N; ++a) use[static_cast<std::size_t>(a - 1)] = (a <= 44 || (a >= 49 && a <= 92)) ? 1 : 0;
  return use;
}

SolveOptions redundant(const Truth& t) {
  SolveOptions o;
  o.model = GainModel::redundant;
  o.refgains = t.g;
  o.start = t.g;
  return o;
}

TEST(IntervalSolve, PointModelIsTheSolverBitForBit) {
  const Truth t(1);
  const IntervalData d = make_data(t, 0.01f, 2);
  SolveOptions o;
  o.flux = 1.5f;
  o.flagging = false;
  talva::StringOutput a, b;
  const auto sol = talva::calib::solve_interval(d, o, a);
  std::vector<cfloat> g(N);
  const std::vector<cfloat> U(kNumClasses, cfloat(1.5f, 0.0f));
  int refant = 1;
  ASSERT_TRUE(lsqrs_gains_solver_({N, d.S, d.V, U, {}}, g, refant, b));
  ASSERT_TRUE(sol.solved);
  EXPECT_EQ(0, std::memcmp(sol.gains.data(), g.data(), g.size() * sizeof(cfloat)));
  EXPECT_EQ(a.text(), b.text());  // the same progress lines
}

TEST(IntervalSolve, LinePositionsDifferAlikeWithinEveryClass) {
  std::vector<std::int32_t> S(N * N);
  int nclass = 0;
  talva::StringOutput out;
  setup_s_matrix_(S, N, nclass, out);
  std::vector<double> L(static_cast<std::size_t>(nclass + 1), -1e9);
  for (int i = 1; i <= N; ++i)
    for (int j = 1; j <= N; ++j) {
      const int k = S[at(i, j)];
      if (k == 0) continue;
      const double d = talva::calib::line_position(i) - talva::calib::line_position(j);
      if (L[static_cast<std::size_t>(k)] == -1e9) L[static_cast<std::size_t>(k)] = d;
      EXPECT_NEAR(d, L[static_cast<std::size_t>(k)], 1e-9) << i << "-" << j;
      EXPECT_GT(d, 0.0);  // the eastern antenna first
    }
}

TEST(IntervalSolve, MatchDegenerateUndoesAmplitudePhaseAndSlope) {
  const Truth t(3);
  std::vector<cfloat> g = t.g;
  for (int a = 1; a <= N; ++a)
    g[static_cast<std::size_t>(a - 1)] *=
        std::polar(1.3f, 0.7f + (a <= 48 ? 1.1f : 0.0f) + 0.21f * static_cast<float>(talva::calib::line_position(a)));
  talva::calib::match_degenerate(g, t.g, classified());
  for (int a = 1; a <= N; ++a)
    EXPECT_LT(std::abs(g[static_cast<std::size_t>(a - 1)] - t.g[static_cast<std::size_t>(a - 1)]), 2e-5f) << a;
}

TEST(IntervalSolve, RedundantNoiseFreeRecoversGainsAndClasses) {
  const Truth t(4);
  const IntervalData d = make_data(t, 0.0f, 5);
  SolveOptions o = redundant(t);
  // start away from the truth by 20 degrees rms
  std::mt19937 rng(9);
  std::normal_distribution<float> p(0.0f, 0.35f);
  std::vector<cfloat> start = t.g;
  for (auto& x : start) x *= std::polar(1.0f, p(rng));
  o.start = start;
  o.flagging = false;
  talva::StringOutput out;
  const auto sol = talva::calib::solve_interval(d, o, out);
  ASSERT_TRUE(sol.solved);
  EXPECT_LT(gain_error2(sol.gains, t, classified()), 1e-8);
  for (int k = 1; k <= kNumClasses; ++k)
    EXPECT_LT(std::abs(sol.classes[static_cast<std::size_t>(k - 1)] - t.U[static_cast<std::size_t>(k - 1)]), 1e-3f)
        << k;
}

TEST(IntervalSolve, RedundantGainErrorsNearTheNoiseLimitAndChi2PerDofNearOne) {
  const Truth t(6);
  double err = 0.0, bound = 0.0, chi2 = 0.0, dof = 0.0;
  for (unsigned trial = 0; trial < 4; ++trial) {
    const IntervalData d = make_data(t, 0.02f, 100 + trial);
    SolveOptions o = redundant(t);
    o.flagging = false;
    talva::StringOutput out;
    const auto sol = talva::calib::solve_interval(d, o, out);
    ASSERT_TRUE(sol.solved);
    err += gain_error2(sol.gains, t, classified());
    bound += talva::calib::redundant_error_bound(d, t.g, t.U);
    chi2 += sol.chi2;
    dof += sol.dof;
  }
  ASSERT_GT(bound, 0.0);
  const double ratio = std::sqrt(err / bound);
  RecordProperty("error_over_limit", std::to_string(ratio));
  RecordProperty("chi2_per_dof", std::to_string(chi2 / dof));
  EXPECT_LT(ratio, 1.3) << "rms gain error / noise limit";
  EXPECT_GT(ratio, 0.7);
  EXPECT_NEAR(chi2 / dof, 1.0, 0.1);
}

TEST(IntervalSolve, PointModelChi2PerDofNearOneOnItsOwnModel) {
  Truth t(7);
  std::fill(t.U.begin(), t.U.end(), cfloat(2.0f, 0.0f));
  const IntervalData d = make_data(t, 0.05f, 8);
  SolveOptions o;
  o.flux = 2.0f;
  o.solver_lines = false;
  talva::StringOutput out;
  const auto sol = talva::calib::solve_interval(d, o, out);
  ASSERT_TRUE(sol.solved);
  EXPECT_NEAR(sol.chi2dof(), 1.0, 0.1);
  EXPECT_TRUE(sol.flag_reasons.empty());
}

struct Planted {
  const char* what;
  int i, j;      // pair spoiled (j = 0: antenna i dead)
  bool antenna;  // the flag expected is the antenna's
};

class PlantedFault : public ::testing::TestWithParam<Planted> {};

void spoil(IntervalData& d, const Planted& f) {
  std::mt19937 rng(12);
  std::normal_distribution<float> gauss(0.0f, std::sqrt(0.005f));
  if (f.j == 0) {  // a dead antenna: noise alone on its pairs
    for (int b = 1; b <= N; ++b)
      for (std::size_t e : {at(f.i, b), at(b, f.i)})
        if (d.S[e] != 0) d.V[e] = cfloat(gauss(rng), gauss(rng));
  } else {
    d.V[at(f.i, f.j)] += cfloat(0.8f, -0.5f);  // a pair 10 sigma off
  }
}

TEST_P(PlantedFault, IsFoundNamedAndLeftOut) {
  const Planted f = GetParam();
  for (GainModel model : {GainModel::point, GainModel::redundant}) {
    Truth t(10);
    if (model == GainModel::point) std::fill(t.U.begin(), t.U.end(), cfloat(1.0f, 0.0f));
    IntervalData d = make_data(t, 0.01f, 11);
    spoil(d, f);
    SolveOptions o = redundant(t);
    o.model = model;
    o.solver_lines = false;
    talva::StringOutput out;
    const auto sol = talva::calib::solve_interval(d, o, out);
    ASSERT_TRUE(sol.solved) << f.what;
    int antennas = 0;
    for (char c : sol.antenna_flag) antennas += c;
    if (f.antenna) {
      EXPECT_EQ(antennas, 1) << f.what;
      EXPECT_EQ(sol.antenna_flag[static_cast<std::size_t>(f.i - 1)], 1) << f.what;
      EXPECT_EQ(sol.gains[static_cast<std::size_t>(f.i - 1)], cfloat(0.0f, 0.0f));
    } else {
      EXPECT_EQ(antennas, 0) << f.what;
      ASSERT_EQ(sol.flagged_pairs.size(), 1u) << f.what;
      EXPECT_EQ(sol.flagged_pairs[0], std::make_pair(f.i, f.j));
    }
    ASSERT_FALSE(sol.flag_reasons.empty());
    EXPECT_NE(sol.flag_reasons[0].find(std::to_string(f.i)), std::string::npos) << sol.flag_reasons[0];
    EXPECT_GE(sol.rounds, 2);
    EXPECT_NEAR(sol.chi2dof(), 1.0, 0.1) << f.what << ": the fit without it";
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, PlantedFault,
                         ::testing::Values(Planted{"dead reference antenna", 1, 0, true},
                                           Planted{"bad cross-arm pair", 7, 60, false},
                                           Planted{"bad same-arm pair", 30, 12, false},
                                           Planted{"dead antenna", 17, 0, true}));

TEST(ProductScatter, NoiseFromPairsOfSuccessiveDumps) {
  talva::calib::ProductScatter s(3);
  // product 1: a ramp plus +-1 alternating: each pair differs by 2 - 0.1,
  // not by the ramp; product 2 damaged in the second pair; product 3 constant
  const std::vector<std::vector<cfloat>> dumps{{cfloat(11.0f, 0.0f), cfloat(1.0f, 0.0f), cfloat(1.0f, 1.0f)},
                                               {cfloat(9.1f, 0.0f), cfloat(2.0f, 0.0f), cfloat(1.0f, 1.0f)},
                                               {cfloat(11.2f, 0.0f), cfloat(NAN, 0.0f), cfloat(1.0f, 1.0f)},
                                               {cfloat(9.3f, 0.0f), cfloat(5.0f, 0.0f), cfloat(1.0f, 1.0f)},
                                               {cfloat(11.4f, 0.0f), cfloat(1.0f, 0.0f), cfloat(1.0f, 1.0f)},
                                               {cfloat(9.5f, 0.0f), cfloat(1.0f, 0.0f), cfloat(1.0f, 1.0f)}};
  for (std::size_t d = 0; d + 1 < dumps.size(); d += 2) s.add_pair(dumps[d], dumps[d + 1]);
  EXPECT_EQ(s.pairs(1), 3u);
  EXPECT_EQ(s.pairs(2), 2u);  // the damaged pair left out
  // |diff|^2 = 1.9^2 each; / 2: one dump's var; / 6 dumps in the mean; times nu / (nu - 2), nu = 6
  EXPECT_NEAR(s.mean_variance(1, 6), 1.9f * 1.9f / 2.0f / 6.0f * 1.5f, 1e-5f);
  // product 2: pairs (1, 2) and (1, 1): mean |d|^2 = 0.5; nu = 4
  EXPECT_NEAR(s.mean_variance(2, 4), 0.5f / 2.0f / 4.0f * 2.0f, 1e-6f);
  EXPECT_EQ(s.mean_variance(3, 6), 0.0f);
  talva::calib::ProductScatter one(3), merged(3);
  one.add_pair(dumps[0], dumps[1]);
  EXPECT_EQ(one.mean_variance(1, 2), 0.0f);  // one pair: no estimate
  merged.merge(s);
  merged.merge(s);
  EXPECT_EQ(merged.pairs(1), 6u);
  EXPECT_NEAR(merged.mean_variance(1, 12), 1.9f * 1.9f / 2.0f / 12.0f * 1.2f, 1e-5f);
}

TEST(ProductScatter, ArchiveItemsGiveTheSumsOfTheUnpackedValues) {
  // 9 products (a vector step or two and a rest): the items hold (im, re) with
  // the imaginary part's sign of the layout, as the archive does
  std::mt19937 rng(3);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  const int n = 9;
  std::vector<float> items[2];
  std::vector<cfloat> values[2];
  for (int d = 0; d < 2; ++d)
    for (int l = 0; l < n; ++l) {
      const float re = gauss(rng), im = gauss(rng), sign = l % 3 == 0 ? -1.0f : 1.0f;
      items[d].insert(items[d].end(), {im * sign, re});
      values[d].push_back(cfloat(re, im));
    }
  items[1][2 * 5 + 1] = NAN;  // product 6 damaged in the second dump
  values[1][5] = cfloat(NAN, 0.0f);
  items[0][2 * 8] = INFINITY;  // product 9 (the rest) in the first
  values[0][8] = cfloat(0.0f, INFINITY);
  for (auto width : {talva::VectorWidth::best, talva::VectorWidth::bytes16}) {
    talva::calib::ProductScatter raw(n), unpacked(n);
    for (int round = 0; round < 3; ++round) {
      raw.add_pair_items(items[0], items[1], width);
      unpacked.add_pair(values[0], values[1]);
    }
    for (std::size_t l = 1; l <= n; ++l) {
      EXPECT_EQ(raw.pairs(l), (l == 6 || l == 9) ? 0u : 3u) << "product " << l;
      const float a = raw.mean_variance(l, 6), b = unpacked.mean_variance(l, 6);
      EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a)) << "product " << l;
    }
  }
}

}  // namespace

namespace {

TEST(IntervalSolve, Chi2PerDofNearOneWithTheNoiseFromTheScatter) {
  // 20 dumps of the true model plus noise; each pair's mean and noise from
  // ProductScatter, as gainsolve forms them
  const Truth t(13);
  IntervalData d = make_data(t, 0.0f, 14);
  std::vector<std::size_t> pairs;
  for (std::size_t e = 0; e < d.S.size(); ++e)
    if (d.S[e] != 0) pairs.push_back(e);
  talva::calib::ProductScatter s(pairs.size());
  std::mt19937 rng(15);
  std::normal_distribution<float> gauss(0.0f, 0.3f);
  std::vector<std::complex<double>> sum(pairs.size());
  std::vector<cfloat> first(pairs.size()), second(pairs.size());
  for (int pair = 0; pair < 10; ++pair) {
    for (auto* v : {&first, &second})
      for (std::size_t p = 0; p < pairs.size(); ++p) {
        (*v)[p] = d.V[pairs[p]] + cfloat(gauss(rng), gauss(rng));
        sum[p] += std::complex<double>((*v)[p]);
      }
    s.add_pair(first, second);
  }
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    d.V[pairs[p]] = cfloat(sum[p] / 20.0);
    d.var[pairs[p]] = s.mean_variance(p + 1, 20);
  }
  talva::StringOutput out;
  const auto sol = talva::calib::solve_interval(d, redundant(t), out);
  ASSERT_TRUE(sol.solved);
  EXPECT_NEAR(sol.chi2dof(), 1.0, 0.1);
  EXPECT_TRUE(sol.flag_reasons.empty()) << sol.flag_reasons[0];
}

}  // namespace
