// The time-variable gains table: its file, its interpolation in time, and the
// talva1a unpacker applying it dump by dump.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "array/layout.h"
#include "array/s_matrix.h"
#include "calib/gains_table.h"
#include "convert/legacy_modes.h"
#include "convert/modes.h"
#include "convert/unpackers.h"
#include "support/testsupport.h"
#include "util/stop.h"

using talva::array::c_layout_common_t;
using talva::array::load_corr_layout_file_;
using talva::array::ProductTable;

using namespace talva::convert;

namespace {

using cfloat = std::complex<float>;
using talva::calib::GainsInterval;
using talva::calib::GainsTable;
using talva::test::TempDir;
using talva::test::write_file;

GainsInterval block(double jd0, double jd1, cfloat g) {
  GainsInterval b;
  b.jd_start = jd0;
  b.jd_end = jd1;
  b.dumps = 3;
  b.chi2dof = 1.25;
  b.gains.assign(96, g);
  b.chi2dof_antenna.assign(96, 1.0);
  b.flag.assign(96, 0);
  return b;
}

TEST(GainsTableFile, WrittenThenReadBackValueForValue) {
  GainsTable t;
  t.nant = 96;
  t.comments.push_back("model redundant");
  t.intervals.push_back(block(2453800.25, 2453800.5, {0.5f, -0.25f}));
  t.intervals.push_back(block(2453800.5, 2453800.75, {1.0f, 0.125f}));
  t.intervals[1].flag[16] = 1;
  t.intervals[1].gains[16] = {0.0f, 0.0f};
  t.intervals[1].pairs.push_back({7, 60});
  TempDir dir;
  std::string text;
  for (const auto& l : talva::calib::gains_table_lines(t)) text += l + "\n";
  write_file(dir.file("t.table"), text);
  const GainsTable r = talva::calib::read_gains_table(dir.file("t.table"), 96);
  ASSERT_EQ(r.intervals.size(), 2u);
  EXPECT_EQ(r.intervals[0].jd_start, 2453800.25);
  EXPECT_EQ(r.intervals[1].jd_end, 2453800.75);
  EXPECT_EQ(r.intervals[0].dumps, 3);
  EXPECT_EQ(r.intervals[0].chi2dof, 1.25);
  EXPECT_EQ(r.intervals[0].gains[95], cfloat(0.5f, -0.25f));
  EXPECT_EQ(r.intervals[1].flag[16], 1);
  EXPECT_EQ(r.intervals[1].flag[15], 0);
  ASSERT_EQ(r.intervals[1].pairs.size(), 1u);
  EXPECT_EQ(r.intervals[1].pairs[0], std::make_pair(7, 60));
}

TEST(GainsTableFile, MalformedTablesStopNamingFileAndLine) {
  const std::string head = "interval 1 2453800.1 2453800.2 3 1.0\n";
  std::string all;
  for (int a = 1; a <= 96; ++a) all += std::to_string(a) + " (1,0) 1.0 0\n";
  struct Case {
    const char* what;
    std::string text;
    const char* message;
  } cases[] = {
      {"no end", head + all, "the last block has no end"},
      {"antenna missing", head + "1 (1,0) 1.0 0\nend\n", "line 3: block without a line for antenna 2"},
      {"antenna out of range", head + "97 (1,0) 1.0 0\n", "line 2: antenna 97 outside 1..96"},
      {"bad flag", head + "1 (1,0) 1.0 2\n", "line 2: flag must be 0 or 1"},
      {"out of order", head + all + "end\ninterval 2 2453800.0 2453800.05 3 1.0\n",
       "line 99: the interval starts before the previous one ends"},
      {"empty", "# nothing\n", "no interval block"},
      {"outside a block", "1 (1,0) 1.0 0\n", "line 1: a line outside an interval block"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_file(dir.file("t.table"), c.text);
    try {
      talva::calib::read_gains_table(dir.file("t.table"), 96);
      ADD_FAILURE() << c.what << ": no stop";
    } catch (const talva::Stop& e) {
      const std::string m = e.what();
      EXPECT_NE(m.find("t.table"), std::string::npos) << c.what << ": " << m;
      EXPECT_NE(m.find(c.message), std::string::npos) << c.what << ": " << m;
    }
  }
}

TEST(GainsTableTime, AmplitudeLinearPhaseAlongTheShorterArcFlagsOfTheHomeBlock) {
  GainsTable t;
  t.nant = 96;
  // centres at 10.5 and 12.5; antenna 1 turns from +170 to -170 degrees
  t.intervals.push_back(block(10.0, 11.0, std::polar(1.0f, 170.0f * 3.14159265f / 180.0f)));
  t.intervals.push_back(block(12.0, 13.0, std::polar(2.0f, -170.0f * 3.14159265f / 180.0f)));
  t.intervals[1].flag[4] = 1;  // antenna 5 left out in the second block
  t.intervals[1].gains[4] = {0.0f, 0.0f};
  t.intervals[1].pairs.push_back({7, 60});
  talva::calib::GainsAt at;
  talva::calib::gains_at(t, 11.5, at);  // halfway between the centres, in the gap (first block nearer: equal, first)
  EXPECT_NEAR(std::abs(at.gains[0]), 1.5f, 1e-5f);
  EXPECT_NEAR(std::abs(std::arg(at.gains[0])), 3.14159265f, 1e-4f);  // through 180, not through 0
  EXPECT_EQ(at.gains[4], t.intervals[0].gains[4]);  // flagged in the neighbour: this block's gain alone
  EXPECT_EQ(at.flag[4], 0);
  talva::calib::gains_at(t, 12.25, at);  // inside the second block, before its centre
  EXPECT_EQ(at.interval, 1);
  EXPECT_EQ(at.flag[4], 1);
  ASSERT_EQ(at.pairs.size(), 1u);
  EXPECT_NEAR(std::abs(at.gains[0]), 1.875f, 1e-5f);  // 3/4 of the way from 1 to 2
  talva::calib::gains_at(t, 9.0, at);                 // before the first centre: the first block's gains
  EXPECT_EQ(at.gains[0], t.intervals[0].gains[0]);
  talva::calib::gains_at(t, 20.0, at);
  EXPECT_EQ(at.gains[0], t.intervals[1].gains[0]);
}

// Every pair of antennas 1-96 in the correlator layout and the archive's
// product table (then the autocorrelation of antenna 1), and dumps of them.
struct AllPairs {
  std::vector<std::int32_t> antnum;
  c_layout_common_t corr_layout;

  AllPairs(const TempDir& dir, talva::Output& out) {
    std::string layout;
    for (int a = 1; a <= 96; ++a)
      for (int b = a + 1; b <= 96; ++b) {
        antnum.push_back(256 * b + a);
        layout += std::to_string(a) + " " + std::to_string(b) + "\n";
      }
    antnum.push_back(257);
    layout += "1 1\n";
    write_file(dir.file("lay.txt"), layout);
    corr_layout = load_corr_layout_file_(dir.file("lay.txt"), out);
  }
  /// A dump whose pair (a, b) holds g(a) conj(g(b)); the pairs of antenna
  /// `garbage` hold 50+50i.
  std::vector<float> dump(const std::vector<cfloat>& g, int garbage = 0) const {
    std::vector<float> vis(2 * antnum.size(), 0.0f);
    for (std::size_t k = 0; k + 1 < antnum.size(); ++k) {
      const int a = antnum[k] % 256, b = antnum[k] / 256;
      cfloat v = g[static_cast<std::size_t>(a - 1)] * std::conj(g[static_cast<std::size_t>(b - 1)]);
      if (a == garbage || b == garbage) v = {50.0f, 50.0f};
      vis[2 * (k + 1)] = v.imag();
      vis[2 * (k + 1) + 1] = v.real();
    }
    return vis;
  }
};

// The talva1a unpacker with a table: two dumps whose correlations carry
// different gains; each dump's records must come out as the unit source.
TEST(GainsTableUnpacker, EachDumpUndoneWithItsOwnGainsAndFlagsHonoured) {
  TempDir dir;
  talva::StringOutput messages;
  const AllPairs arc(dir, messages);
  GainsTable t;
  t.nant = 96;
  t.intervals.push_back(block(100.0, 100.0, {1.0f, 0.0f}));
  t.intervals.push_back(block(101.0, 101.0, {1.0f, 0.0f}));
  for (int a = 1; a <= 96; ++a) {
    t.intervals[0].gains[static_cast<std::size_t>(a - 1)] =
        std::polar(1.0f + 0.01f * static_cast<float>(a), 0.05f * static_cast<float>(a));
    t.intervals[1].gains[static_cast<std::size_t>(a - 1)] =
        std::polar(1.2f - 0.004f * static_cast<float>(a), -0.03f * static_cast<float>(a));
  }
  t.intervals[1].flag[4] = 1;                // antenna 5: its data are garbage
  t.intervals[1].pairs.push_back({44, 92});  // the only pair of class 130
  const std::vector<std::vector<float>> vis{arc.dump(t.intervals[0].gains), arc.dump(t.intervals[1].gains, 5)};
  const c_layout_common_t& corr_layout = arc.corr_layout;
  const ModeLayout mode = setup_mode("talva1a", 17.6f / 0.356f, 88, 25.0f / 0.356f, false, messages);
  const ProductTable table(arc.antnum);
  std::vector<cfloat> unused(540, cfloat(7.0f, 7.0f));  // the static gains must not be used
  DataInputs in;
  in.layout = &mode;
  in.corr_layout = &corr_layout;
  in.products = &table;
  in.gains = unused;
  in.gains_table = &t;
  in.sfreq = 0.843;
  in.sindec = -0.6f;
  in.out = &messages;
  Talva1a3Unpacker unpacker(in);
  RecordList list;
  for (int d = 0; d < 2; ++d) {
    DumpContext dc;
    dc.time = 100.0 + d;
    dc.vis = vis[static_cast<std::size_t>(d)];
    unpacker.unpack(dc, list);
  }
  ASSERT_EQ(list.records.size(), 260u);  // 130 classes each dump, the emptied one flagged
  for (std::size_t r = 0; r < list.records.size(); ++r) {
    const UvRecord& rec = list.records[r];
    if (r == 259) {
      EXPECT_EQ(rec.spacing, 130);
      EXPECT_TRUE(rec.flagged);
      continue;
    }
    EXPECT_FALSE(rec.flagged) << r;
    EXPECT_NEAR(rec.data.real(), 1.0f, 2e-5f) << "record " << r;
    EXPECT_NEAR(rec.data.imag(), 0.0f, 2e-5f) << "record " << r;
  }
  // the set-up messages once, not once per dump
  const std::string& m = messages.text();
  EXPECT_EQ(m.find("S matrix defined"), m.rfind("S matrix defined"));
}

// talva2vis with a table: each dump turned by minus the phases of that dump's
// gains, so the pair (a, b), which holds g(a) conj(g(b)), comes out real;
// amplitudes are not applied (the records hold |g|^2 of the dump). The
// flags of the table leave pairs out; a record with none left is flagged.
TEST(GainsTableLegacy, EachDumpTurnedByItsOwnGainPhasesAmplitudesKeptFlagsHonoured) {
  TempDir dir;
  talva::StringOutput setup;
  const AllPairs arc(dir, setup);
  const float amp[2] = {1.5f, 0.8f};
  GainsTable t;
  t.nant = 96;
  t.intervals.push_back(block(100.0, 100.0, {1.0f, 0.0f}));
  t.intervals.push_back(block(101.0, 101.0, {1.0f, 0.0f}));
  for (int a = 1; a <= 96; ++a) {  // phases over several turns, both signs
    t.intervals[0].gains[static_cast<std::size_t>(a - 1)] = std::polar(amp[0], 0.7f * static_cast<float>(a) - 30.0f);
    t.intervals[1].gains[static_cast<std::size_t>(a - 1)] = std::polar(amp[1], 10.0f - 0.45f * static_cast<float>(a));
  }
  t.intervals[1].flag[4] = 1;  // antenna 5: its data are garbage
  // (1, 92): the one pair of talva1a's last cross-gap spacing; (44, 92) of orvex's spacing 88
  t.intervals[1].pairs = {{92, 1}, {44, 92}};
  const std::vector<std::vector<float>> vis{arc.dump(t.intervals[0].gains), arc.dump(t.intervals[1].gains, 5)};
  const ProductTable table(arc.antnum);
  const std::vector<float> unused(360, 2.0f);  // the phase table must not be used
  struct Case {
    const char* mode;
    std::size_t records, emptied;
  } cases[] = {{"talva1a", 87, 86}, {"orvex", 88, 87}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    talva::StringOutput messages;
    const ModeLayout mode = legacy::setup_mode(c.mode, 17.6f / 0.356f, 88, 25.0f / 0.356f, false);
    DataInputs in;
    in.layout = &mode;
    in.corr_layout = &arc.corr_layout;
    in.products = &table;
    in.gains_table = &t;
    in.phases = unused;
    in.sfreq = 0.843;
    in.sindec = -0.6f;
    in.out = &messages;
    const auto unpacker = legacy::LegacyModes().data_unpacker(in);
    RecordList list;
    for (int d = 0; d < 2; ++d) {
      DumpContext dc;
      dc.time = 100.0 + d;
      dc.vis = vis[static_cast<std::size_t>(d)];
      unpacker->unpack(dc, list);
    }
    ASSERT_EQ(list.records.size(), 2 * c.records);
    for (std::size_t r = 0; r < list.records.size(); ++r) {
      const UvRecord& rec = list.records[r];
      const std::size_t d = r / c.records;
      EXPECT_EQ(rec.flagged, d == 1 && r % c.records == c.emptied) << r;
      if (rec.flagged) continue;
      EXPECT_NEAR(rec.data.real(), amp[d] * amp[d], 2e-4f) << "record " << r;
      EXPECT_NEAR(rec.data.imag(), 0.0f, 2e-4f) << "record " << r;
    }
    // a dump dated outside the table (talva2vis dates its dumps from startmjd): said once
    EXPECT_EQ(messages.text().find("outside the gains table"), std::string::npos);
    for (double jd : {103.0, 104.0}) {
      DumpContext dc;
      dc.time = jd;
      dc.vis = vis[1];
      unpacker->unpack(dc, list);
    }
    const std::string m = messages.text();
    EXPECT_EQ(m.find("outside the gains table"), m.rfind("outside the gains table")) << m;
  }
}

}  // namespace
