// gainsolve: its file writers, and the program run end to end on simulated
// calibrator archives (dump range, rejections, MD data, failure paths).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <limits>
#include <random>

#include <sstream>

#include "calib/mdgain.h"
#include "calsim.h"
#include "programs/gainsolve/calgains_files.h"

using talva::calib::load_phasecal_;

using namespace talva::test;
using namespace talva::test::cal;
namespace cg = talva::calgains;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

}  // namespace

// ---------------------------------------------------------------- writers

TEST(GainsolveFiles, GainsLinesReadBackExactly) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-2.0f, 2.0f);
  std::vector<cx> g(96);
  for (cx& v : g) v = cx(u(rng), u(rng));
  g[4] = cx(0.0f, 0.0f);
  const std::vector<std::string> lines = cg::gains_lines(g);
  ASSERT_EQ(lines.size(), 96u);
  for (std::size_t k = 0; k < lines.size(); ++k) {
    talva::FreeFormat f(lines[k], nullptr);
    EXPECT_EQ(f.integer("antenna"), static_cast<int>(k + 1));
    EXPECT_EQ(f.complex32("gain"), g[k]) << lines[k];  // bit for bit
    EXPECT_NEAR(f.real32("amp"), std::abs(g[k]), 1e-6f);
    EXPECT_NEAR(f.real32("phase"), arg_deg(g[k]), 1e-4);
  }
}

TEST(GainsolveFiles, PhaseSignsAndSpecialGains) {
  const std::vector<cx> g{cx(0, 0), cx(0, 1), cx(1, 0), cx(-1, 0), cx(0, -2), cx(1, 1)};
  const std::vector<std::string> gl = cg::gains_lines(g);
  const std::vector<std::string> pl = cg::phase_lines(g);
  ASSERT_EQ(pl.size(), g.size() + 1);
  // the title: one line of 39 characters, as it stands
  EXPECT_EQ(pl[0], std::string(cg::kPhaseTitle));
  EXPECT_EQ(std::string(cg::kPhaseTitle).size(), 39u);

  auto gain_phase = [&](int k) { return std::stof(fields(gl[static_cast<std::size_t>(k)]).back()); };
  auto file_phase = [&](int k) { return fields(pl[static_cast<std::size_t>(k + 1)]).at(1); };
  // (0, 0): phase 0 in both files, never "-0"
  EXPECT_EQ(fields(gl[0]).at(1), "(0,0)");
  EXPECT_EQ(gain_phase(0), 0.0f);
  EXPECT_EQ(file_phase(0), "0");
  // (0, 1): +90 in the gains file, -90 in the phase file
  EXPECT_FLOAT_EQ(gain_phase(1), 90.0f);
  EXPECT_FLOAT_EQ(std::stof(file_phase(1)), -90.0f);
  EXPECT_EQ(file_phase(2), "0");
  // (-1, 0): 180 in the gains file, brought to the other end in the phase file
  EXPECT_FLOAT_EQ(gain_phase(3), 180.0f);
  EXPECT_FLOAT_EQ(std::fabs(std::stof(file_phase(3))), 180.0f);
  EXPECT_FLOAT_EQ(gain_phase(4), -90.0f);
  EXPECT_FLOAT_EQ(std::stof(file_phase(4)), 90.0f);
  EXPECT_FLOAT_EQ(std::stof(file_phase(5)), -45.0f);
  EXPECT_FLOAT_EQ(std::stof(fields(gl[5]).at(2)), std::sqrt(2.0f));
}

TEST(GainsolveFiles, MdDataFileNames) {
  EXPECT_EQ(cg::mdt_file_name("cal.gains"), "cal.md_dat");
  EXPECT_EQ(cg::mdt_file_name("gainsout"), "md_dat");
  EXPECT_EQ(cg::mdt_file_name("gains.log"), "gains.md_dat");
  EXPECT_EQ(cg::mdt_file_name("a.b.c"), "a.md_dat");
  EXPECT_EQ(cg::mdt_file_name("cal."), "cal.md_dat");
  // only the file name counts: dots in directories do not move the file
  EXPECT_EQ(cg::mdt_file_name("/tmp/run.1/cal.gains"), "/tmp/run.1/cal.md_dat");
  EXPECT_EQ(cg::mdt_file_name("../out.d/gains"), "../out.d/md_dat");
  EXPECT_EQ(cg::mdt_file_name("./gains"), "./md_dat");
}

// ---------------------------------------------------------------- end to end

