// One gain solve of the size gainsolve makes: 96 antennas, 130 classes,
// unit weights, a point-source model. The solver's progress lines go to
// standard output: run with >/dev/null.
#include <benchmark/benchmark.h>

#include <complex>
#include <random>
#include <vector>

#include "array/s_matrix.h"
#include "calib/gains_solver.h"

using talva::array::kNumAntennas;
using talva::array::kNumClasses;
using talva::array::setup_s_matrix_;
using talva::calib::cfloat;
using talva::calib::lsqrs_gains_solver_;

namespace {

struct Case {
  std::vector<std::int32_t> S = std::vector<std::int32_t>(kNumAntennas * kNumAntennas);
  std::vector<cfloat> V = std::vector<cfloat>(kNumAntennas * kNumAntennas);
  std::vector<cfloat> U = std::vector<cfloat>(kNumClasses, cfloat(1.0f, 0.0f));
  int nclass = 0;

  explicit Case(float sigma) {
    const int n = kNumAntennas;
    talva::StdoutOutput out;
    setup_s_matrix_(S, n, nclass, out);
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> amp(0.5f, 1.5f), ph(-3.14159f, 3.14159f);
    std::normal_distribution<float> noise(0.0f, sigma);
    std::vector<cfloat> g(n);
    for (auto& x : g) x = std::polar(amp(rng), ph(rng));
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        const int k = S[static_cast<std::size_t>(i + j * n)];
        if (k == 0) continue;
        cfloat v = g[static_cast<std::size_t>(i)] * U[static_cast<std::size_t>(k - 1)] *
                   std::conj(g[static_cast<std::size_t>(j)]);
        if (sigma > 0) v += cfloat(noise(rng), noise(rng));
        V[static_cast<std::size_t>(i + j * n)] = v;
        V[static_cast<std::size_t>(j + i * n)] = std::conj(v);
      }
  }
};

void solve(benchmark::State& state, float sigma) {
  Case c(sigma);
  std::vector<cfloat> g(kNumAntennas);
  talva::StdoutOutput out;
  for (auto _ : state) {
    int refant = 0;
    bool ok = lsqrs_gains_solver_({kNumAntennas, c.S, c.V, c.U, {}}, g, refant, out);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(g.data());
  }
}

void BM_SolveNoiseFree(benchmark::State& state) { solve(state, 0.0f); }
void BM_SolveNoisy(benchmark::State& state) { solve(state, 0.1f); }
void BM_SolveVeryNoisy(benchmark::State& state) { solve(state, 1.0f); }

}  // namespace

BENCHMARK(BM_SolveNoiseFree)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SolveNoisy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SolveVeryNoisy)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
