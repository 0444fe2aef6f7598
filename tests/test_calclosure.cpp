// Closure of the calibration chain on simulated calibrators: the gains that
// gainsolve finds and the phases that phasesolve finds are those the
// simulator applied, to within the noise.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "calsim.h"
#include "miriad/uvread.h"

using namespace talva::test;
using namespace talva::test::cal;

namespace {

constexpr int kPairsPerAntenna = 87;  // 88 classified antennas

struct Errors {
  double rms_ref = 0;      ///< per component, gains referenced to refant
  double rms_aligned = 0;  ///< per component, after the best common phase turn
};

/// RMS error per real or imaginary component over the classified antennas.
Errors gain_errors(const std::vector<cx>& solved, const std::vector<cx>& truth, int refant) {
  const std::vector<cx> ref = referenced(truth, refant);
  Errors e;
  std::complex<double> cross = 0;
  int n = 0;
  for (int i = 1; i <= 96; ++i) {
    if (!classified(i)) continue;
    const std::complex<double> s(solved[i - 1]), t(ref[i - 1]);
    e.rms_ref += std::norm(s - t);
    cross += s * std::conj(t);
    ++n;
  }
  const std::complex<double> turn = std::conj(cross) / std::abs(cross);
  for (int i = 1; i <= 96; ++i) {
    if (!classified(i)) continue;
    const std::complex<double> s(solved[i - 1]), t(ref[i - 1]);
    e.rms_aligned += std::norm(s * turn - t);
  }
  e.rms_ref = std::sqrt(e.rms_ref / (2.0 * n));
  e.rms_aligned = std::sqrt(e.rms_aligned / (2.0 * n));
  return e;
}

RunResult gainsolve(const TempDir& dir, const Sim& sim, const std::vector<std::string>& extra) {
  std::vector<std::string> args{"infile=" + sim.archive, "corlfile=" + sim.layout, "rejects=" + no_rejects(dir)};
  args.insert(args.end(), extra.begin(), extra.end());
  return run("gainsolve", args, dir.path().string());
}

}  // namespace

// Noise sigma on each part of every visibility, N dumps, flux U: the gain
// error expected from P pairs per antenna is sigma / (|U| sqrt(N P)).
TEST(CalClosure, GainsolveRecoversGainsWithinTheNoise) {
  const double sigma = 0.2, flux = 1.5;
  const int ndumps = 16;
  const double expected = sigma / (flux * std::sqrt(double(ndumps) * kPairsPerAntenna));
  double sum_ref = 0, sum_aligned = 0;
  const int seeds[] = {31, 32, 33};
  for (int seed : seeds) {
    TempDir dir;
    const Sim sim = simulate(dir, "cal",
                             {"ndumps=" + std::to_string(ndumps), "seed=" + std::to_string(seed),
                              "noise=" + std::to_string(sigma), "flux=" + std::to_string(flux), "gainamp=0.2"});
    RunResult r = gainsolve(dir, sim, {"calflx=" + std::to_string(flux), "refant=12"});
    ASSERT_EQ(r.status, 0) << r.out;
    const Errors e = gain_errors(read_gains(dir.file("gains.log")), read_gains(sim.truth), 12);
    sum_ref += e.rms_ref / expected;
    sum_aligned += e.rms_aligned / expected;
  }
  const double ratio_ref = sum_ref / 3, ratio_aligned = sum_aligned / 3;
  RecordProperty("rms_error_over_expected_referenced", std::to_string(ratio_ref));
  RecordProperty("rms_error_over_expected_aligned", std::to_string(ratio_aligned));
  std::printf("gain error / (sigma / (|U| sqrt(N P))): %.3f referenced to refant, %.3f after a common phase\n",
              ratio_ref, ratio_aligned);
  // a wrong orientation, a lost dump or a biased model shows up far above these
  EXPECT_LT(ratio_aligned, 1.2);
  EXPECT_GT(ratio_aligned, 0.8);
  EXPECT_LT(ratio_ref, 1.5);
}

