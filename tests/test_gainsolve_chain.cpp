// gainsolve's chain of interval solutions: made on a second thread while the
// archive is read, they equal the chain made afterwards to the bit.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "array/s_matrix.h"
#include "programs/gainsolve/intervals.h"

namespace {

using talva::calib::cfloat;
constexpr int N = talva::array::kNumAntennas;

/// Intervals of a drifting redundant model with noise; antenna 17 dead in
/// the second (so that the next starts it from unity).
std::vector<talva::gainsolve::Collected> drifting_intervals(int count) {
  std::vector<talva::gainsolve::Collected> out;
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::uniform_real_distribution<float> phase(-1.0f, 1.0f);
  std::vector<cfloat> g(N);
  for (auto& x : g) x = std::polar(1.0f, phase(rng));
  for (int k = 0; k < count; ++k) {
    talva::gainsolve::Collected c;
    talva::calib::IntervalData& d = c.data;
    d.n = N;
    d.S.resize(N * N);
    talva::StringOutput quiet;
    talva::array::setup_s_matrix_(d.S, N, d.nclass, quiet);
    d.V.assign(N * N, {});
    d.var.assign(N * N, 0.005f);
    d.nu = 32;
    for (auto& x : g) x *= std::polar(1.0f, 0.1f * phase(rng));  // the drift
    for (std::size_t e = 0; e < d.S.size(); ++e) {
      if (d.S[e] == 0) continue;
      const std::size_t i = e % N, j = e / N;
      const cfloat u = 1.0f + 0.5f * std::polar(1.0f, 0.3f * static_cast<float>(d.S[e]));
      const float dead = (k == 1 && (i == 16 || j == 16)) ? 0.0f : 1.0f;
      d.V[e] = dead * g[i] * u * std::conj(g[j]) + cfloat(noise(rng), noise(rng));
    }
    c.dumps = 10;
    out.push_back(std::move(c));
  }
  return out;
}

bool same_bits(const std::vector<cfloat>& a, const std::vector<cfloat>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(cfloat)) == 0;
}

TEST(GainsolveChain, SolvedAlongsideTheReadingEqualsSolvedAfterIt) {
  const std::vector<talva::gainsolve::Collected> intervals = drifting_intervals(4);
  std::vector<cfloat> ref(N, cfloat(1.0f, 0.0f));
  for (auto model : {talva::calib::GainModel::point, talva::calib::GainModel::redundant}) {
    talva::calib::SolveOptions opt;
    opt.model = model;
    opt.refgains = ref;
    opt.start = ref;
    opt.solver_lines = false;
    const auto after = talva::gainsolve::solve_intervals(intervals, opt);
    const talva::gainsolve::IntervalCollector built(0.0);  // the intervals come with their data
    talva::gainsolve::BackgroundChain chain(opt, built);
    for (const auto& c : intervals) chain.post(c);
    const auto alongside = chain.take();
    ASSERT_EQ(after.size(), intervals.size());
    ASSERT_EQ(alongside.size(), intervals.size());
    for (std::size_t k = 0; k < after.size(); ++k) {
      EXPECT_TRUE(after[k].solved);
      EXPECT_TRUE(same_bits(after[k].gains, alongside[k].gains)) << "interval " << k + 1;
      EXPECT_EQ(after[k].flag_reasons, alongside[k].flag_reasons);
      EXPECT_EQ(after[k].chi2, alongside[k].chi2);
    }
    EXPECT_TRUE(after[1].antenna_flag[16]) << "the dead antenna is flagged";
    EXPECT_FALSE(after[2].antenna_flag[16]) << "and solved again in the next interval";
  }
}

TEST(GainsolveChain, AChainNotTakenStopsWithoutWaitingForItsQueue) {
  const std::vector<talva::gainsolve::Collected> intervals = drifting_intervals(3);
  talva::calib::SolveOptions opt;
  opt.solver_lines = false;
  const talva::gainsolve::IntervalCollector built(0.0);
  talva::gainsolve::BackgroundChain chain(opt, built);
  for (int k = 0; k < 20; ++k) chain.post(intervals[static_cast<std::size_t>(k % 3)]);
  // the destructor (a run stopped while reading) cancels what is queued
}

}  // namespace