namespace {

/// One gainsolve run in `dir` on `sim`, with the keywords `extra`.
RunResult gainsolve(const TempDir& dir, const Sim& sim, const std::vector<std::string>& extra) {
  std::vector<std::string> args{"infile=" + sim.archive, "corlfile=" + sim.layout, "rejects=" + no_rejects(dir)};
  args.insert(args.end(), extra.begin(), extra.end());
  return run("gainsolve", args, dir.path().string());
}

double max_error(const std::vector<cx>& a, const std::vector<cx>& b) {
  double e = 0;
  for (int i = 1; i <= 96; ++i) {
    if (classified(i)) e = std::max(e, double(std::abs(a[i - 1] - b[i - 1])));
  }
  return e;
}

}  // namespace

TEST(Gainsolve, NoiseFreeCalibratorGivesTheTrueGainsAndAllFiles) {
  TempDir dir;
  const Sim sim = simulate(dir, "cal", {"ndumps=4", "seed=11", "flux=2.5"});
  RunResult r = gainsolve(dir, sim, {"calflx=2.5", "refant=5"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("records read 4\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Solving For Gains: refant= 5"), std::string::npos) << r.out;

  const std::vector<cx> truth = referenced(read_gains(sim.truth), 5);
  const std::vector<cx> g = read_gains(dir.file("gains.log"));
  EXPECT_LT(max_error(g, truth), 1e-4);
  EXPECT_EQ(g[4].imag(), 0.0f);
  EXPECT_GT(g[4].real(), 0.0f);
  for (int a : {45, 46, 47, 48, 93, 94, 95, 96}) EXPECT_EQ(g[a - 1], cx(0, 0)) << a;

  // phase_dmp.log: minus the gain phases; the converter's reader takes it back
  const std::map<int, float> ph = read_phases(dir.file("phase_dmp.log"));
  ASSERT_EQ(ph.size(), 96u);
  for (int i = 1; i <= 96; ++i) {
    EXPECT_NEAR(phase_diff_deg(ph.at(i), -arg_deg(g[i - 1])), 0.0, 1e-3) << i;
  }
  const std::string phase_file = read_file(dir.file("phase_dmp.log"));
  EXPECT_EQ(phase_file.substr(0, 40), "gainsolve: minus the phase of each gain\n");  // a 39-character title
  std::vector<float> rad(96, 99.0f);
  int status = -1;
  talva::StringOutput out;
  load_phasecal_(dir.file("phase_dmp.log"), 96, rad, status, out);
  EXPECT_NEAR(rad[9], -std::arg(g[9]), 1e-5);
  // files of earlier runs, whose title had a leading blank, read alike
  talva::test::write_file(dir.file("old_phase_dmp.log"), " " + phase_file);
  std::vector<float> old_rad(96, 99.0f);
  load_phasecal_(dir.file("old_phase_dmp.log"), 96, old_rad, status, out);
  EXPECT_EQ(old_rad, rad);

  // without mdcorr the MD data file holds tilt 0 and gain 1
  const std::vector<std::string> md = lines(read_file(dir.file("gains.md_dat")));
  ASSERT_EQ(md.size(), 1u);
  const std::vector<std::string> v = fields(md[0]);
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(std::stof(v[0]), 0.0f);
  EXPECT_EQ(std::stof(v[1]), 1.0f);
  // nothing half-written is left behind
  for (const auto& e : fs::directory_iterator(dir.path())) EXPECT_NE(e.path().extension(), ".part") << e.path();
}

TEST(Gainsolve, DumpRangeSelectsTheDumps) {
  TempDir dir;
  // one gain set, noise that differs between dumps: the average depends on the range
  const Sim sim = simulate(dir, "cal", {"ndumps=8", "seed=3", "noise=0.05"});
  RunResult all = gainsolve(dir, sim, {"gnsfile=all.g", "reclim=1,-1"});
  ASSERT_EQ(all.status, 0) << all.out;
  EXPECT_NE(all.out.find("records read 8\n"), std::string::npos) << all.out;
  RunResult one = gainsolve(dir, sim, {"gnsfile=five.g", "reclim=5,5"});
  ASSERT_EQ(one.status, 0) << one.out;
  EXPECT_NE(one.out.find("records read 1\n"), std::string::npos) << one.out;
  RunResult tail = gainsolve(dir, sim, {"gnsfile=tail.g", "reclim=-3,1"});  // r1 -> 1, r2 <= 1: no limit
  ASSERT_EQ(tail.status, 0) << tail.out;
  EXPECT_NE(tail.out.find("records read 8\n"), std::string::npos) << tail.out;
  EXPECT_EQ(read_file(dir.file("all.g")), read_file(dir.file("tail.g")));
  EXPECT_NE(read_file(dir.file("all.g")), read_file(dir.file("five.g")));

  // the last dump of the range: dumps 1..5 of this archive are the whole of a
  // five-dump archive made with the same keywords
  const Sim five = simulate(dir, "five", {"ndumps=5", "seed=3", "noise=0.05"});
  RunResult cut = gainsolve(dir, sim, {"gnsfile=cut.g", "reclim=1,5"});
  RunResult whole = gainsolve(dir, five, {"gnsfile=whole.g"});
  ASSERT_EQ(cut.status, 0) << cut.out;
  ASSERT_EQ(whole.status, 0) << whole.out;
  EXPECT_NE(cut.out.find("records read 5\n"), std::string::npos) << cut.out;
  EXPECT_EQ(read_file(dir.file("cut.g")), read_file(dir.file("whole.g")));

  // which dumps: the MD tilt grows by one degree per dump (dump k: k - 1 degrees)
  const Sim tilted = simulate(dir, "tilted", {"ndumps=8", "mdtilt=0", "mdrate=1"});
  write_file(dir.file("md.tbl"), "0 1.0\n90 1.0\n");
  const std::string md = "mdfile=" + dir.file("md.tbl");
  auto average_tilt_deg = [&](const std::string& range, const std::string& name) {
    RunResult r = gainsolve(dir, tilted, {"gnsfile=" + name + ".g", "reclim=" + range, "mdcorr=t", md});
    EXPECT_EQ(r.status, 0) << r.out;
    return std::stod(fields(lines(read_file(dir.file(name + ".md_dat"))).at(0)).at(0)) * 180.0 / M_PI;
  };
  EXPECT_NEAR(average_tilt_deg("5,5", "d5"), 4.0, 1e-4);
  EXPECT_NEAR(average_tilt_deg("2,3", "d23"), 1.5, 1e-4);
  EXPECT_NEAR(average_tilt_deg("6,-1", "d6"), 6.0, 1e-4);  // dumps 6..8
}

TEST(Gainsolve, FailuresWriteNothing) {
  TempDir dir;
  const Sim sim = simulate(dir, "cal", {"ndumps=3"});
  write_file(dir.file("gains.log"), "old gains\n");
  RunResult none = gainsolve(dir, sim, {"reclim=7,9"});
  EXPECT_NE(none.status, 0);
  EXPECT_NE(none.out.find("records read 0\n"), std::string::npos) << none.out;
  EXPECT_NE(none.out.find("no dump in the record range"), std::string::npos) << none.out;

  Sim missing = sim;
  missing.archive = dir.file("nothing.arc");
  RunResult r = gainsolve(dir, missing, {});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("init failed"), std::string::npos) << r.out;
  Sim shortf = sim;
  shortf.archive = dir.file("short.arc");
  write_file(shortf.archive, "abc");
  RunResult s = gainsolve(dir, shortf, {});
  EXPECT_NE(s.status, 0);
  EXPECT_NE(s.out.find("failed to read the header"), std::string::npos) << s.out;

  // a model of zero flux would give meaningless unit gains
  RunResult zero = gainsolve(dir, sim, {"calflx=0"});
  EXPECT_NE(zero.status, 0);
  EXPECT_NE(zero.out.find("calflx"), std::string::npos) << zero.out;
  // an MD table of zero gain makes the scaled model zero as well
  write_file(dir.file("dead.tbl"), "0 0.0\n90 0.0\n");
  RunResult dead = gainsolve(dir, sim, {"mdcorr=t", "mdfile=" + dir.file("dead.tbl")});
  EXPECT_NE(dead.status, 0);
  EXPECT_NE(dead.out.find("not a positive flux"), std::string::npos) << dead.out;

  EXPECT_EQ(read_file(dir.file("gains.log")), "old gains\n");
  EXPECT_FALSE(fs::exists(dir.file("phase_dmp.log")));
  EXPECT_FALSE(fs::exists(dir.file("gains.md_dat")));
}

