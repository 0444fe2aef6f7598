// The legacy converter talva2vis: its mode set-up, the phase-corrected
// unweighted averages, hour angle and Julian date counted from start values,
// dumps refused by the site limits, and the signs of v.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "archive/archiv_util.h"
#include "calib/mdgain.h"
#include "convert/legacy_modes.h"
#include "convert/modes.h"
#include "test_conv_support.h"
#include "util/constants.h"
#include "util/stop.h"

using talva::archive::DumpHeader;
using talva::calib::Site;

using namespace talva::convert;

namespace {

using namespace conv_test;
using talva::test::write_file;
using cfloat = std::complex<float>;

constexpr double kStartJd = 53974.0 + 2400000.5;
constexpr double kStep = 7.2722054e-05;  // hour angle per dump, radians
constexpr double kSinDec = -0.70710678;  // default declination -45 degrees

double hour_angle(const talva::miriad::UvRecord& r, double vsign) { return std::atan2(vsign * r.v / kSinDec, r.u); }

void write_zero_phases(const std::string& path) { write_file(path, "no phase corrections\n"); }

// The legacy clock counts the hour angle by dumps read and the date by
// dumps unpacked, never from the archive; a pointing outside the site's
// limits leaves its dump out.
TEST(LegacyClock, CountsHourAngleByDumpsReadAndDateByDumpsUnpacked) {
  ConverterSettings s;
  s.flavour = Flavour::Legacy;
  s.startha = -0.25;
  s.startmjd = 53974.0;
  const float dec = static_cast<float>(-45.0 / 57.29577951308232);
  const Site site = Site::with_limits(15.0f / talva::kDegPerRad, 10.0f / talva::kDegPerRad);
  talva::StringOutput out;
  const DumpHeader never_read;  // not looked at
  legacy::LegacyModes modes;
  const auto clock = modes.clock(s, site, dec);
  DumpContext dump;
  const double start = -0.25 * 15.0 / static_cast<double>(talva::kDegPerRad);
  for (int record : {1, 2, 7}) {
    ASSERT_TRUE(clock->place(record, never_read, dump, out)) << record;
    EXPECT_EQ(dump.ha, static_cast<float>(start + (record - 1) * static_cast<double>(7.2722054e-05f))) << record;
    EXPECT_LT(std::fabs(dump.md), 0.05f) << record;
  }
  EXPECT_EQ(clock->julian_date(1, never_read),
            static_cast<double>(static_cast<long double>(kStartJd) + static_cast<long double>(0.99999994f) / 86400.0L));
  EXPECT_NEAR((clock->julian_date(11, never_read) - clock->julian_date(1, never_read)) * 86400.0, 10.0, 1e-3);
  EXPECT_EQ(clock->bad_time(), 0);
  EXPECT_EQ(clock->damaged_md(), 0);

  // An hour past the meridian: the meridian distance is past 10 degrees.
  const int late = 1 + static_cast<int>(1.25 * 15.0 / 57.29578 / 7.2722054e-05);
  EXPECT_FALSE(clock->place(late, never_read, dump, out));
  EXPECT_GT(std::fabs(dump.md), 10.0f / talva::kDegPerRad);
  EXPECT_NE(out.text().find("** find_tilt err at h ="), std::string::npos) << out.text();
}

TEST(LegacySetup, Talva1aRunsOutwardFromTheFarNegativeEndAndPrintsNothing) {
  const float unitx = 17.6f / 0.356f, cgap = 25.0f / 0.356f;
  talva::StringOutput out;
  const ModeLayout m = legacy::LegacyModes().setup_mode("talva1a", unitx, 3, cgap, false, out);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(m.imode, kTalva1a);
  EXPECT_EQ(m.nunit, 96);
  EXPECT_EQ(m.nants, 96);
  const auto& x = m.xpos;
  const double p1 = static_cast<double>(cgap / 2 + unitx / 2);
  EXPECT_NEAR(x[47], -p1, 1e-3);  // antenna 48: inner end of the negative arm
  EXPECT_NEAR(x[48], p1, 1e-3);   // antenna 49: inner end of the positive arm
  EXPECT_EQ(x[0], -x[95]);
  for (int k = 1; k < 96; ++k) ASSERT_GT(x[static_cast<std::size_t>(k)], x[static_cast<std::size_t>(k - 1)]) << k;
  // Cross-gap spacing of (1, 49): 48 units plus the gap.
  EXPECT_NEAR(x[48] - x[0], 48.0 * unitx + cgap, 1e-2);

  EXPECT_THROW(legacy::setup_mode("nothing", unitx, 3, cgap, false), talva::Stop);
}

TEST(LegacyTalva1a, SpacingAveragesBaselinesTimeAndSignOfV) {
  TempDir dir;
  simulate(dir, {"ndumps=2", "gainsout=sim.gains", "seed=3"});
  write_zero_phases(dir.file("ph.txt"));
  const RunResult r = convert("talva2vis", dir, {"phasefil=ph.txt", "uvfile=l.uv", "startha=-3"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, " vis records written :      174")) << r.out;
  const auto g = read_sim_gains(dir.file("sim.gains"));
  auto V = [&](int i, int j) {
    return std::complex<double>(g[static_cast<std::size_t>(i - 1)] * std::conj(g[static_cast<std::size_t>(j - 1)]));
  };
  const auto rec = records(dir.file("l.uv"));
  ASSERT_EQ(rec.size(), 174u);
  for (std::size_t k = 0; k < rec.size(); ++k) {
    const int n = static_cast<int>(k % 87) + 1;
    EXPECT_EQ(rec[k].baseline, n <= 43 ? 67586.0 + (n - 1) : 67632.0 + (n - 43)) << n;
  }
  // Within-arm spacing 1: 43 + 47 = 90 pairs; spacing 43: 1 + 5 = 6 pairs;
  // cross-gap spacing 1: 44 pairs (g, g + 48).
  auto within = [&](int n) {
    std::complex<double> s = 0;
    int c = 0;
    for (int a = 1; a <= 44 - n; ++a, ++c) s += V(a, a + n);
    for (int a = 49; a <= 96 - n; ++a, ++c) s += V(a, a + n);
    return std::pair{s / double(c), c};
  };
  EXPECT_EQ(within(1).second, 90);
  EXPECT_EQ(within(43).second, 6);
  for (int n : {1, 2, 43}) {
    EXPECT_NEAR(rec[static_cast<std::size_t>(n - 1)].data[0].real(), within(n).first.real(), 2e-5) << n;
    EXPECT_NEAR(rec[static_cast<std::size_t>(n - 1)].data[0].imag(), within(n).first.imag(), 2e-5) << n;
  }
  std::complex<double> cross = 0;
  for (int a = 1; a <= 44; ++a) cross += V(a, a + 48);
  cross /= 44.0;
  EXPECT_NEAR(rec[43].data[0].real(), cross.real(), 2e-5);
  EXPECT_NEAR(rec[43].data[0].imag(), cross.imag(), 2e-5);
  EXPECT_EQ(rec[86].baseline, 67676.0);
  // Time: one integration per unpacked dump from startmjd; the first dump
  // already carries one integration.
  EXPECT_NEAR(rec[0].time, kStartJd + 0.99999994 / 86400.0, 1e-9);
  EXPECT_NE(rec[0].time, kStartJd);
  EXPECT_NEAR(rec[87].time - rec[0].time, 0.99999994 / 86400.0, 1e-9);
  // Legacy talva1a: v = -sin H sin(dec) L; hour angle from startha, one step per dump.
  EXPECT_NEAR(hour_angle(rec[0], -1.0), -M_PI / 4, 1e-6);
  EXPECT_NEAR(hour_angle(rec[87], -1.0), -M_PI / 4 + kStep, 1e-6);
  EXPECT_GT(rec[0].u, 0.0);
  EXPECT_LT(rec[0].v, 0.0);
}

TEST(LegacyTalva1a, PhaseCorrectionTurnsEachPairByPhiIMinusPhiJ) {
  TempDir dir;
  // Gains of unit amplitude with phase theta(i); theta(1) = 30, theta(2) = 0.
  std::string gains, phases = "phases opposite to the gains\n";
  for (int a = 1; a <= 96; ++a) {
    const double th = a == 1 ? 30.0 : a == 2 ? 0.0 : 11.0 * a - 500.0;
    const double rad = th * M_PI / 180.0;
    gains += std::to_string(a) + " (" + std::to_string(std::cos(rad)) + "," + std::to_string(std::sin(rad)) + ") 1 " +
             std::to_string(th) + "\n";
    phases += std::to_string(a) + " " + std::to_string(-th) + "\n";
  }
  write_file(dir.file("in.gains"), gains);
  write_file(dir.file("ph.txt"), phases);
  simulate(dir, {"ndumps=1", "gains=in.gains"});
  const RunResult r = convert("talva2vis", dir, {"phasefil=ph.txt", "uvfile=l.uv"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  // The pair (1, 2) has phase 30 and phi(1) - phi(2) = -30: it enters with
  // phase 0, and so does every pair.
  for (const auto& x : records(dir.file("l.uv"))) {
    EXPECT_NEAR(x.data[0].real(), 1.0f, 2e-5) << x.baseline;
    EXPECT_NEAR(x.data[0].imag(), 0.0f, 2e-5) << x.baseline;
  }
}

TEST(LegacyOrvex, MdGainMultipliesAndVHasThePlusSign) {
  TempDir dir;
  simulate(dir, {"ndumps=1", "gainamp=0", "gainphs=0", "flux=1.5", "ha=-3"});
  write_zero_phases(dir.file("ph.txt"));
  write_file(dir.file("md.txt"), "0 2.0\n90 2.0\n");
  write_uniform_gains(dir.file("unit.gains"), {1.0f, 0.0f});
  RunResult r = convert("talva2vis", dir,
                        {"phasefil=ph.txt", "uvfile=l.uv", "skmode=orvex", "mdcorr=t", "mdfile=md.txt", "startha=-3",
                         "dbgplt=t", "blen=3"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto legacy = records(dir.file("l.uv"));
  ASSERT_EQ(legacy.size(), 88u);
  for (const auto& x : legacy) EXPECT_NEAR(x.data[0].real(), 3.0f, 1e-5) << x.baseline;
  // v = +sin H sin(dec) D in legacy orvex.
  EXPECT_NEAR(hour_angle(legacy[10], 1.0), -M_PI / 4, 1e-6);
  // Debug table: heading, spacing 3's pairs (1, 50), (2, 49), (3, 48), then its line.
  const auto dbg = talva::test::lines(talva::test::read_file(dir.file("talva2vis.dbg")));
  ASSERT_EQ(dbg.size(), 5u);
  EXPECT_EQ(dbg[1].substr(0, 8), "   1  50");
  EXPECT_EQ(dbg[3].substr(0, 8), "   3  48");
  EXPECT_EQ(dbg[4].substr(23, 10), "      3.00");

  // talva2vis3 divides by the same MD gain.
  r = convert("talva2vis3", dir, {"gnsfile=unit.gains", "uvfile=c.uv", "skmode=orvex", "mdcorr=t", "mdfile=md.txt"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const auto& x : records(dir.file("c.uv"))) EXPECT_NEAR(x.data[0].real(), 0.75f, 1e-5) << x.baseline;
}

TEST(LegacyDriver, DumpRefusedBySiteLimitsAdvancesHourAngleNotTime) {
  TempDir dir;
  simulate(dir, {"ndumps=3", "gainsout=sim.gains"});
  write_zero_phases(dir.file("ph.txt"));
  // At -3 h and declination -45 the meridian distance is 30 degrees and
  // falls by about 0.0024 degrees per dump: dump 1 lies outside the limit.
  const RunResult r =
      convert("talva2vis", dir, {"phasefil=ph.txt", "uvfile=l.uv", "startha=-3", "mdmax=29.9988", "skmode=orvex"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, "** find_tilt err at h =   -0.78540")) << r.out;
  EXPECT_TRUE(has_line(r.out, " np =        2")) << r.out;
  const auto rec = records(dir.file("l.uv"));
  ASSERT_EQ(rec.size(), 176u);
  EXPECT_NEAR(rec[0].time, kStartJd + 0.99999994 / 86400.0, 1e-9);
  EXPECT_NEAR(hour_angle(rec[10], 1.0), -M_PI / 4 + kStep, 1e-6);
  EXPECT_NEAR(hour_angle(rec[88 + 10], 1.0), -M_PI / 4 + 2 * kStep, 1e-6);
}

TEST(LegacyDriver, HourAngleOfDump3601) {
  TempDir dir;
  simulate(dir, {"ndumps=3601", "nant=0", "pairs=ew", "gainsout=sim.gains"});
  write_zero_phases(dir.file("ph.txt"));
  const RunResult r = convert("talva2vis", dir, {"phasefil=ph.txt", "uvfile=l.uv", "skmode=orvex", "reclim=3601,3601"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto rec = records(dir.file("l.uv"));
  ASSERT_EQ(rec.size(), 88u);
  // One hour after -6 h at 2 pi per 86400 dumps; the first unpacked dump's time.
  EXPECT_NEAR(hour_angle(rec[50], 1.0), -1.3089970, 2e-6);
  EXPECT_NEAR(rec[0].time, kStartJd + 0.99999994 / 86400.0, 1e-9);
  // East-East pairs are missing from this archive: reported once, left out.
  std::size_t reports = 0;
  for (std::size_t p = 0; (p = r.out.find("not found in antenna number set", p)) != std::string::npos; ++p) ++reports;
  EXPECT_EQ(reports, 44u);
}

// gnstable= in place of phasefil: the phases of the table's gains correct
// each pair as phasefil's would; the history names the table.
TEST(LegacyGainsTable, PhasesOfTheTableCorrectThePairsAndTheHistoryNamesIt) {
  TempDir dir;
  std::string gains, table = "interval 1 2453974.5 2453974.6 10 1.0\n";
  for (int a = 1; a <= 96; ++a) {
    const std::complex<double> g = std::polar(0.5 + 0.01 * a, (13.0 * a - 600.0) * M_PI / 180.0);
    const std::string text = "(" + std::to_string(g.real()) + "," + std::to_string(g.imag()) + ")";
    gains += std::to_string(a) + " " + text + "\n";
    table += std::to_string(a) + " " + text + " 1.0 0\n";
  }
  write_file(dir.file("in.gains"), gains);
  write_file(dir.file("g.table"), table + "end\n");
  simulate(dir, {"ndumps=2", "gains=in.gains"});
  const RunResult r = convert("talva2vis", dir, {"gnstable=g.table", "uvfile=l.uv"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const auto& x : records(dir.file("l.uv"))) EXPECT_NEAR(x.data[0].imag(), 0.0f, 1e-4) << x.baseline;
  EXPECT_NE(talva::test::read_file(dir.file("l.uv/history"))
                .find("phases of the gains interpolated in time from the gains table g.table (amplitudes not applied)"),
            std::string::npos);
}

// What gnstable= cannot be combined with, refused before any work.
TEST(LegacyGainsTable, ClashingKeywordsRefusedNamingThem) {
  TempDir dir;
  const struct {
    const char* program;
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {"talva2vis", {"gnstable=g.table", "phasefil=ph.txt"}, "gnstable= and phasefil= exclude each other"},
      {"talva2vis3", {"gnstable=g.table", "gnsfile=g.gains"}, "gnstable= and gnsfile= exclude each other"},
      {"talva2vis", {"gnstable=g.table", "skmode=talva2a"}, "gnstable= applies in the data modes talva1a and orvex"},
      {"talva2vis3", {"gnstable=g.table", "skmode=orvex"}, "gnstable= applies in skmode=talva1a only"},
      {"talva2vis", {}, "phasefil= (phase table (antenna, phase in degrees) as phasesolve writes it, or gnstable=)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("uvfile=l.uv");
    const RunResult r = convert(c.program, dir, args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_EQ(r.out, "") << c.message;
    EXPECT_EQ(r.err.rfind("### Fatal Error:  ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

}  // namespace
