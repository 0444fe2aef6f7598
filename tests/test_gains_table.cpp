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

// The talva1a unpacker with a table: two dumps whose correlations carry
// different gains; each dump's records must come out as the unit source.
TEST(GainsTableUnpacker, EachDumpUndoneWithItsOwnGainsAndFlagsHonoured) {
  TempDir dir;
  std::vector<std::int32_t> antnum;
  std::string layout;
  for (int a = 1; a <= 96; ++a)
    for (int b = a + 1; b <= 96; ++b) {
      antnum.push_back(256 * b + a);
      layout += std::to_string(a) + " " + std::to_string(b) + "\n";
    }
  antnum.push_back(257);
  layout += "1 1\n";
  write_file(dir.file("lay.txt"), layout);
  const int nbsln = static_cast<int>(antnum.size());
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
  t.intervals[1].flag[4] = 1;                // antenna 5
  t.intervals[1].pairs.push_back({44, 92});  // the only pair of class 130
  std::vector<std::vector<float>> vis(2, std::vector<float>(2 * static_cast<std::size_t>(nbsln), 0.0f));
  for (int d = 0; d < 2; ++d)
    for (std::size_t k = 0; k + 1 < antnum.size(); ++k) {
      const int a = antnum[k] % 256, b = antnum[k] / 256;
      const auto& g = t.intervals[static_cast<std::size_t>(d)].gains;
      cfloat v = g[static_cast<std::size_t>(a - 1)] * std::conj(g[static_cast<std::size_t>(b - 1)]);
      if (d == 1 && (a == 5 || b == 5)) v = {50.0f, 50.0f};  // the flagged antenna's data are garbage
      vis[static_cast<std::size_t>(d)][2 * (k + 1)] = v.imag();
      vis[static_cast<std::size_t>(d)][2 * (k + 1) + 1] = v.real();
    }
  talva::StringOutput messages;
  const c_layout_common_t corr_layout = load_corr_layout_file_(dir.file("lay.txt"), messages);
  const ModeLayout mode = setup_mode("talva1a", 17.6f / 0.356f, 88, 25.0f / 0.356f, false, messages);
  const ProductTable table(antnum);
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

}  // namespace
