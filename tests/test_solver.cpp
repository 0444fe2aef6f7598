// Redundant least-squares gain solver.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "array/s_matrix.h"
#include "calib/gains_solver.h"
#include "support/testsupport.h"

using talva::array::kNumAntennas;
using talva::array::mat;
using talva::array::setup_s_matrix_;
using talva::calib::cfloat;
using talva::calib::lsqrs_gains_estimate_;
using talva::calib::lsqrs_gains_solver_;
using talva::calib::smith_div;
using talva::calib::wt_lsqrs_gains_solver_;

namespace {

constexpr int N = kNumAntennas;

struct Array {
  std::vector<std::int32_t> S = std::vector<std::int32_t>(N * N);
  int nclass = 0;
  Array() {
    talva::StringOutput out;
    setup_s_matrix_(S, N, nclass, out);
  }
  std::int32_t& s(int i, int j) { return mat(std::span<std::int32_t>(S), N, i, j); }
  void remove_antenna(int a) {
    for (int k = 1; k <= N; ++k) s(a, k) = s(k, a) = 0;
  }
};

bool classified(int a) { return (a >= 1 && a <= 44) || (a >= 49 && a <= 92); }

// Random gains of order 1 (amplitude 0.5-1.5, any phase) for the classified antennas.
std::vector<cfloat> random_gains(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> amp(0.5f, 1.5f), ph(-3.14159f, 3.14159f);
  std::vector<cfloat> g(N);
  for (int a = 1; a <= N; ++a)
    if (classified(a)) g[static_cast<std::size_t>(a - 1)] = std::polar(amp(rng), ph(rng));
  return g;
}

// V(i, j) = g(i) U(k) conj(g(j)) at the modelled orientation, plus Gaussian
// noise of rms sigma per component; the other orientation holds the conjugate.
std::vector<cfloat> model_vis(Array& a, const std::vector<cfloat>& g, const std::vector<cfloat>& U, float sigma,
                              unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<cfloat> V(N * N);
  for (int i = 1; i <= N; ++i)
    for (int j = 1; j <= N; ++j) {
      const int k = a.s(i, j);
      if (k == 0) continue;
      cfloat v = g[static_cast<std::size_t>(i - 1)] * U[static_cast<std::size_t>(k - 1)] *
                 std::conj(g[static_cast<std::size_t>(j - 1)]);
      if (sigma > 0) v += cfloat(sigma * noise(rng), sigma * noise(rng));
      mat(std::span<cfloat>(V), N, i, j) = v;
      mat(std::span<cfloat>(V), N, j, i) = std::conj(v);
    }
  return V;
}

// The true gains turned so that antenna ref is real and positive.
std::vector<cfloat> referenced(std::vector<cfloat> g, int ref) {
  const cfloat z = g[static_cast<std::size_t>(ref - 1)];
  const cfloat turn = std::abs(z) / z;
  for (auto& x : g) x *= turn;
  return g;
}

float max_error(const std::vector<cfloat>& a, const std::vector<cfloat>& b) {
  float e = 0;
  for (std::size_t k = 0; k < a.size(); ++k) e = std::max(e, std::abs(a[k] - b[k]));
  return e;
}

struct Solve {
  std::vector<cfloat> g = std::vector<cfloat>(N, cfloat(9.0f, 9.0f));
  int refant = 0;
  bool ok = false;
  std::vector<std::string> lines;
};

Solve solve(Array& a, const std::vector<cfloat>& V, const std::vector<cfloat>& U, int refant,
            const std::vector<float>* W = nullptr) {
  Solve s;
  s.refant = refant;
  talva::StringOutput out;
  if (W != nullptr)
    s.ok = wt_lsqrs_gains_solver_({N, a.S, V, U, *W}, s.g, s.refant, out);
  else
    s.ok = lsqrs_gains_solver_({N, a.S, V, U, {}}, s.g, s.refant, out);
  s.lines = talva::test::lines(out.text());
  return s;
}

bool all_finite(const std::vector<cfloat>& g) {
  for (auto x : g)
    if (!std::isfinite(x.real()) || !std::isfinite(x.imag())) return false;
  return true;
}

}  // namespace

