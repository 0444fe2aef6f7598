// Mode set-up of the converters (mode names, element layouts, the
// unique-baseline tables, capacity checks, antenna index), the gains loader,
// z2phase_ and the Gaussian deviates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "convert/gains.h"
#include "convert/modes.h"
#include "support/testsupport.h"
#include "util/gauss.h"
#include "util/output.h"
#include "util/stop.h"

using namespace talva::convert;

namespace {

using talva::test::lines;
using talva::test::TempDir;
using talva::test::write_file;

constexpr float kUnitx = 17.6f / 0.356f;
constexpr float kCgap = 25.0f / 0.356f;

struct ModeSetup : ModeLayout {
  std::string out;
};

ModeSetup run_setup(const std::string& mode, int nunit, bool natwt = false) {
  talva::StringOutput out;
  ModeSetup s{setup_mode(mode, kUnitx, nunit, kCgap, natwt, out), out.text()};
  return s;
}

std::string stop_message(const std::string& mode, int nunit) {
  try {
    run_setup(mode, nunit);
  } catch (const talva::Stop& e) {
    EXPECT_NE(e.status(), 0);
    return e.message();
  }
  ADD_FAILURE() << "no stop for " << mode << " nunit " << nunit;
  return "";
}

TEST(ModeNames, SubstringSearchInTableOrder) {
  EXPECT_EQ(find_mode("xxtalva2byy"), kTalva2b);
  EXPECT_EQ(find_mode("talva1b talva1a"), kTalva1a);  // talva1a comes first in the order
  EXPECT_EQ(find_mode("talva1a+orvex"), kOrvex);
  EXPECT_EQ(find_mode("talva3b"), kTalva3b);
  EXPECT_EQ(find_mode("TALVA1A"), kNoMode);
  EXPECT_EQ(mode_text20("talva1a"), "talva1a             ");
  EXPECT_EQ(mode_text20(std::string(25, 'x')).size(), 20u);
  EXPECT_EQ(stop_message("foo", 88), "unknown mode -: foo                 ");
}

TEST(ModeLayouts, Talva1aOverridesUnitsAndMirrorsTheArms) {
  const ModeSetup s = run_setup("talva1a", 7);
  auto xpos = [&](int k) { return s.x(k); };
  EXPECT_EQ(s.imode, kTalva1a);
  EXPECT_EQ(s.nunit, 96);
  EXPECT_EQ(s.nants, 96);
  EXPECT_EQ(s.nelem, 96);
  const double p1 = static_cast<double>(kCgap / 2.0f + kUnitx / 2.0f);
  EXPECT_NEAR(xpos(49), p1, 1e-3);
  EXPECT_NEAR(xpos(1), -p1, 1e-3);
  EXPECT_NEAR(xpos(96) - xpos(95), kUnitx, 1e-3);
  EXPECT_NEAR(xpos(48) - xpos(47), -kUnitx, 1e-3);  // antenna 48 is the far end of the negative arm
  const auto out = lines(s.out);
  ASSERT_GT(out.size(), 100u);
  EXPECT_EQ(out[0], "talva1a++");
  EXPECT_EQ(out[97], "==================");
  EXPECT_EQ(out[98], " Antenna Indexing:");
  EXPECT_EQ(out.size(), 1u + 96u + 3u + 96u);
}

TEST(ModeLayouts, OrvexUsesSlots1To44And49To92) {
  const ModeSetup s = run_setup("my orvex run", 10);
  auto xpos = [&](int k) { return s.x(k); };
  EXPECT_EQ(s.imode, kOrvex);
  EXPECT_EQ(s.nunit, 88);
  EXPECT_EQ(s.nants, 88);
  EXPECT_NEAR(xpos(1), kCgap / 2 + kUnitx / 2, 1e-3);
  EXPECT_NEAR(xpos(44), kCgap / 2 + 43.5 * kUnitx, 1e-2);
  EXPECT_EQ(xpos(49), -xpos(1));
  EXPECT_EQ(xpos(92), -xpos(44));
  for (int k : {45, 46, 47, 48, 93, 94, 95, 96}) EXPECT_EQ(xpos(k), 0.0) << k;
  // Antenna index: 88 lines in ascending position, 92 (far negative end) first, 44 last.
  const auto out = lines(s.out);
  ASSERT_EQ(out.size(), 3u + 88u);
  EXPECT_EQ(out[3].rfind(" 92 : ", 0), 0u) << out[3];
  EXPECT_EQ(out.back().rfind(" 44 : ", 0), 0u) << out.back();
  EXPECT_EQ(out[3 + 43].rfind(" 49 : ", 0), 0u);
  EXPECT_EQ(out[3 + 44].rfind(" 1 : ", 0), 0u);
}

TEST(ModeLayouts, BasicLayoutsOfTheSimulationModes) {
  ModeSetup s = run_setup("talva1c", 1);
  auto xpos = [&](int k) { return s.x(k); };
  EXPECT_EQ(s.nelem, 4);
  EXPECT_EQ(s.nants, 1);
  EXPECT_FLOAT_EQ(s.dx, kUnitx / 4);
  EXPECT_FLOAT_EQ(s.fanstep, 0.445f / (7.0f * s.dx));
  EXPECT_EQ(xpos(3), -xpos(2));
  EXPECT_EQ(xpos(4), -xpos(1));
  EXPECT_LT(xpos(1), xpos(2));  // monotonic from the far negative end
  EXPECT_NEAR(xpos(4) - xpos(3), s.dx, 1e-4);

  s = run_setup("talva2a", 3);
  EXPECT_EQ(s.nelem, 6);
  EXPECT_EQ(s.nants, 6);
  EXPECT_FLOAT_EQ(s.dx, kUnitx / 2);

  // Odd nunit: only 2 * (nunit / 2) positions are laid out, the last slot stays 0.
  s = run_setup("talva3a", 5);
  EXPECT_EQ(s.nelem, 5);
  EXPECT_EQ(xpos(5), 0.0);
  EXPECT_NE(xpos(4), 0.0);
  s = run_setup("talva3a", 1);
  EXPECT_EQ(xpos(1), 0.0);
}

TEST(ModeLayouts, CompressedTablesCoverEveryPairOnce) {
  ModeSetup s = run_setup("talva1d", 88, true);
  const auto& tc = s;
  EXPECT_EQ(tc.nelem, 352);
  EXPECT_EQ(s.nants, 38);
  ASSERT_EQ(tc.nbase, 526);
  EXPECT_EQ(tc.bcode[0].number(), 258.0);
  EXPECT_NEAR(tc.cblen[0], tc.dx, 1e-3);
  EXPECT_EQ(tc.nred[0], 350);
  // The weights count every antenna pair of the array exactly once.
  long long sum = 0;
  for (int k = 0; k < tc.nbase; ++k) sum += tc.nred[static_cast<std::size_t>(k)];
  EXPECT_EQ(sum, 352LL * 351 / 2);
  // Every unique spacing appears once, and the pseudo-pairs are distinct codes a < b <= nants.
  std::vector<double> len(tc.cblen.begin(), tc.cblen.begin() + tc.nbase);
  std::sort(len.begin(), len.end());
  for (std::size_t k = 1; k < len.size(); ++k) EXPECT_GT(len[k] - len[k - 1], 0.1) << k;
  for (int k = 0; k < tc.nbase; ++k) {
    const int code = static_cast<int>(tc.bcode[static_cast<std::size_t>(k)].number());
    EXPECT_LT(code % 256, 39);
    EXPECT_LT(code / 256, code % 256);
  }
  EXPECT_EQ(tc.bcode[37].number(), 256.0 * 2 + 3);  // (1,2)..(1,38), then (2,3)

  s = run_setup("talva1d", 88, false);
  for (int k = 0; k < s.nbase; ++k) ASSERT_EQ(s.nred[static_cast<std::size_t>(k)], 1);

  s = run_setup("talva2b", 88);
  EXPECT_EQ(s.nelem, 176);
  EXPECT_EQ(s.nants, 27);
  EXPECT_EQ(s.nbase, 3 * 176 / 2 - 2);
  EXPECT_EQ(s.nred[0], 0);  // talva2b leaves the weights alone

  s = run_setup("talva2b", 0);
  EXPECT_EQ(s.nbase, 0);
}

TEST(ModeLayouts, CapacitiesAreCheckedBeforeAnythingIsLaidOut) {
  EXPECT_EQ(run_setup("talva1b", 90).nelem, 360);
  EXPECT_NE(stop_message("talva1b", 91).find("360"), std::string::npos);
  EXPECT_NE(stop_message("talva2b", 181).find("362"), std::string::npos);
  EXPECT_NO_THROW(run_setup("talva3a", 360));
  EXPECT_NE(stop_message("talva3b", 361).find("361"), std::string::npos);
  EXPECT_NE(stop_message("talva2a", -1).find("negative"), std::string::npos);
  EXPECT_NO_THROW(run_setup("talva1a", 5000));  // talva1a and orvex fix their own size
}

TEST(GainsFile, ReadsNumberAndComplexLaterLinesReplace) {
  TempDir dir;
  write_file(dir.file("g.txt"),
             " 3 (0.5,0.25) 0.559 26.6\n"
             "\n"
             " 7, (2.,-1.)\n"
             " 97 (5.,5.)\n"
             " 0 (1.,1.)\n"
             " -2 (1.,1.)\n"
             " 3.9 (1.,0.)\n");
  std::vector<std::complex<float>> g(540, {9.0f, 9.0f});
  talva::StringOutput out;
  load_gains_(dir.file("g.txt"), 96, g, true, out);
  EXPECT_EQ(g[2], std::complex<float>(1.0f, 0.0f));
  EXPECT_EQ(g[6], std::complex<float>(2.0f, -1.0f));
  EXPECT_EQ(g[0], std::complex<float>(0.0f, 0.0f));
  EXPECT_EQ(g[95], std::complex<float>(0.0f, 0.0f));
  EXPECT_EQ(g[96], std::complex<float>(9.0f, 9.0f));  // beyond nant: untouched

  write_file(dir.file("zero.txt"), "3 (0.,0.)\n");
  load_gains_(dir.file("zero.txt"), 96, g, false, out);  // not applied: a simulation mode
  EXPECT_EQ(g[6], std::complex<float>(0.0f, 0.0f));

  write_file(dir.file("bad.txt"), " 1 (1.,0.)\n 2 1.0\n");
  try {
    load_gains_(dir.file("bad.txt"), 96, g, true, out);
    ADD_FAILURE() << "bad gains line accepted";
  } catch (const talva::Stop& e) {
    EXPECT_NE(e.message().find("bad.txt"), std::string::npos) << e.message();
    EXPECT_NE(e.message().find("line 2"), std::string::npos) << e.message();
  }
  EXPECT_THROW(load_gains_(dir.file("missing.txt"), 96, g, true, out), talva::Stop);
}

// Gains that would make a dataset of zeros or flag every record stop naming
// the file (and the line); a simulation mode, which applies no gain, goes on.
TEST(GainsFile, DegenerateGainsStopWhenApplied) {
  struct Row {
    const char* text;
    int nant;
    const char* applied_stop;  ///< part of the message when applied; nullptr: accepted
    bool stops_unapplied;
  };
  const Row rows[] = {
      {"1 (0.,0.)\n2 (0.,0.)\n", 96, "every gain of antennas 1 to 96 is (0,0)", false},
      {"99 (1.,0.)\n", 96, "no gain line for an antenna 1 to 96", false},
      {"1 (1.,0.)\n", 0, "lists no antennas (nant=0)", false},
      {"1 (1.,0.)\n2 (3e38,0.)\n", 96, "line 2: gain (3e+38,0) out of range", true},
      {"1 (1.,0.)\n2 (0.,-2e9)\n", 96, "line 2: gain (0,-2e+09) out of range", true},
      {"1 (1.,0.)\n2 (8e8,8e8)\n", 96, "line 2: gain (8e+08,8e+08) out of range", true},  // amplitude 1.13e9
      {"1 (0.,0.)\n2 (1e8,-1e8)\n", 96, nullptr, false},
  };
  TempDir dir;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    write_file(dir.file("g.txt"), r.text);
    std::vector<std::complex<float>> g(540);
    talva::StringOutput out;
    for (bool applied : {true, false}) {
      const bool stops = applied ? r.applied_stop != nullptr : r.stops_unapplied;
      try {
        load_gains_(dir.file("g.txt"), r.nant, g, applied, out);
        EXPECT_FALSE(stops) << "accepted, applied=" << applied;
      } catch (const talva::Stop& e) {
        EXPECT_TRUE(stops) << e.message();
        EXPECT_NE(e.message().find(dir.file("g.txt")), std::string::npos) << e.message();
        if (applied) {
          EXPECT_NE(e.message().find(r.applied_stop), std::string::npos) << e.message();
        }
      }
    }
  }
}

