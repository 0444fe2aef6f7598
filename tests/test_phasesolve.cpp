// phasesolve end to end: phases relative to the reference antenna, sign of
// the pair orientation, rejections, dump range and the output file.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "calib/mdgain.h"
#include "calsim.h"

using talva::calib::load_phasecal_;

using namespace talva::test;
using namespace talva::test::cal;
namespace fs = std::filesystem;

namespace {

RunResult phasesolve(const TempDir& dir, const Sim& sim, const std::vector<std::string>& extra,
                     const std::string& rejects = "") {
  std::vector<std::string> args{"infile=" + sim.archive, "corlfile=" + sim.layout,
                                "rejects=" + (rejects.empty() ? no_rejects(dir) : rejects)};
  args.insert(args.end(), extra.begin(), extra.end());
  return run("phasesolve", args, dir.path().string());
}

/// A gains file for the simulator: gain 1 everywhere but for the listed antennas.
std::string gains_file(const TempDir& dir, const std::map<int, cx>& special) {
  std::string text;
  for (int i = 1; i <= 96; ++i) {
    const auto it = special.find(i);
    const cx g = it == special.end() ? cx(1, 0) : it->second;
    text += " " + std::to_string(i) + " (" + std::to_string(g.real()) + "," + std::to_string(g.imag()) + ")\n";
  }
  const std::string path = dir.file("sim.gains");
  write_file(path, text);
  return path;
}

}  // namespace

TEST(Phasesolve, FileLayoutAndMessages) {
  TempDir dir;
  const Sim sim = simulate(dir, "cal", {"ndumps=3", "seed=8"});
  RunResult r = phasesolve(dir, sim, {"refant=1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(" Nant :     96\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    3 records read\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" phase solution written to phasesolve.log\n"), std::string::npos) << "no trailing blanks";

  const std::vector<std::string> file = lines(read_file(dir.file("phasesolve.log")));
  ASSERT_EQ(file.size(), 97u);
  EXPECT_EQ(file[0], "data file : " + sim.archive);
  EXPECT_EQ(file[1], "   1     0.0");  // antenna 1 first, the reference
  for (std::size_t k = 1; k < file.size(); ++k) {
    EXPECT_EQ(file[k].size(), 12u) << file[k];                      // (I4,F8.1)
    EXPECT_NE(r.out.find(file[k] + "\n"), std::string::npos) << k;  // also on standard output
  }
  // the converter's phase reader takes the file as it stands
  std::vector<float> rad(96);
  int status = -1;
  talva::StringOutput out;
  load_phasecal_(dir.file("phasesolve.log"), 96, rad, status, out);
  EXPECT_EQ(status, 0);
}

