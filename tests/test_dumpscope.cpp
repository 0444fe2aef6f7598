// The inspector's routines: option parser, product selection, fringe model,
// corrections, running mean, statistics, dump parameter block; plot range and
// upper-casing helpers. (The dump parameter block is checked end to end.)
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "array/layout.h"
#include "calib/mdgain.h"
#include "programs/dumpscope/options.h"
#include "programs/dumpscope/plot.h"
#include "programs/dumpscope/scope.h"
#include "support/testsupport.h"
#include "util/minmax.h"
#include "util/textin.h"
#include "util/upcase.h"

using namespace talva::dumpscope;
using cx = std::complex<float>;

namespace {

/// Decodes `text`, returning the record and what was printed.
std::pair<OptionRecord, std::string> decode(const std::string& text) {
  OptionRecord opt;
  testing::internal::CaptureStdout();
  decode_option_(text, opt);
  return {opt, testing::internal::GetCapturedStdout()};
}

/// A product table holding every pair a < b of antennas 1..96, then the
/// auto pair of antenna 1 (which has no item in the dumps).
std::vector<std::int32_t> all_pairs_table() {
  std::vector<std::int32_t> t;
  for (int a = 1; a <= 96; ++a)
    for (int b = a + 1; b <= 96; ++b) t.push_back(256 * b + a);
  t.push_back(257);
  return t;
}

/// The pairs (min, max) of a selection, read back through the table.
std::vector<std::pair<int, int>> pairs_of(const std::vector<std::int32_t>& sel,
                                          const std::vector<std::int32_t>& table) {
  std::vector<std::pair<int, int>> out;
  for (std::int32_t index : sel) {
    const std::int32_t code = table.at(static_cast<std::size_t>(index) - 2);
    out.emplace_back(code % 256, code / 256);
  }
  return out;
}

}  // namespace

TEST(DumpscopeHelpers, UpcaseCopiesToLastNonBlankAndPads) {
  EXPECT_EQ(talva::upcase_("ap(1e,1w)  ", 12), "AP(1E,1W)   ");
  EXPECT_EQ(talva::upcase_("bs(2,x)", 4), "BS(2");
  EXPECT_EQ(talva::upcase_("", 3), "   ");
  EXPECT_EQ(talva::upcase_("z{a}`~", 6), "Z{A}`~");  // only a-z change
  EXPECT_EQ(talva::upcase_(std::string(200, 'q'), 300), std::string(128, 'Q') + std::string(172, ' '));
}

TEST(DumpscopeHelpers, MinmaxWidensByFivePercent) {
  const std::vector<float> x{2.0f, -3.0f, 7.0f, 1.0f};
  float lo = 0, hi = 0;
  talva::minmax_(4, x, lo, hi);
  EXPECT_FLOAT_EQ(lo, -3.5f);
  EXPECT_FLOAT_EQ(hi, 7.5f);
  // only the first n values count
  talva::minmax_(2, x, lo, hi);
  EXPECT_FLOAT_EQ(lo, -3.25f);
  EXPECT_FLOAT_EQ(hi, 2.25f);
  // equal values: widened by 0.05
  const std::vector<float> flat{4.0f, 4.0f};
  talva::minmax_(2, flat, lo, hi);
  EXPECT_FLOAT_EQ(lo, 3.95f);
  EXPECT_FLOAT_EQ(hi, 4.05f);
  // nothing to scan gives a small range around zero, never garbage
  talva::minmax_(0, flat, lo, hi);
  EXPECT_FLOAT_EQ(lo, -0.05f);
  EXPECT_FLOAT_EQ(hi, 0.05f);
}