TEST(GainsFile, Z2PhaseRange) {
  EXPECT_EQ(z2phase_({-1.0f, 0.0f}), 3.1415927f);
  EXPECT_FLOAT_EQ(z2phase_({0.0f, -1.0f}), -1.5707964f);
  EXPECT_EQ(z2phase_({0.0f, 0.0f}), 0.0f);
  EXPECT_FLOAT_EQ(z2phase_({1.0f, 1.0f}), 0.78539819f);
}

TEST(GaussianDeviates, ReproducibleWithUnitVariance) {
  std::int32_t s1 = 7654321, s2 = 7654321;
  std::vector<float> a(20000);
  for (auto& x : a) x = talva::gauss_(s1);
  for (std::size_t k = 0; k < 100; ++k) ASSERT_EQ(talva::gauss_(s2), a[k]);
  double mean = std::accumulate(a.begin(), a.end(), 0.0) / static_cast<double>(a.size());
  double var = 0.0;
  for (float x : a) var += (x - mean) * (x - mean);
  var /= static_cast<double>(a.size());
  EXPECT_NEAR(mean, 0.0, 0.03);
  EXPECT_NEAR(var, 1.0, 0.05);
  for (float x : a) ASSERT_LE(std::fabs(x), 12.0f);
  // Odd seeds (0, negative) still give a working sequence.
  std::int32_t z = 0;
  const float u1 = talva::uniform_(z), u2 = talva::uniform_(z);
  EXPECT_NE(u1, u2);
  EXPECT_GT(u1, 0.0f);
  EXPECT_LT(u1, 1.0f);
}

}  // namespace