TEST(Phasesolve, OrientationSignOfAQuarterTurn) {
  TempDir dir;
  // refant 3 with gain 1: pair (1, 3) sums to (0, 1) for g(1) = i, and pair (3, 7) to (0, 1) for g(7) = -i
  const std::string gf = gains_file(dir, {{1, cx(0, 1)}, {7, cx(0, -1)}});
  const Sim sim = simulate(dir, "cal", {"ndumps=2", "gains=" + gf});
  RunResult r = phasesolve(dir, sim, {"refant=3"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<std::string> file = lines(read_file(dir.file("phasesolve.log")));
  EXPECT_EQ(file.at(1), "   1   -90.0");
  EXPECT_EQ(file.at(3), "   3     0.0");
  EXPECT_EQ(file.at(7), "   7    90.0");
  EXPECT_EQ(file.at(2), "   2     0.0");
}

TEST(Phasesolve, RejectedProductLeavesZero) {
  TempDir dir;
  const Sim sim = simulate(dir, "cal", {"ndumps=2", "seed=5"});
  // the product of pair (3, 7), by its layout line (line k is product index k + 1)
  const std::vector<std::string> layout = lines(read_file(sim.layout));
  int index = 0;
  for (std::size_t k = 0; k < layout.size() && index == 0; ++k) {
    std::istringstream in(layout[k]);
    int a = 0, b = 0;
    in >> a >> b;
    if (std::min(a, b) == 3 && std::max(a, b) == 7) index = static_cast<int>(k) + 2;
  }
  ASSERT_GT(index, 0);
  write_file(dir.file("one.rej"), "1\n" + std::to_string(index) + "\n");
  RunResult r = phasesolve(dir, sim, {"refant=3"}, dir.file("one.rej"));
  ASSERT_EQ(r.status, 0) << r.out;
  const std::map<int, float> ph = read_phases(dir.file("phasesolve.log"));
  EXPECT_EQ(ph.at(7), 0.0f);
  const std::vector<cx> g = read_gains(sim.truth);
  EXPECT_NEAR(phase_diff_deg(ph.at(8), arg_deg(g[2] * std::conj(g[7]))), 0.0, 0.051);
  EXPECT_NE(ph.at(8), 0.0f);
}

TEST(Phasesolve, PhasesDoNotDependOnTheDumpCount) {
  TempDir dir;
  const Sim sim = simulate(dir, "cal", {"ndumps=6", "seed=12"});
  ASSERT_EQ(phasesolve(dir, sim, {"refant=2", "reclim=1,-1"}).status, 0);
  const std::string all = read_file(dir.file("phasesolve.log"));
  RunResult one = phasesolve(dir, sim, {"refant=2", "reclim=5,5"});
  ASSERT_EQ(one.status, 0);
  EXPECT_NE(one.out.find("    1 records read\n"), std::string::npos) << one.out;
  EXPECT_EQ(read_file(dir.file("phasesolve.log")), all);
}

TEST(Phasesolve, FailedRunsLeaveTheEarlierLogAsItWas) {
  TempDir dir;
  const Sim sim = simulate(dir, "cal", {"ndumps=2"});
  const std::string older = "an older solution\n   1     5.0\n";
  write_file(dir.file("phasesolve.log"), older);
  Sim missing = sim;
  missing.archive = dir.file("absent.arc");
  RunResult r = phasesolve(dir, missing, {});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("init failed"), std::string::npos) << r.out;
  EXPECT_EQ(read_file(dir.file("phasesolve.log")), older);

  Sim shortf = sim;
  shortf.archive = dir.file("short.arc");
  write_file(shortf.archive, "xy");
  RunResult s = phasesolve(dir, shortf, {});
  EXPECT_NE(s.status, 0);
  EXPECT_NE(s.out.find("failed to read the header"), std::string::npos) << s.out;

  RunResult none = phasesolve(dir, sim, {"reclim=5,6"});
  EXPECT_NE(none.status, 0);
  EXPECT_NE(none.out.find("    0 records read\n"), std::string::npos) << none.out;

  RunResult bad = phasesolve(dir, sim, {"refant=0"});
  EXPECT_NE(bad.status, 0);
  EXPECT_EQ(read_file(dir.file("phasesolve.log")), older);
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_NE(e.path().filename().string()[0], '.') << "temporary left behind: " << e.path();
}

TEST(Phasesolve, PairMissingFromTheProductTableGetsZero) {
  TempDir dir;
  std::vector<cx> g(96);
  for (int i = 1; i <= 96; ++i) g[i - 1] = std::polar(1.0f, 0.03f * i);
  std::vector<std::pair<int, int>> pairs;
  for (int a = 1; a <= 96; ++a) {
    for (int b = a + 1; b <= 96; ++b) {
      if (!(a == 4 && b == 6)) pairs.emplace_back(b, a);  // every pair in descending order
    }
  }
  pairs.emplace_back(1, 1);
  const Sim sim{dir.file("hand.arc"), dir.file("hand.layout"), ""};
  write_archive(sim.archive, sim.layout, pairs, g, 1.0f, 1);
  RunResult r = phasesolve(dir, sim, {"refant=6"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("  1540 not found in antenna number set"), std::string::npos) << r.out;
  const std::map<int, float> ph = read_phases(dir.file("phasesolve.log"));
  EXPECT_EQ(ph.at(4), 0.0f);
  // phase of g(6) conj(g(i)) = 0.03 (6 - i) radians, through the descending layout
  EXPECT_NEAR(ph.at(5), 0.03 * 1 * 57.29578, 0.051);
  EXPECT_NEAR(ph.at(40), 0.03 * (6 - 40) * 57.29578, 0.051);
}

TEST(Phasesolve, RecordLimitMessageOnceAndReadingGoesOn) {
  TempDir dir;
  std::vector<cx> g{cx(1, 0), cx(0, 1), cx(-1, 0)};
  const Sim sim{dir.file("long.arc"), dir.file("long.layout"), ""};
  write_archive(sim.archive, sim.layout, {{1, 2}, {3, 1}, {2, 3}, {1, 1}}, g, 1.0f, 5002, 3);
  RunResult r = phasesolve(dir, sim, {"refant=1"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::size_t first = r.out.find(" Reached MX record limit\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(r.out.find("Reached MX", first + 2), std::string::npos);
  EXPECT_NE(r.out.find(" 5002 records read\n"), std::string::npos);
  // pair (1, 2): g(1) conj(g(2)) = -i; pair (3, 1) in descending order: g(1) conj(g(3)) = -1
  EXPECT_EQ(lines(read_file(dir.file("phasesolve.log"))),
            (std::vector<std::string>{"data file : " + sim.archive, "   1     0.0", "   2   -90.0", "   3   180.0"}));
}