TEST(DumpscopeOption, AcceptedOptions) {
  auto [ap, out] = decode("ap(1e,1w)");
  EXPECT_EQ(out, "");
  EXPECT_EQ(ap.error, 0);
  EXPECT_EQ(ap.key, kKeyAP);
  EXPECT_EQ(ap.bays[0], 1);
  EXPECT_EQ(ap.arms[0], kArmE);
  EXPECT_EQ(ap.bays[1], 1);
  EXPECT_EQ(ap.arms[1], kArmW);

  const OptionRecord ap2 = decode("AP( 12W , 48e)").first;
  EXPECT_EQ(ap2.bays, (std::array<std::int32_t, 2>{12, 48}));
  EXPECT_EQ(ap2.arms, (std::array<std::int32_t, 2>{kArmW, kArmE}));

  auto [bs, bsout] = decode("bs(3,x)");
  EXPECT_EQ(bsout, "");
  EXPECT_EQ(bs.key, kKeyBS);
  EXPECT_EQ(bs.bays[0], 3);
  EXPECT_EQ(bs.arms[0], kArmX);
  // the parser leaves the second bay and arm at their start value 0
  EXPECT_EQ(bs.bays[1], 0);
  EXPECT_EQ(bs.arms[1], 0);

  // the arm letters are searched E, W, B, X in the part after the comma
  EXPECT_EQ(decode("bs(2,b)").first.arms[0], kArmB);
  EXPECT_EQ(decode("bs(2,XE)").first.arms[0], kArmE);

  auto [bm, bmout] = decode("bm(0.5)");
  EXPECT_EQ(bmout, "");
  EXPECT_EQ(bm.key, kKeyBM);
  EXPECT_FLOAT_EQ(bm.beam_offset, 0.5f);
  EXPECT_EQ(decode("fx()").first.key, kKeyFX);
  // the first key found in the order AP, BS, BM, FX wins
  EXPECT_EQ(decode("fx(ap 1e,2w)").first.key, kKeyAP);
}

TEST(DumpscopeOption, EveryRejectionHasItsMessage) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"AP1E,1W", " missing () in option\n"},
      {"ap(1e,1w", " missing () in option\n"},
      {"XY(1,2)", "no option key found\n options : AP/BS/BM/FX\n"},
      {"ap(1e)", " no (,) separator\n"},
      {"bs(3 x)", " no (,) separator\n"},
      {"ap(1,1w)", " No arm ID (E or W) for first bay\n"},
      {"ap(e,1w)", "invalid bay number for first bay\n"},
      {"ap(49e,1w)", "invalid bay number for first bay\n"},
      {"ap(0w,1w)", "invalid bay number for first bay\n"},
      {"ap(1.5e,1w)", "invalid bay number for first bay\n"},
      {"ap(1e,1)", " No arm ID (E or W) for second bay\n"},
      {"ap(1e,w)", "invalid bay number for second bay\n"},
      {"ap(1e,49w)", "invalid bay number for second bay\n"},
      {"bs(,e)", "invalid baseline length\n"},
      {"bs(q,e)", "invalid baseline length\n"},
      {"bs(3,)", " No arm ID (E,W,B or X) for the baseline\n"},
      {"bm()", "invalid beam offset\n"},
      {"bm(half)", "invalid beam offset\n"},
  };
  for (const Case& c : cases) {
    auto [opt, out] = decode(c.text);
    EXPECT_EQ(opt.error, 1) << c.text;
    EXPECT_EQ(out, c.message) << c.text;
  }
}

TEST(DumpscopeOption, MisplacedSeparatorsNeverReadOutsideTheText) {
  // separators in every order, at both ends, and texts longer than the field
  const std::string texts[] = {"",
                               "()",
                               ")(",
                               "AP)(,",
                               "ap,(1e1w)",
                               "ap(1e)1w,",
                               "bs,(2e)",
                               "bs(2)e,",
                               "bm)(",
                               "ap(e,w)",
                               "ap(,)",
                               "bs(,)",
                               "bm( )",
                               "ap(" + std::string(200, '1') + "e,1w)",
                               std::string(100, ' ') + "fx()"};
  for (const std::string& text : texts) {
    auto [opt, out] = decode(text);
    EXPECT_EQ(opt.error == 0, out.empty() || out.find("outside limits") != std::string::npos) << text << out;
  }
  // only the first 80 characters count
  EXPECT_EQ(decode(std::string(100, ' ') + "fx()").first.error, 1);
}