TEST(Gainsolve, MdCorrectionScalesTheModel) {
  TempDir dir;
  // MD tilt 5 degrees on every dump; the table gives the mean of the bracketing gains, 0.9
  const Sim sim = simulate(dir, "cal", {"ndumps=3", "seed=5", "mdtilt=5"});
  write_file(dir.file("md.tbl"), "0 1.0\n10 0.8\n20 0.5\n");
  RunResult plain = gainsolve(dir, sim, {"gnsfile=plain.g"});
  ASSERT_EQ(plain.status, 0) << plain.out;
  RunResult md = gainsolve(dir, sim, {"gnsfile=md.g", "mdcorr=t", "mdfile=" + dir.file("md.tbl")});
  ASSERT_EQ(md.status, 0) << md.out << md.err;
  EXPECT_NE(md.out.find("Average md_tilt="), std::string::npos) << md.out;
  EXPECT_NE(md.out.find("md_tilt="), std::string::npos);

  const std::vector<std::string> v = fields(lines(read_file(dir.file("md.md_dat"))).at(0));
  ASSERT_EQ(v.size(), 2u);
  EXPECT_NEAR(std::stod(v[0]), 5.0 * M_PI / 180.0, 1e-5);
  EXPECT_NEAR(std::stod(v[1]), 0.9, 1e-6);
  // model 0.9 instead of 1: every gain grows by 1/sqrt(0.9)
  const std::vector<cx> gp = read_gains(dir.file("plain.g"));
  const std::vector<cx> gm = read_gains(dir.file("md.g"));
  for (int i : {1, 20, 44, 49, 92}) {
    EXPECT_NEAR(std::abs(gm[i - 1]) / std::abs(gp[i - 1]), 1.0 / std::sqrt(0.9), 1e-4) << i;
  }
}

