// dumpscope end to end: the program run on simulated archives (talvasim) and
// on small hand-made ones.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/testsupport.h"
#include "util/textin.h"

using namespace talva::test;
namespace fs = std::filesystem;

namespace {

struct Sim {
  std::string archive;
  std::string layout;
};

Sim simulate(const TempDir& dir, const std::vector<std::string>& extra) {
  Sim s{dir.file("a.arc"), dir.file("layout.txt")};
  std::vector<std::string> args{"archive=" + s.archive, "layout=" + s.layout};
  args.insert(args.end(), extra.begin(), extra.end());
  RunResult r = run("talvasim", args);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return s;
}

RunResult scope(const Sim& s, const std::vector<std::string>& extra, const std::string& cwd = "") {
  std::vector<std::string> args{"infile=" + s.archive, "corrfile=" + s.layout, "device=/null"};
  args.insert(args.end(), extra.begin(), extra.end());
  return run("dumpscope", args, cwd);
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

/// The three statistics lines (mean, rms of real, imaginary, modulus).
std::vector<std::pair<double, double>> stats(const std::string& out) {
  std::vector<std::pair<double, double>> v;
  for (const std::string& line : lines(out)) {
    if (line.size() == 24 && line[0] == ' ' && (line[1] == '1' || line[1] == '2' || line[1] == '3') &&
        line.substr(2, 2) == "  ") {
      v.emplace_back(std::stod(line.substr(4, 10)), std::stod(line.substr(14, 10)));
    }
  }
  return v;
}

/// A small archive written by hand: nbsln products, no per-antenna records,
/// every dump tagged "TALVA" (no header block), each item (word1, word2).
void write_tiny_archive(const std::string& path, const std::vector<std::int32_t>& codes, int ndumps, float word1,
                        float word2) {
  std::ofstream f(path, std::ios::binary);
  auto put = [&](const void* p, std::size_t n) {
    f.write(static_cast<const char*>(p), static_cast<std::streamsize>(n));
  };
  const std::int32_t nant = 0;
  const auto nbsln = static_cast<std::int32_t>(codes.size());
  put(&nant, 4);
  put(&nbsln, 4);
  put(codes.data(), 4 * codes.size());
  for (int d = 0; d < ndumps; ++d) {
    char tag[12] = {'T', 'A', 'L', 'V', 'A', 0, 0, 0, 0, 0, 0, 0};
    put(tag, sizeof tag);
    for (int k = 0; k < nbsln; ++k) {
      put(&word1, 4);
      put(&word2, 4);
    }
  }
}

}  // namespace

TEST(DumpscopeRun, FortyFourPassesEqualOnePassPerSecondBay) {
  TempDir dir;
  const Sim s = simulate(dir, {"ndumps=12", "noise=0.05", "mdtilt=5", "mdrate=0.5"});
  const std::vector<std::string> common{"reclim=2,11", "navrg=3", "phstrk=t", "verbose=t", "dec=-30"};
  RunResult all = scope(s, common);
  ASSERT_EQ(all.status, 0) << all.out << all.err;
  // every pass prints what a run of its own prints after the start-up line
  std::string expect = lines(all.out).at(0) + "\n";
  for (int bay = 1; bay <= 44; ++bay) {
    std::vector<std::string> args = common;
    args.push_back("oneshot=t");
    args.push_back("option=ap(1e," + std::to_string(bay) + "w)");
    RunResult one = scope(s, args);
    ASSERT_EQ(one.status, 0) << one.out;
    expect += one.out.substr(one.out.find('\n') + 1);
  }
  EXPECT_EQ(all.out, expect);
  EXPECT_EQ(count_of(all.out, "records read"), 44);
  // verbose header lines are there in every pass (12 dumps read each time)
  EXPECT_EQ(count_of(all.out, "TEMP :"), 44 * 12);
}

TEST(DumpscopeRun, SameAntennaPassIsSkipped) {
  TempDir dir;
  const Sim s = simulate(dir, {"ndumps=3"});
  RunResult r = scope(s, {"option=ap(3e,3e)"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(count_of(r.out, "records read"), 43);
  EXPECT_EQ(r.out.find("a1     3  a2     3"), std::string::npos);
  EXPECT_NE(r.out.find("a1     2  a2     3"), std::string::npos);
  EXPECT_NE(r.out.find("a1     3  a2     4"), std::string::npos);
  // with oneshot the auto code 771 is searched and is not in the table
  RunResult one = scope(s, {"option=ap(3e,3e)", "oneshot=t"});
  EXPECT_NE(one.status, 0);
  EXPECT_NE(one.out.find("   771 not found in antenna number set\n"
                         "failed to find baseline for ant pair    3   0   3   0\n"
                         "select_baselines failed\n"),
            std::string::npos)
      << one.out;
}

TEST(DumpscopeRun, RecordWindowAndParameterBlocks) {
  TempDir dir;
  const Sim s = simulate(dir, {"ndumps=30", "date=2006,3,5", "time=13,7,9", "mdtilt=10", "mdrate=0.1", "temp=21.5",
                               "mode=3", "tilts=1,2,-3", "ra=6", "ha=-1"});
  RunResult r = scope(s, {"oneshot=t", "reclim=10,20"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\n   11 records read\n"), std::string::npos) << r.out;
  // blocks of dumps 1, r1 and r2, nothing else
  EXPECT_EQ(count_of(r.out, " REC="), 3);
  const std::size_t b10 = r.out.find(" REC= 10:\n");
  ASSERT_NE(b10, std::string::npos);
  EXPECT_NE(r.out.find(" REC= 1:\n    DATE= 2006 3 5\n    TIME= 13 7 9\n"), std::string::npos) << r.out;
  // MJD of 2006-03-05 is 53799, plus the day fraction of 13:07:09
  const std::size_t m = r.out.find("    MJDVAL= ");
  ASSERT_NE(m, std::string::npos);
  double mjd = 0;
  ASSERT_TRUE(talva::parse_real64(r.out.substr(m + 12, r.out.find('\n', m) - m - 12), mjd));
  EXPECT_NEAR(mjd, 53799.0 + (13 * 3600 + 7 * 60 + 9) / 86400.0, 1e-9);
  EXPECT_NE(r.out.find(" REC= 10:\n    DATE= 2006 3 5\n    TIME= 13 7 18\n"), std::string::npos);
  EXPECT_NE(r.out.find(" REC= 20:\n    DATE= 2006 3 5\n    TIME= 13 7 28\n"), std::string::npos);
  EXPECT_NE(r.out.find("    Temp = 21.5 deg C\n"), std::string::npos);
  EXPECT_NE(r.out.find("    NS TILT EAST: 2"), std::string::npos);
  EXPECT_NE(r.out.find("    NS TILT WEST: -3"), std::string::npos);
  EXPECT_NE(r.out.find("    MODE        : 3\n"), std::string::npos);
  EXPECT_NE(r.out.find("    MD tilt     : 10.8999"), std::string::npos);  // dump 10: 10 + 9 * 0.1
  EXPECT_NE(r.out.find("    RA= 6 DEC= -45 HA= -1\n"), std::string::npos);

  // r2 one past the end: the block at the end of the data repeats the last dump's values
  RunResult end = scope(s, {"oneshot=t", "reclim=0,31"});
  EXPECT_NE(end.out.find("\n   30 records read\n"), std::string::npos) << end.out;
  const std::size_t last = end.out.find(" REC= 31:\n    DATE= 2006 3 5\n    TIME= 13 7 38\n");
  EXPECT_NE(last, std::string::npos) << end.out;

  // no upper limit, and a first dump past the end: no record, a message, no failure
  RunResult none = scope(s, {"oneshot=t", "reclim=40,0"});
  EXPECT_EQ(none.status, 0) << none.out;
  EXPECT_NE(none.out.find("    0 records read\n no records stored: no statistics\n"), std::string::npos) << none.out;
}

TEST(DumpscopeRun, SummedPairsCarryTheirOrientation) {
  TempDir dir;
  // gains of unit amplitude and phase 7 degrees per antenna: V(a, b) = exp(i 7 (a - b) deg)
  std::string gains;
  for (int a = 1; a <= 96; ++a) {
    const double ph = 7.0 * a * M_PI / 180.0;
    gains += std::to_string(a) + " (" + std::to_string(std::cos(ph)) + "," + std::to_string(std::sin(ph)) + ") 1.0 " +
             std::to_string(7.0 * a) + "\n";
  }
  write_file(dir.file("gains.txt"), gains);
  const Sim s = simulate(dir, {"ndumps=4", "gains=" + dir.file("gains.txt")});

  // BS(2,B): 90 pairs one bay apart, each exp(-i 7 deg)
  RunResult bs = scope(s, {"option=bs(2,b)", "oneshot=t"});
  ASSERT_EQ(bs.status, 0) << bs.out;
  auto st = stats(bs.out);
  ASSERT_EQ(st.size(), 3u) << bs.out;
  EXPECT_NEAR(st[0].first, 90 * std::cos(7 * M_PI / 180), 0.01);
  EXPECT_NEAR(st[1].first, -90 * std::sin(7 * M_PI / 180), 0.01);
  EXPECT_NEAR(st[2].first, 90.0, 0.01);

  // BS(3,X): (1,51), (2,50), (3,49): phases -350, -336, -322 degrees
  RunResult x = scope(s, {"option=bs(3,x)", "oneshot=t"});
  st = stats(x.out);
  ASSERT_EQ(st.size(), 3u) << x.out;
  std::complex<double> sum;
  for (auto [a, b] : {std::pair{1, 51}, {2, 50}, {3, 49}}) sum += std::polar(1.0, 7.0 * (a - b) * M_PI / 180);
  EXPECT_NEAR(st[0].first, sum.real(), 0.01);
  EXPECT_NEAR(st[1].first, sum.imag(), 0.01);

  // one pair in both spellings of the option gives the same value
  RunResult ap = scope(s, {"option=AP(2E,5E)", "oneshot=t"});
  RunResult pa = scope(s, {"option=ap(5e,2e)", "oneshot=t"});
  st = stats(ap.out);
  ASSERT_EQ(st.size(), 3u) << ap.out;
  EXPECT_NEAR(st[1].first, std::sin(-21 * M_PI / 180), 0.001);
  EXPECT_EQ(stats(pa.out), st);
}

TEST(DumpscopeRun, MeridianDistanceGainCorrection) {
  TempDir dir;
  const Sim s = simulate(dir, {"ndumps=5", "gainamp=0", "gainphs=0"});
  write_file(dir.file("md.txt"), "0.0 0.25\n30.0 0.25\n60.0 0.25\n");
  RunResult plain = scope(s, {"oneshot=t"});
  RunResult corr = scope(s, {"oneshot=t", "mdcorr=t", "mdfile=" + dir.file("md.txt")});
  ASSERT_EQ(corr.status, 0) << corr.out;
  EXPECT_NE(corr.out.find("     3  mdtable entries"), std::string::npos) << corr.out;
  // statistics are taken before the correction: equal in both runs
  EXPECT_EQ(stats(plain.out), stats(corr.out));
  // pointings outside the site limits are reported record by record
  RunResult north = scope(s, {"oneshot=t", "mdcorr=t", "mdfile=" + dir.file("md.txt"), "dec=80"});
  EXPECT_EQ(north.status, 0);
  EXPECT_EQ(count_of(north.out, "** find_tilt err at h ="), 5) << north.out;
  // without a plot device the messages of every pass still come
  RunResult blind = run("dumpscope", {"infile=" + s.archive, "corrfile=" + s.layout, "device=/nodevice", "mdcorr=t",
                                      "mdfile=" + dir.file("md.txt"), "dec=80"});
  EXPECT_EQ(blind.status, 0);
  EXPECT_EQ(count_of(blind.out, "** find_tilt err at h ="), 44 * 5);
  // a missing table names the file
  RunResult missing = scope(s, {"oneshot=t", "mdcorr=t", "mdfile=" + dir.file("none.txt")});
  EXPECT_NE(missing.status, 0);
  EXPECT_NE((missing.out + missing.err).find("none.txt"), std::string::npos);
}

TEST(DumpscopeRun, FailuresStopWithTheirMessages) {
  TempDir dir;
  const Sim s = simulate(dir, {"ndumps=2"});

  RunResult bad = scope(s, {"option=XY(1,2)"});
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.out.find("no option key found\n options : AP/BS/BM/FX\n option cannot be decoded\n"), std::string::npos)
      << bad.out;

  Sim gone = s;
  gone.archive = dir.file("missing.arc");
  RunResult open = scope(gone, {});
  EXPECT_NE(open.status, 0);
  EXPECT_NE(open.out.find("failed to open : " + gone.archive + "\ninit failed\n"), std::string::npos) << open.out;

  write_file(dir.file("short.arc"), std::string("\x60\0\0\0\x10\0\0\0", 8));
  Sim cut = s;
  cut.archive = dir.file("short.arc");
  RunResult hdr = scope(cut, {});
  EXPECT_NE(hdr.status, 0);
  EXPECT_NE(hdr.out.find("failed to read the header\n"), std::string::npos) << hdr.out;

  // options that select nothing stop with a message instead of using a missing entry
  for (const char* opt : {"option=bm(0.5)", "option=fx()", "option=bs(50,e)"}) {
    RunResult r = scope(s, {opt});
    EXPECT_NE(r.status, 0) << opt;
    EXPECT_NE(r.out.find(" the option selects no baseline\nselect_baselines failed\n"), std::string::npos) << r.out;
  }

  // the last table entry (the simulator's auto pair of antenna 1) has no item
  RunResult last = scope(s, {"option=ap(1e,1e)", "oneshot=t"});
  EXPECT_NE(last.status, 0);
  EXPECT_NE(last.out.find("   257 has no correlation item in the dumps\n"), std::string::npos) << last.out;
}

TEST(DumpscopeRun, RecordLimitStopsTheDumpLoop) {
  TempDir dir;
  const std::string arc = dir.file("tiny.arc");
  write_tiny_archive(arc, {256 * 49 + 1, 257}, 50003, 0.5f, 2.0f);
  write_file(dir.file("tiny.layout"), "49 1\n1 1\n");
  RunResult r = run("dumpscope", {"infile=" + arc, "corrfile=" + dir.file("tiny.layout"), "device=/null", "oneshot=t"});
  ASSERT_EQ(r.status, 0) << r.out;
  // one dot per 1000 dumps; the 50000th record ends the loop
  EXPECT_NE(r.out.find("\n" + std::string(50, '.') + " Reached MX record limit\n50000 records read\n"),
            std::string::npos)
      << r.out.substr(0, 2000);
  // the layout line "49 1" is in descending order: the value is conjugated
  auto st = stats(r.out);
  ASSERT_EQ(st.size(), 3u);
  EXPECT_NEAR(st[0].first, 2.0, 1e-3);
  EXPECT_NEAR(st[1].first, -0.5, 1e-3);
}

TEST(DumpscopeRun, ProductWithoutLayoutLineIsRefused) {
  TempDir dir;
  const std::string arc = dir.file("tiny.arc");
  write_tiny_archive(arc, {256 * 49 + 1, 256 * 49 + 2, 257}, 3, 0.5f, 2.0f);
  write_file(dir.file("short.layout"), "49 1\n");  // covers product index 2 only
  auto go = [&](const char* option) {
    return run("dumpscope",
               {"infile=" + arc, "corrfile=" + dir.file("short.layout"), "device=/null", "oneshot=t", option});
  };
  RunResult ok = go("option=ap(1e,1w)");
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_NE(ok.out.find("    3 records read"), std::string::npos);
  RunResult r = go("option=ap(2e,1w)");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find(" 12546 has no line in the correlator layout (product 3)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("select_baselines failed\n"), std::string::npos);
}

TEST(DumpscopePlot, PanelsGoToPngFiles) {
  TempDir dir;
  const Sim s = simulate(dir, {"ndumps=6", "noise=0.1"});
  RunResult r = run("dumpscope", {"infile=" + s.archive, "corrfile=" + s.layout, "device=" + dir.file("p.png") + "/png",
                                  "nxy=2,2", "oneshot=t", "pltfrng=t"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto bytes = read_bytes(dir.file("p.png"));
  ASSERT_GT(bytes.size(), 1000u);
  const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  EXPECT_EQ(std::memcmp(bytes.data(), signature, 8), 0);

  // one panel per page: four pages for one pass
  RunResult pages = run("dumpscope", {"infile=" + s.archive, "corrfile=" + s.layout,
                                      "device=" + dir.file("q.png") + "/png", "oneshot=t"});
  ASSERT_EQ(pages.status, 0);
  for (int k = 0; k < 4; ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "q_%04d.png", k);
    EXPECT_TRUE(fs::exists(dir.file(name))) << name;
  }
  EXPECT_FALSE(fs::exists(dir.file("q_0004.png")));

  // a device that cannot be opened: one warning, the printed output still comes
  RunResult nodev = run("dumpscope", {"infile=" + s.archive, "corrfile=" + s.layout, "device=/nodevice"});
  EXPECT_EQ(nodev.status, 0);
  EXPECT_EQ(count_of(nodev.out, "cannot open plot device /nodevice"), 1);
  EXPECT_EQ(count_of(nodev.out, "records read"), 44);
}