TEST(DumpscopeOption, BaselineLengthOutsideItsRangeIsReportedButAccepted) {
  auto [e, eout] = decode("bs(50,e)");
  EXPECT_EQ(e.error, 0);
  EXPECT_EQ(eout, " baseline length outside limits (0 < < 43)\n");
  auto [x, xout] = decode("bs(88,x)");
  EXPECT_EQ(x.error, 0);
  EXPECT_EQ(xout, " baseline length outside limits (0 < < 87)\n");
  EXPECT_EQ(decode("bs(87,x)").second, "");
  EXPECT_EQ(decode("bs(44,w)").second, " baseline length outside limits (0 < < 43)\n");
  EXPECT_EQ(decode("bs(0,b)").second, " baseline length outside limits (0 < < 43)\n");
}

TEST(DumpscopeSelect, PairsOfTheOptions) {
  const auto table = all_pairs_table();
  const auto nbsln = static_cast<std::int32_t>(table.size());

  // BS(2,B): 45 East pairs (1,2)..(45,46), then 45 West pairs (49,50)..(93,94)
  Selection both = select_products(nbsln, table, decode("bs(2,b)").first);
  ASSERT_EQ(both.error, 0);
  auto p = pairs_of(both.sel, table);
  ASSERT_EQ(p.size(), 90u);
  EXPECT_EQ(p.front(), std::make_pair(1, 2));
  EXPECT_EQ(p[44], std::make_pair(45, 46));
  EXPECT_EQ(p[45], std::make_pair(49, 50));
  EXPECT_EQ(p.back(), std::make_pair(93, 94));

  Selection east = select_products(nbsln, table, decode("bs(5,e)").first);
  p = pairs_of(east.sel, table);
  ASSERT_EQ(p.size(), 42u);
  EXPECT_EQ(p.front(), std::make_pair(1, 5));
  EXPECT_EQ(p.back(), std::make_pair(42, 46));

  Selection west = select_products(nbsln, table, decode("bs(5,w)").first);
  p = pairs_of(west.sel, table);
  ASSERT_EQ(p.size(), 42u);
  EXPECT_EQ(p.front(), std::make_pair(49, 53));

  // BS(3,X): (1,51), (2,50), (3,49): East bay b with West bay L - b + 1
  Selection across = select_products(nbsln, table, decode("bs(3,x)").first);
  EXPECT_EQ(pairs_of(across.sel, table), (std::vector<std::pair<int, int>>{{1, 51}, {2, 50}, {3, 49}}));

  // AP(7W,2E): antennas 55 and 2, code 256 * 55 + 2
  Selection ap = select_products(nbsln, table, decode("ap(7w,2e)").first);
  ASSERT_EQ(ap.sel.size(), 1u);
  EXPECT_EQ(table[static_cast<std::size_t>(ap.sel[0]) - 2], 256 * 55 + 2);
}