TEST(SmithDivision, AvoidsOverflow) {
  const cfloat q = smith_div({-2, 0.5f}, {0.1f, 7});
  EXPECT_NEAR(std::abs(q - cfloat(-2, 0.5f) / cfloat(0.1f, 7)), 0.0f, 1e-6f);
  const cfloat big = smith_div({1e30f, 0.0f}, {1e30f, 1e30f});
  EXPECT_FLOAT_EQ(big.real(), 0.5f);
  EXPECT_FLOAT_EQ(big.imag(), -0.5f);
}

TEST(Solver, RecoversKnownGainsFromNoiseFreeData) {
  Array a;
  for (unsigned seed : {1u, 2u, 3u}) {
    const auto truth = random_gains(seed);
    const std::vector<cfloat> U(130, cfloat(1.0f, 0.0f));
    const auto V = model_vis(a, truth, U, 0.0f, seed);
    Solve s = solve(a, V, U, 0);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.refant, 1);
    EXPECT_GT(s.g[0].real(), 0.0f);
    EXPECT_EQ(s.g[0].imag(), 0.0f);
    // Phases come out to float precision. The amplitudes share one small
    // common error: the first estimate's single-precision mean of ~3700
    // equal triangle amplitudes rounds systematically (~1e-4), and a mean
    // squared residual below 1e-8 stops the sweeps before that mode is gone.
    const auto want = referenced(truth, 1);
    for (std::size_t k = 0; k < N; ++k) {
      if (want[k] == cfloat(0, 0)) continue;
      EXPECT_NEAR(std::arg(s.g[k] / want[k]), 0.0f, 2e-6f) << seed << " " << k;
      EXPECT_NEAR(std::abs(s.g[k]) / std::abs(want[k]), 1.0f, 2e-4f) << seed << " " << k;
    }
    // the first estimate is already close: one sweep, then res < 1e-8 stops it
    ASSERT_EQ(s.lines.size(), 2u);
    EXPECT_EQ(s.lines[0].rfind(" RES0= ", 0), 0u) << s.lines[0];
    EXPECT_LT(std::stof(s.lines[0].substr(7)), 1e-7f);
    EXPECT_EQ(s.lines[1].rfind(" 1 RES= ", 0), 0u) << s.lines[1];
    EXPECT_NE(s.lines[1].find(" REL CHANGE= "), std::string::npos) << s.lines[1];
    // antennas in no class come back (0, 0)
    for (int x : {45, 46, 47, 48, 93, 94, 95, 96}) EXPECT_EQ(s.g[static_cast<std::size_t>(x - 1)], cfloat(0, 0));
  }
}

TEST(Solver, NonUnitClassVisibilities) {
  Array a;
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-2.0f, 2.0f);
  std::vector<cfloat> U(130);
  for (auto& x : U) x = {u(rng), u(rng)};
  const auto truth = random_gains(5);
  const auto V = model_vis(a, truth, U, 0.0f, 0);
  Solve s = solve(a, V, U, 7);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.refant, 7);
  EXPECT_LT(max_error(s.g, referenced(truth, 7)), 2e-4f);
}

TEST(Solver, DegradesGracefullyWithNoise) {
  Array a;
  const auto truth = random_gains(21);
  const std::vector<cfloat> U(130, cfloat(2.0f, 0.0f));
  float previous = 0.0f;
  for (float sigma : {0.001f, 0.01f, 0.05f}) {
    const auto V = model_vis(a, truth, U, sigma, 77);
    Solve s = solve(a, V, U, 0);
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(all_finite(s.g));
    const float err = max_error(s.g, referenced(truth, 1));
    // each gain rests on ~87 pairs: its error is a fraction of the noise
    EXPECT_LT(err, sigma) << sigma;
    EXPECT_GT(err, previous) << sigma;
    previous = err;
    EXPECT_LT(s.lines.size(), 30u);
    // the final residual is the noise power (two components of sigma^2),
    // slightly less for the fitted parameters
    const std::string& last = s.lines.back();
    const float res = std::stof(last.substr(last.find("RES=") + 4));
    EXPECT_GT(res, 1.6f * sigma * sigma) << last;
    EXPECT_LT(res, 2.2f * sigma * sigma) << last;
  }
}

