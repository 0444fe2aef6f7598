// gainsolve's solution intervals end to end: a drifting-gain archive with a
// dead and a noisy antenna; the table against the simulator's true gains; the
// fit table and the flags as printed; refused keywords.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "calib/gains_table.h"
#include "calib/interval_solve.h"
#include "calsim.h"

namespace {

using namespace talva::test;
using namespace talva::test::cal;

/// Whether a line of `text` starts with `head`.
bool has_line_starting(const std::string& text, const std::string& head) {
  for (const auto& l : lines(text))
    if (l.rfind(head, 0) == 0) return true;
  return false;
}

RunResult gainsolve(const TempDir& dir, const Sim& sim, const std::vector<std::string>& extra) {
  std::vector<std::string> args{"infile=" + sim.archive, "corlfile=" + sim.layout, "rejects=" + no_rejects(dir)};
  args.insert(args.end(), extra.begin(), extra.end());
  return run("gainsolve", args, dir.path().string());
}

class Drifting : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    sim_ = new Sim(simulate(*dir_, "drift",
                            {"ndumps=60", "dt=60", "flux=10", "noise=0.5", "seed=3", "gaindrift=20,0.1",
                             "badants=dead,17,noisy,60", "truegains=" + dir_->file("true.table")}));
  }
  static void TearDownTestSuite() {
    delete sim_;
    delete dir_;
  }
  static TempDir* dir_;
  static Sim* sim_;
};
TempDir* Drifting::dir_ = nullptr;
Sim* Drifting::sim_ = nullptr;

TEST_F(Drifting, EachIntervalFollowsTheTrueGainsAndTheBadAntennasAreNamed) {
  for (const char* model : {"point", "redundant"}) {
    const std::string table = dir_->file(std::string(model) + ".table");
    const RunResult r = gainsolve(*dir_, *sim_,
                                  {"calflx=10", "interval=10", "model=" + std::string(model), "gnstable=" + table,
                                   "gnsfile=" + dir_->file(std::string(model) + ".gains")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has_line_starting(r.out, " antenna 17 flagged in 6 of 6 intervals; first: gain amplitude")) << r.out;
    EXPECT_TRUE(has_line_starting(r.out, " antenna 60 flagged in 6 of 6 intervals; first: noise")) << r.out;
    const auto solved = talva::calib::read_gains_table(table, 96);
    const auto truth = talva::calib::read_gains_table(dir_->file("true.table"), 96);
    ASSERT_EQ(solved.intervals.size(), 6u);
    talva::calib::GainsAt at;
    for (const auto& b : solved.intervals) {
      EXPECT_EQ(b.dumps, 10);
      EXPECT_EQ(b.flag[16], 1);
      EXPECT_EQ(b.flag[59], 1);
      EXPECT_EQ(b.flag[44], 1);  // in no class: nothing to apply
      EXPECT_GT(b.chi2dof, 0.7) << model;
      EXPECT_LT(b.chi2dof, 1.3) << model;
      talva::calib::gains_at(truth, 0.5 * (b.jd_start + b.jd_end), at);
      std::vector<char> use(96, 0);
      for (int a = 1; a <= 96; ++a) use[static_cast<std::size_t>(a - 1)] = classified(a) && a != 17 && a != 60;
      std::vector<cx> g = b.gains;
      talva::calib::match_degenerate(g, at.gains, use);
      double e = 0;
      for (int a = 1; a <= 96; ++a)
        if (use[static_cast<std::size_t>(a - 1)]) e = std::max(e, double(std::abs(g[a - 1] - at.gains[a - 1])));
      // noise 0.5 / sqrt(10 dumps) on pairs of 10: about 0.002 per gain, plus the drift within 10 minutes
      EXPECT_LT(e, 0.02) << model << " interval from " << b.jd_start;
    }
  }
}

TEST_F(Drifting, DefaultsWriteTheSameFilesWithOrWithoutTheTable) {
  const RunResult a = gainsolve(*dir_, *sim_, {"calflx=10", "gnsfile=" + dir_->file("a.gains")});
  const RunResult b =
      gainsolve(*dir_, *sim_, {"calflx=10", "gnsfile=" + dir_->file("b.gains"), "gnstable=" + dir_->file("b.table")});
  ASSERT_EQ(a.status, 0) << a.out << a.err;
  ASSERT_EQ(b.status, 0) << b.out << b.err;
  EXPECT_EQ(a.out.find("Fit quality"), std::string::npos);  // today's run prints no fit table
  EXPECT_NE(b.out.find(" whole range (gains file): chi2/DoF"), std::string::npos) << b.out;
  // one block for the whole range
  EXPECT_EQ(talva::calib::read_gains_table(dir_->file("b.table"), 96).intervals.size(), 1u);
}

TEST_F(Drifting, AnUndatedDumpIsLeftOutOfTheIntervals) {
  // the first dump dated month 13: the byte after the file header (8 + 4
  // nbsln bytes), the dump's 12-byte tag and 29 bytes of its header block
  std::ifstream in(sim_->archive, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::int32_t nbsln = 0;
  std::memcpy(&nbsln, bytes.data() + 4, sizeof nbsln);
  bytes[static_cast<std::size_t>(8 + 4 * nbsln + 12 + 29)] = 13;
  const std::string archive = dir_->file("undated.arc");
  std::ofstream(archive, std::ios::binary) << bytes;
  Sim undated = *sim_;
  undated.archive = archive;
  const RunResult r =
      gainsolve(*dir_, undated,
                {"calflx=10", "interval=10", "gnsfile=" + dir_->file("u.gains"), "gnstable=" + dir_->file("u.table")});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line_starting(r.out, " dump 1: impossible date or time in its header (month 13); dump left out"))
      << r.out;
  // the first interval opens at dump 2: ten dumps to dump 11, the last has nine
  EXPECT_TRUE(has_line_starting(r.out, "        1     10       2      11")) << r.out;
  EXPECT_TRUE(has_line_starting(r.out, "        6      9      52      60")) << r.out;
  EXPECT_GT(talva::calib::read_gains_table(dir_->file("u.table"), 96).intervals.front().jd_start, 2.4e6);
}

TEST_F(Drifting, RefusedKeywords) {
  struct Case {
    std::vector<std::string> keys;
    const char* message;
  } cases[] = {{{"model=selfcal"}, "model must be point or redundant, not selfcal"},
               {{"interval=-5"}, "interval"},
               {{"refgains=x.gains"}, "refgains is read only with model=redundant"}};
  for (const Case& c : cases) {
    const RunResult r = gainsolve(*dir_, *sim_, c.keys);
    EXPECT_NE(r.status, 0) << c.keys[0];
    EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
  }
}

}  // namespace