TEST(DumpscopeSelect, MissingPairsFailWithTheirMessages) {
  const auto table = all_pairs_table();
  const auto nbsln = static_cast<std::int32_t>(table.size());

  // AP(3E,3E) searches the auto code 257 * 3 = 771, missing here
  OptionRecord same = decode("ap(3e,3e)").first;
  std::int32_t count = -1, error = 0;
  std::vector<std::int32_t> sel;
  testing::internal::CaptureStdout();
  select_baselines_(nbsln, table, same, count, sel, error);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "   771 not found in antenna number set\n"
            "failed to find baseline for ant pair    3   0   3   0\n");
  EXPECT_EQ(error, 1);
  EXPECT_EQ(count, 0);

  std::int32_t index = 0;
  testing::internal::CaptureStdout();
  find_antnum_(256 * 49 + 1, nbsln, table, index, error);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(error, 0);
  EXPECT_EQ(index, 2 + 47);  // entry 48 (pairs (1,2)..(1,49))

  // BS stops at the first missing pair: drop (3,4) from the table
  auto holed = table;
  for (auto& code : holed)
    if (code == 256 * 4 + 3) code = 0;
  Selection cut = select_products(nbsln, holed, decode("bs(2,e)").first);
  EXPECT_EQ(cut.error, 1);
  ASSERT_GE(cut.messages.size(), 2u);
  EXPECT_EQ(cut.messages[0], "  1027 not found in antenna number set");
  EXPECT_EQ(pairs_of(cut.sel, holed), (std::vector<std::pair<int, int>>{{1, 2}, {2, 3}}));
}

TEST(DumpscopeStats, LinesOfTheStatistics) {
  const std::vector<cx> v{{3.0f, 4.0f}, {-3.0f, 4.0f}, {3.0f, -4.0f}, {-3.0f, -4.0f}};
  testing::internal::CaptureStdout();
  get_stats_r_(kMaxEntries, v, 4);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "overall statistics : mean, rms \n"
            "  REAL;  IMAG;   ABS value\n"
            "\n"
            " 1       0.000     3.000\n"
            " 2       0.000     4.000\n"
            " 3       5.000     0.000\n");
  // constant data: a rounding residue never makes the rms NaN
  const std::vector<cx> c(7, cx(0.1f, -0.7f));
  testing::internal::CaptureStdout();
  get_stats_r_(kMaxEntries, c, 7);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("nan"), std::string::npos) << out;
  EXPECT_NE(out.find(" 1       0.100     0.000\n"), std::string::npos) << out;
  // no record: a message, no division by zero
  testing::internal::CaptureStdout();
  get_stats_r_(kMaxEntries, c, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " no records stored: no statistics\n");
}

// Non-finite values, or finite ones whose squares overflow single precision,
// never print as NaN or Infinity (nor as an rms of 0).
TEST(DumpscopeStats, NonFiniteRecordsAndOverflowSayNotAvailable) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  struct Row {
    std::vector<cx> v;
    std::string said;  ///< the line before the values ("" none)
    std::string rows;  ///< the three value lines
  };
  const std::string na = "       n/a       n/a\n";
  const std::vector<Row> rows{
      {{{1, 2}, {nan, 0}, {3, 4}},
       " 1 of 3 records hold non-finite values: mean and rms not available\n",
       " 1  " + na + " 2       2.000     1.633\n 3  " + na},
      {{{1, 2}, {0, inf}, {0, -inf}},
       " 2 of 3 records hold non-finite values: mean and rms not available\n",
       " 1       0.333     0.471\n 2  " + na + " 3  " + na},
      {{{3e38f, 0}, {3e38f, 0}}, "", " 1  " + na + " 2       0.000     0.000\n 3  " + na},
  };
  for (const auto& r : rows) {
    testing::internal::CaptureStdout();
    get_stats_r_(kMaxEntries, r.v, static_cast<int>(r.v.size()));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "overall statistics : mean, rms \n  REAL;  IMAG;   ABS value\n\n" + r.said + r.rows);
    for (const char* bad : {"nan", "NaN", "inf", "Inf"}) EXPECT_EQ(out.find(bad), std::string::npos) << out;
  }
}