TEST(Solver, ReferencePhaseChoices) {
  Array a;
  const auto truth = random_gains(8);
  const std::vector<cfloat> U(130, cfloat(1.0f, 0.0f));
  const auto V = model_vis(a, truth, U, 0.02f, 9);
  Solve none = solve(a, V, U, -1);
  Solve first = solve(a, V, U, 0);
  Solve fifth = solve(a, V, U, 50);
  ASSERT_TRUE(none.ok && first.ok && fifth.ok);
  EXPECT_EQ(none.refant, -1);
  EXPECT_EQ(fifth.refant, 50);
  EXPECT_GT(fifth.g[49].real(), 0.0f);
  EXPECT_NEAR(fifth.g[49].imag(), 0.0f, 1e-6f);
  // the choices differ by one common phase only; amplitudes are untouched
  const cfloat turn = first.g[10] / none.g[10];
  for (std::size_t k = 0; k < N; ++k) {
    EXPECT_NEAR(std::abs(none.g[k]), std::abs(first.g[k]), 1e-6f);
    EXPECT_NEAR(std::abs(first.g[k] - none.g[k] * turn), 0.0f, 1e-5f) << k;
  }
}

TEST(Solver, TurningEveryGainByOnePhaseChangesNothing) {
  Array a;
  const auto truth = random_gains(31);
  auto turned = truth;
  for (auto& x : turned) x *= std::polar(1.0f, 1.234f);
  const std::vector<cfloat> U(130, cfloat(1.0f, 0.0f));
  Solve s1 = solve(a, model_vis(a, truth, U, 0.01f, 4), U, 0);
  Solve s2 = solve(a, model_vis(a, turned, U, 0.01f, 4), U, 0);
  EXPECT_LT(max_error(s1.g, s2.g), 1e-5f);
}

TEST(Solver, RejectedAntennaTakesNoPart) {
  Array a;
  a.remove_antenna(10);
  a.remove_antenna(60);
  const auto truth = random_gains(12);
  const std::vector<cfloat> U(130, cfloat(1.0f, 0.0f));
  auto V = model_vis(a, truth, U, 0.01f, 3);
  Solve s = solve(a, V, U, 0);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.g[9], cfloat(0, 0));
  EXPECT_EQ(s.g[59], cfloat(0, 0));
  // garbage in its rows and columns changes nothing at all
  for (int k = 1; k <= N; ++k) {
    mat(std::span<cfloat>(V), N, 10, k) = {1e6f, -3e5f};
    mat(std::span<cfloat>(V), N, k, 60) = {-7e5f, 1e4f};
  }
  Solve s2 = solve(a, V, U, 0);
  EXPECT_EQ(s.g, s2.g);
  EXPECT_EQ(s.lines, s2.lines);
}

TEST(Solver, ZeroWeightRemovesACorruptedPair) {
  Array a;
  const auto truth = random_gains(40);
  const std::vector<cfloat> U(130, cfloat(1.0f, 0.0f));
  auto V = model_vis(a, truth, U, 0.0f, 0);
  std::vector<float> W(N * N, 1.0f);
  mat(std::span<cfloat>(V), N, 30, 20) *= cfloat(3.0f, 2.0f);
  mat(std::span<cfloat>(V), N, 20, 30) = std::conj(mat(std::span<cfloat>(V), N, 30, 20));
  Solve plain = solve(a, V, U, 0);
  EXPECT_GT(max_error(plain.g, referenced(truth, 1)), 1e-2f);
  mat(std::span<float>(W), N, 30, 20) = 0.0f;
  Solve weighted = solve(a, V, U, 0, &W);
  ASSERT_TRUE(weighted.ok);
  EXPECT_LT(max_error(weighted.g, referenced(truth, 1)), 3e-4f);
}

TEST(Solver, AntennaWithoutPairWithTheFirstStartsAtOne) {
  Array a;
  a.s(1, 49) = 0;  // antenna 49 has no pair with antenna 1 (they form class 44 alone)
  const auto truth = random_gains(50);
  const std::vector<cfloat> U(130, cfloat(1.0f, 0.0f));
  auto V = model_vis(a, truth, U, 0.0f, 0);
  std::vector<cfloat> g(N);
  std::vector<std::int32_t> active(N, 1);
  for (int x = 1; x <= N; ++x) active[static_cast<std::size_t>(x - 1)] = classified(x) ? 0 : 1;
  lsqrs_gains_estimate_({N, a.S, V, U, {}}, active, g);
  EXPECT_EQ(g[48], cfloat(1.0f, 0.0f));
  EXPECT_EQ(g[47], cfloat(0.0f, 0.0f));
  Solve s = solve(a, V, U, 0);
  ASSERT_TRUE(s.ok);
  EXPECT_LT(max_error(s.g, referenced(truth, 1)), 1e-4f);
  EXPECT_GT(s.lines.size(), 2u);
}