TEST(Gainsolve, RejectedAntennaComesBackZero) {
  TempDir dir;
  const Sim sim = simulate(dir, "cal", {"ndumps=2", "seed=9"});
  write_file(dir.file("bad.ants"), "7\n60 99\n");
  RunResult r = gainsolve(dir, sim, {"antrejct=" + dir.file("bad.ants")});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<cx> g = read_gains(dir.file("gains.log"));
  EXPECT_EQ(g[6], cx(0, 0));
  EXPECT_EQ(g[59], cx(0, 0));
  const std::map<int, float> ph = read_phases(dir.file("phase_dmp.log"));
  EXPECT_EQ(ph.at(7), 0.0f);
  EXPECT_EQ(ph.at(60), 0.0f);
  // the other antennas are still solved exactly
  std::vector<cx> truth = referenced(read_gains(sim.truth), 1);
  truth[6] = truth[59] = cx(0, 0);
  EXPECT_LT(max_error(g, truth), 1e-4);
}

TEST(Gainsolve, RejectedProductsByIndex) {
  TempDir dir;
  const Sim sim = simulate(dir, "cal", {"ndumps=2", "seed=4"});
  // reject, by product index, every product of antenna 10 (layout line k is index k + 1)
  const std::vector<std::string> layout = lines(read_file(sim.layout));
  std::string list;
  int count = 0;
  for (std::size_t k = 0; k < layout.size(); ++k) {
    const std::vector<std::string> ab = fields(layout[k]);
    if (ab.size() >= 2 && (std::stoi(ab[0]) == 10 || std::stoi(ab[1]) == 10)) {
      list += std::to_string(k + 2) + "\n";
      ++count;
    }
  }
  ASSERT_EQ(count, 95);
  write_file(dir.file("ten.rej"), std::to_string(count) + "\n" + list);
  std::vector<std::string> args{"infile=" + sim.archive, "corlfile=" + sim.layout, "rejects=" + dir.file("ten.rej")};
  RunResult r = run("gainsolve", args, dir.path().string());
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<cx> g = read_gains(dir.file("gains.log"));
  EXPECT_EQ(g[9], cx(0, 0));
  std::vector<cx> truth = referenced(read_gains(sim.truth), 1);
  truth[9] = cx(0, 0);
  EXPECT_LT(max_error(g, truth), 1e-4);
}

TEST(Gainsolve, RefantChoices) {
  TempDir dir;
  const Sim sim = simulate(dir, "cal", {"ndumps=2", "seed=21"});
  // 0: the first active antenna; an antenna in no class cannot be the reference
  ASSERT_EQ(gainsolve(dir, sim, {"refant=0"}).status, 0);
  const std::vector<cx> g0 = read_gains(dir.file("gains.log"));
  EXPECT_EQ(g0[0].imag(), 0.0f);
  EXPECT_LT(max_error(g0, referenced(read_gains(sim.truth), 1)), 1e-4);
  RunResult bad = gainsolve(dir, sim, {"gnsfile=bad.g", "refant=46"});
  EXPECT_NE(bad.status, 0);
  EXPECT_FALSE(fs::exists(dir.file("bad.g")));
  RunResult out = gainsolve(dir, sim, {"gnsfile=out.g", "refant=97"});
  EXPECT_NE(out.status, 0);
  EXPECT_FALSE(fs::exists(dir.file("out.g")));
}