TEST(DumpscopeRunningMean, WindowsForOddAndEvenLengths) {
  Records rec;
  rec.hold(8);
  const int n = 6;
  // record k holds 10^(k-1) in the real part: every window has a unique sum
  for (int k = 0; k < n; ++k) rec.vsel[k] = cx(std::pow(10.0f, static_cast<float>(k)), 0.0f);
  auto mean = [&](int lo, int hi) {
    float s = 0;
    for (int k = lo; k <= hi; ++k) s += std::pow(10.0f, static_cast<float>(k - 1));
    return s / static_cast<float>(hi - lo + 1);
  };

  running_mean(rec, n, 3, 10);  // records i-1 .. i+1
  EXPECT_FLOAT_EQ(rec.yp[0], mean(1, 2));
  EXPECT_FLOAT_EQ(rec.yp[2], mean(2, 4));
  EXPECT_FLOAT_EQ(rec.yp[5], mean(5, 6));
  EXPECT_FLOAT_EQ(rec.xp[0], 10.0f);
  EXPECT_FLOAT_EQ(rec.xp[5], 15.0f);

  running_mean(rec, n, 4, 1);  // records i-2 .. i+1: one further back than forward
  EXPECT_FLOAT_EQ(rec.yp[0], mean(1, 2));
  EXPECT_FLOAT_EQ(rec.yp[2], mean(1, 4));
  EXPECT_FLOAT_EQ(rec.yp[3], mean(2, 5));
  EXPECT_FLOAT_EQ(rec.yp[5], mean(4, 6));

  running_mean(rec, n, 1, 1);  // no smoothing
  for (int k = 0; k < n; ++k) EXPECT_FLOAT_EQ(rec.yp[k], std::pow(10.0f, static_cast<float>(k)));

  // phase in degrees of the mean value
  rec.vsel[0] = cx(0.0f, 2.0f);
  rec.vsel[1] = cx(0.0f, 2.0f);
  running_mean(rec, 2, 2, 1);
  EXPECT_FLOAT_EQ(rec.zp[0], 90.0f);
  EXPECT_FLOAT_EQ(rec.yp[1], 2.0f);
}

TEST(DumpscopeFringe, ModelPhaseHourAngleAndRotation) {
  Settings s;
  s.r1 = 10;
  s.startha = 0.25f;
  s.phsoff = 0.0f;
  s.phstrk = true;
  const float b = 1000.0f;
  const int n = 5;
  Records rec;
  rec.hold(8);
  // a fringe of exactly the model's phase: V = exp(-i phi) rotates back to 1
  for (int i = 1; i <= n; ++i) {
    const double h = 0.25 + (10.0 + i) * static_cast<double>(kOmega);
    const double phi = std::fmod(-b * std::sin(h), 2 * M_PI);
    rec.vsel[i - 1] = cx(static_cast<float>(std::cos(phi)), static_cast<float>(-std::sin(phi)));
  }
  MdTable none;
  float md = 0;
  fringe_and_corrections(s, b, none, hour_angles(s, n), rec, n, md);
  for (int i = 1; i <= n; ++i) {
    // record i uses h = startha + (r1 + i) * omega
    const double h = 0.25 + (10.0 + i) * static_cast<double>(kOmega);
    double expect = -std::fmod(-b * std::sin(h), 2 * M_PI) * 180.0 / M_PI;
    if (expect > 180) expect -= 360;
    if (expect < -180) expect += 360;
    EXPECT_NEAR(rec.phi[i - 1], expect, 0.05) << i;
    EXPECT_NEAR(rec.vsel[i - 1].real(), 1.0f, 1e-3) << i;
    EXPECT_NEAR(rec.vsel[i - 1].imag(), 0.0f, 1e-3) << i;
  }

  // a zero baseline factor and no offset: every phi is 0, vsel unchanged
  Records zero;
  zero.hold(8);
  zero.vsel[0] = cx(0.3f, -0.4f);
  fringe_and_corrections(s, 0.0f, none, hour_angles(s, 3), zero, 3, md);
  EXPECT_EQ(zero.phi[0], 0.0f);
  EXPECT_EQ(zero.phi[2], 0.0f);
  EXPECT_EQ(zero.vsel[0], cx(0.3f, -0.4f));

  // the offset alone: phi = -phsoff in degrees, wrapped into -180..180
  Settings off = s;
  off.phstrk = false;
  off.phsoff = 200.0f / kDegPerRad;
  Records o;
  o.hold(8);
  o.vsel[0] = cx(1.0f, 0.0f);
  fringe_and_corrections(off, 0.0f, none, hour_angles(off, 1), o, 1, md);
  EXPECT_NEAR(o.phi[0], 160.0f, 1e-3);
  EXPECT_EQ(o.vsel[0], cx(1.0f, 0.0f));  // no rotation without phstrk
}