TEST(Solver, EstimateWithoutTrianglesStartsTheFirstAtOne) {
  // a star: only the pairs of antenna 1 are modelled, so no triangle closes
  std::vector<std::int32_t> S(N * N, 0);
  for (int j = 2; j <= 5; ++j) mat(std::span<std::int32_t>(S), N, 1, j) = j - 1;
  const std::vector<cfloat> U = {{1, 0}, {2, 0}, {0, 1}, {1, 1}};
  const std::vector<cfloat> truth = {{2, 0}, {1, 1}, {0.5f, -1}, {-1, 0.2f}, {0.3f, 0.3f}};
  std::vector<cfloat> V(N * N);
  for (int j = 2; j <= 5; ++j)
    mat(std::span<cfloat>(V), N, 1, j) =
        truth[0] * U[static_cast<std::size_t>(j - 2)] * std::conj(truth[static_cast<std::size_t>(j - 1)]);
  std::vector<std::int32_t> active(N, 1);
  for (int x = 0; x < 5; ++x) active[static_cast<std::size_t>(x)] = 0;
  std::vector<cfloat> g(N, cfloat(7, 7));
  lsqrs_gains_estimate_({N, S, V, U, {}}, active, g);
  EXPECT_EQ(g[0], cfloat(1.0f, 0.0f));
  for (int j = 2; j <= 5; ++j) {
    const cfloat want = std::conj(truth[0]) * truth[static_cast<std::size_t>(j - 1)];
    EXPECT_NEAR(std::abs(g[static_cast<std::size_t>(j - 1)] - want), 0.0f, 1e-5f) << j;
  }
  EXPECT_EQ(g[5], cfloat(0, 0));
}

TEST(Solver, RefusesWhatItCannotSolve) {
  Array a;
  const std::vector<cfloat> U(130, cfloat(1.0f, 0.0f));
  const auto V = model_vis(a, random_gains(2), U, 0.0f, 0);
  for (int bad : {-2, 97}) {
    Solve s = solve(a, V, U, bad);
    EXPECT_FALSE(s.ok) << bad;
    ASSERT_EQ(s.lines.size(), 1u);
    EXPECT_NE(s.lines[0].find("reference antenna"), std::string::npos) << s.lines[0];
    EXPECT_EQ(s.g, std::vector<cfloat>(N));
  }
  Array empty;
  std::fill(empty.S.begin(), empty.S.end(), 0);
  Solve s = solve(empty, V, U, 0);
  EXPECT_FALSE(s.ok);
  ASSERT_EQ(s.lines.size(), 1u);
  EXPECT_NE(s.lines[0].find("no active antenna"), std::string::npos);
  EXPECT_EQ(s.refant, 0);
  // a class beyond the class visibilities given
  Array wide;
  wide.s(3, 1) = 131;
  s = solve(wide, V, U, 0);
  EXPECT_FALSE(s.ok);
}

TEST(Solver, UnformableQuantitiesStayFinite) {
  Array a;
  const auto truth = random_gains(61);
  std::vector<cfloat> U(130, cfloat(1.0f, 0.0f));
  U[0] = {0.0f, 0.0f};   // class 1 (the pair of antennas 1 and 2 among others)
  U[43] = {0.0f, 0.0f};  // class 44: the only pair of antennas 1 and 49
  const auto V = model_vis(a, truth, U, 0.0f, 0);
  Solve s = solve(a, V, U, 0);
  ASSERT_TRUE(s.ok);
  EXPECT_TRUE(all_finite(s.g));
  EXPECT_LT(max_error(s.g, referenced(truth, 1)), 1e-4f);
  // every weight zero: no residual, no division by zero
  std::vector<float> W(N * N, 0.0f);
  s = solve(a, V, U, 0, &W);
  ASSERT_TRUE(s.ok);
  EXPECT_TRUE(all_finite(s.g));
  // a reference antenna without gain leaves the phases as solved
  Array b;
  b.remove_antenna(3);
  const auto V3 = model_vis(b, truth, std::vector<cfloat>(130, cfloat(1, 0)), 0.0f, 0);
  Solve r = solve(b, V3, std::vector<cfloat>(130, cfloat(1, 0)), 3);
  Solve n = solve(b, V3, std::vector<cfloat>(130, cfloat(1, 0)), -1);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.g, n.g);
}