// phasesolve on a noisy calibrator: the phase of g(r) conj(g(i)) for every
// antenna, whichever arm the reference antenna is on.
TEST(CalClosure, PhasesolveGivesTheTrueGainPhasesRelativeToTheReference) {
  TempDir dir;
  const Sim sim = simulate(dir, "cal", {"ndumps=4", "seed=17", "noise=0.01"});
  const std::vector<cx> g = read_gains(sim.truth);
  for (int refant : {1, 3, 50, 96}) {
    std::vector<std::string> args{"infile=" + sim.archive, "corlfile=" + sim.layout, "rejects=" + no_rejects(dir),
                                  "refant=" + std::to_string(refant)};
    RunResult r = run("phasesolve", args, dir.path().string());
    ASSERT_EQ(r.status, 0) << r.out;
    const std::map<int, float> ph = read_phases(dir.file("phasesolve.log"));
    ASSERT_EQ(ph.size(), 96u);
    EXPECT_EQ(ph.at(refant), 0.0f);
    for (int i = 1; i <= 96; ++i) {
      if (i == refant) continue;
      // noise 0.01 on sums of 4 dumps of amplitude near 1: 0.3 degrees rms
      const double want = arg_deg(g[refant - 1] * std::conj(g[i - 1]));
      EXPECT_NEAR(phase_diff_deg(ph.at(i), want), 0.0, 1.5) << "refant " << refant << " antenna " << i;
    }
  }
}

// gainsolve's gains, applied by the converter to a second archive observed
// through the same gains, give class averages equal to the source flux.
TEST(CalClosure, ConverterWithSolvedGainsGivesTheSourceFlux) {
  TempDir dir;
  const float flux = 1.5f;
  const Sim cal = simulate(dir, "cal", {"ndumps=8", "seed=61", "noise=0.02", "flux=1.5", "gainamp=0.2"});
  RunResult g = gainsolve(dir, cal, {"calflx=1.5", "gnsfile=cal.gains", "refant=30"});
  ASSERT_EQ(g.status, 0) << g.out;
  // same gains, other noise, other hour angle
  const Sim obs =
      simulate(dir, "obs", {"ndumps=3", "seed=62", "noise=0.02", "flux=1.5", "ha=0.5", "gains=" + cal.truth});
  const std::string uv = dir.file("obs.uv");
  // PGPLOT's font set-up (libfontconfig) keeps memory to the end of the
  // process; in the sanitizer build only that is excused for the converter
  const std::string supp = dir.file("lsan.supp");
  write_file(supp, "leak:libfontconfig\n");
  const char* old_lsan = std::getenv("LSAN_OPTIONS");
  const std::string saved = old_lsan ? old_lsan : "";
  ::setenv("LSAN_OPTIONS", ("suppressions=" + supp + (saved.empty() ? "" : ":" + saved)).c_str(), 1);
  RunResult c = run("talva2vis3",
                    {"infile=" + obs.archive, "corlfile=" + obs.layout, "gnsfile=" + dir.file("cal.gains"),
                     "uvfile=" + uv, "device=/null"},
                    dir.path().string());
  if (old_lsan) {
    ::setenv("LSAN_OPTIONS", saved.c_str(), 1);
  } else {
    ::unsetenv("LSAN_OPTIONS");
  }
  ASSERT_EQ(c.status, 0) << c.out << c.err;

  talva::miriad::UvReader reader(uv);
  talva::miriad::UvRecord rec;
  int n = 0;
  std::complex<double> sum = 0;
  while (reader.read(rec)) {
    ASSERT_EQ(rec.data.size(), 1u);
    // one pair of a class may carry the noise of a single visibility
    EXPECT_NEAR(rec.data[0].real(), flux, 0.15) << "record " << n << " baseline " << rec.baseline;
    EXPECT_NEAR(rec.data[0].imag(), 0.0, 0.15) << "record " << n;
    sum += std::complex<double>(rec.data[0]);
    ++n;
  }
  EXPECT_EQ(n, 3 * 130);
  EXPECT_NEAR(sum.real() / n, flux, 0.005);
  EXPECT_NEAR(sum.imag() / n, 0.0, 0.005);
}