TEST(DumpscopeFringe, MeridianDistanceCorrection) {
  MdTable table;
  table.count = 3;
  table.table = {0.0f, 0.5f, 10.0f, 0.5f, 20.0f, 0.25f};
  Settings s;
  s.mdcorr = true;
  s.tltmin = 15.0f / kDegPerRad;
  s.mdmax = 60.0f / kDegPerRad;
  s.dec = -45.0f / kDegPerRad;
  s.startha = 0.0f;
  s.r1 = 1;
  Records rec;
  rec.hold(8);
  for (int i = 0; i < 3; ++i) rec.vsel[i] = cx(2.0f, -1.0f);
  float md = 0;
  fringe_and_corrections(s, 0.0f, table, hour_angles(s, 3), rec, 3, md);
  for (int i = 0; i < 3; ++i) {
    // near the meridian the gain is 0.5: the value is doubled
    EXPECT_FLOAT_EQ(rec.mdgn[i], 0.5f);
    EXPECT_EQ(rec.vsel[i], cx(4.0f, -2.0f));
    EXPECT_LT(std::fabs(rec.mdval[i]), 0.1f);
    EXPECT_LT(rec.mdval[i], 0.0f);  // east of the meridian after transit: md = asin(-sin h cos dec)
  }
  // a pointing outside the site limits is reported and left uncorrected
  Settings low = s;
  low.dec = 80.0f / kDegPerRad;  // tilt below tltmin
  Records bad;
  bad.hold(8);
  bad.vsel[0] = cx(2.0f, -1.0f);
  testing::internal::CaptureStdout();
  fringe_and_corrections(low, 0.0f, table, hour_angles(low, 1), bad, 1, md);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("** find_tilt err at h =    0.00015"), std::string::npos) << out;
  EXPECT_EQ(bad.vsel[0], cx(2.0f, -1.0f));
  EXPECT_EQ(bad.mdgn[0], 0.0f);

  // a table gain of zero is reported, never divided by
  MdTable dead;
  dead.count = 1;
  dead.table = {0.0f, 0.0f};
  Records zero;
  zero.hold(8);
  zero.vsel[0] = cx(2.0f, -1.0f);
  testing::internal::CaptureStdout();
  fringe_and_corrections(s, 0.0f, dead, hour_angles(s, 1), zero, 1, md);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("left uncorrected"), std::string::npos);
  EXPECT_EQ(zero.vsel[0], cx(2.0f, -1.0f));
}

// The amplitude and phase lines leave a gap at a record without a finite value.
TEST(DumpscopePlot, LinesBreakAtNonFiniteValues) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  using Runs = std::vector<std::pair<std::size_t, std::size_t>>;
  struct Row {
    std::vector<float> y;
    Runs runs;
  };
  const std::vector<Row> rows{
      {{1, 2, 3}, {{0, 3}}},
      {{1, nan, 3, 4}, {{0, 1}, {2, 4}}},
      {{nan, 2, 3, inf}, {{1, 3}}},
      {{nan, nan}, {}},
      {{}, {}},
      {{1, -inf, nan, 4, 5, nan, 7}, {{0, 1}, {3, 5}, {6, 7}}},
  };
  for (const auto& r : rows) {
    std::vector<float> x(r.y.size());
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i + 1);
    EXPECT_EQ(finite_runs(x, r.y), r.runs);
  }
  // a non-finite x breaks the line too; the shorter of the two spans counts
  const std::vector<float> x{1, nan, 3, 4}, y{1, 2, 3};
  EXPECT_EQ(finite_runs(x, y), (Runs{{0, 1}, {2, 3}}));
}