TEST(Gainsolve, PairsWithoutACorrelationAreLeftOutOnce) {
  TempDir dir;
  std::vector<cx> g(96);
  for (int i = 1; i <= 96; ++i) g[i - 1] = std::polar(1.0f + 0.002f * i, 0.05f * i);
  // all pairs of antennas 1..96 but (2, 3); pair (5, 9) last, where its item
  // lies past the dump; a dummy last-but-one entry would hide that
  std::vector<std::pair<int, int>> pairs;
  for (int a = 1; a <= 96; ++a) {
    for (int b = a + 1; b <= 96; ++b) {
      if ((a == 2 && b == 3) || (a == 5 && b == 9)) continue;
      pairs.emplace_back((a + b) % 5 == 0 ? b : a, (a + b) % 5 == 0 ? a : b);
    }
  }
  pairs.emplace_back(9, 5);
  const Sim sim{dir.file("hand.arc"), dir.file("hand.layout"), ""};
  write_archive(sim.archive, sim.layout, pairs, g, 1.0f, 2);
  RunResult r = gainsolve(dir, sim, {"refant=1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto count = [&](const std::string& what) {
    std::size_t n = 0;
    for (std::size_t p = r.out.find(what); p != std::string::npos; p = r.out.find(what, p + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("   770 not found in antenna number set"), 1u) << r.out;
  EXPECT_EQ(count("  2309 "), 1u) << r.out;  // (5, 9): code 9 * 256 + 5
  const std::vector<cx> solved = read_gains(dir.file("gains.log"));
  EXPECT_LT(max_error(solved, referenced(g, 1)), 1e-4);
}

TEST(Gainsolve, NonFiniteCorrelationsStayOutOfTheMeans) {
  TempDir dir;
  std::vector<cx> g(96);
  for (int i = 1; i <= 96; ++i) g[i - 1] = std::polar(1.0f - 0.003f * i, -0.04f * i);
  std::vector<std::pair<int, int>> pairs;
  for (int a = 1; a <= 96; ++a) {
    for (int b = a + 1; b <= 96; ++b) pairs.emplace_back(a, b);
  }
  pairs.emplace_back(1, 1);
  const Sim sim{dir.file("nan.arc"), dir.file("nan.layout"), ""};
  write_archive(sim.archive, sim.layout, pairs, g, 1.0f, 3);
  // damage pair (2, 7) in dump 2 and pair (3, 8) in every dump
  std::vector<unsigned char> bytes = read_bytes(sim.archive);
  const std::size_t nbsln = pairs.size();
  auto item = [&](int dump, int a, int b) {
    std::size_t k = 0;
    while (pairs[k] != std::make_pair(a, b)) ++k;
    const std::size_t dump_start = 8 + 4 * nbsln + static_cast<std::size_t>(dump - 1) * (12 + 96 * 24 + 8 * nbsln);
    return dump_start + 12 + 96 * 24 + 8 * (k + 1);  // table entry k + 1 is item k + 2
  };
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  std::memcpy(&bytes[item(2, 2, 7)], &nan, 4);
  for (int d = 1; d <= 3; ++d) std::memcpy(&bytes[item(d, 3, 8) + 4], &inf, 4);
  write_file(sim.archive, std::string(bytes.begin(), bytes.end()));

  RunResult r = gainsolve(dir, sim, {"refant=1"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("  2051 has no finite correlation"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("  1794 has no finite"), std::string::npos) << r.out;  // (2, 7) keeps dumps 1 and 3
  EXPECT_LT(max_error(read_gains(dir.file("gains.log")), referenced(g, 1)), 1e-4);
}

// A calibrator without signal stops both solvers naming the archive, and
// writes no file: all zero, or no finite value at all.
TEST(Gainsolve, CalibratorWithoutSignalStopsBothSolvers) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const float flux : {0.0f, nan}) {
    SCOPED_TRACE(flux);
    TempDir dir;
    std::vector<cx> g(96, cx(1.0f, 0.0f));
    std::vector<std::pair<int, int>> pairs;
    for (int a = 1; a <= 12; ++a)
      for (int b = a + 1; b <= 12; ++b) pairs.emplace_back(a, b);
    pairs.emplace_back(1, 1);
    const Sim sim{dir.file("flat.arc"), dir.file("flat.layout"), ""};
    write_archive(sim.archive, sim.layout, pairs, g, flux, 2);
    RunResult r = gainsolve(dir, sim, {"refant=1"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(sim.archive + ": no used pair has a nonzero finite correlation"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("gains.log")));
    r = run("phasesolve", {"infile=" + sim.archive, "corlfile=" + sim.layout, "rejects=" + no_rejects(dir)},
            dir.path().string());
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(sim.archive + ": no pair of refant 1 has a nonzero finite correlation"), std::string::npos)
        << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("phasesolve.log")));
  }
}