// The README's paging example states the passes and pages the run makes,
// and its passes page through different pairs.
TEST(DumpscopeReadme, PagingExampleCountsAreTheProgramsOwn) {
  OptionRecord bs3e;
  decode_option_("bs(3,e)", bs3e);
  EXPECT_EQ(pass_count(bs3e, false), 43);  // pass 3 would pair bay 3 with itself
  OptionRecord ap;
  decode_option_("ap(1e,1w)", ap);
  EXPECT_EQ(pass_count(ap, false), kPasses);  // arms differ: no pass left out
  EXPECT_EQ(pass_count(ap, true), 1);

  const std::string readme = talva::test::read_file(std::string(TALVA_SOURCE_DIR) + "/README.md");
  // the example's option, from its command line
  const std::size_t line = readme.find("device=pages.png/png");
  ASSERT_NE(line, std::string::npos);
  const std::size_t open = readme.rfind("option='", line);
  ASSERT_NE(open, std::string::npos);
  const std::string option = readme.substr(open + 8, readme.find('\'', open + 8) - open - 8);
  OptionRecord decoded;
  decode_option_(option, decoded);
  ASSERT_EQ(decoded.error, 0) << option;
  const int passes = pass_count(decoded, false);
  // every pass a pair of its own: the antennas of the AP pair differ from pass to pass
  ASSERT_EQ(decoded.key, kKeyAP) << option << ": only AP pages through pairs";
  std::set<std::pair<int, int>> pairs;
  for (int i = 1; i <= kPasses; ++i) {
    OptionRecord opt;
    if (pass_option(decoded, false, i, opt))
      pairs.emplace(opt.arms[0] * 48 + opt.bays[0], opt.arms[1] * 48 + opt.bays[1]);
  }
  EXPECT_EQ(static_cast<int>(pairs.size()), passes);
  const int pages = (4 * passes + 15) / 16;  // four panels a pass, nxy=4,4
  char last[32];
  std::snprintf(last, sizeof last, "pages_%04d.png", pages - 1);
  const std::string claim = "the second makes " + std::to_string(passes) +
                            "\npasses of four panels, 16 panels a page (`pages_0000.png` ... `" + last + "`)";
  EXPECT_NE(readme.find(claim), std::string::npos) << claim;
  EXPECT_NE(readme.find("(`" + option + "`: " + std::to_string(passes) + " passes, pass 3 left out)"),
            std::string::npos);
}

// Each panel names its quantity and unit; the titles are the program's
// fixed ones; the panels of values not computed say so.
TEST(DumpscopePlot, PanelTextsNameUnitsAndWhatWasNotComputed) {
  for (const bool mdcorr : {false, true}) {
    const auto t = pass_panel_texts("cal.arc", "AP(3E,1E)", 7, mdcorr);
    const char* y_labels[4] = {"md (degrees)", "mdgain (factor)", "amplitude (correlator units)", "phase (degrees)"};
    const std::string titles[4] = {"meridian distance", "meridian distance gain", " AMP - cal.arc",
                                   " PHASE - AP(3E,1E)  bay2 :   7"};
    for (int k = 0; k < 4; ++k) {
      SCOPED_TRACE(k);
      EXPECT_EQ(t[k].x, "dump number (rec #)");
      EXPECT_EQ(t[k].y, y_labels[k]);
      EXPECT_EQ(t[k].title, titles[k]);
      // only the meridian-distance panels depend on mdcorr
      EXPECT_EQ(t[k].note, k < 2 && !mdcorr ? "not computed: mdcorr=f" : "");
    }
  }
}
