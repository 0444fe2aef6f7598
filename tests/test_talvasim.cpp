// The simulator against the reader: product table, layout lines and
// conjugation signs, correlations of the gain model, dump headers through the
// accessors (tags, date rollover, sidereal hour angle), determinism, noise,
// truncation, the size options, refused settings; and the archinfo listing.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "calib/gains_table.h"
#include "support/testsupport.h"

using talva::archive::ArchiveReader;
using talva::archive::Dump;
using talva::archive::DumpHeader;
using talva::array::c_layout_common_t;
using talva::array::getvis;
using talva::array::load_corr_layout_file_;

using talva::test::bin;
using talva::test::read_bytes;
using talva::test::run;
using talva::test::TempDir;

namespace {

constexpr double kPi = 3.14159265358979323846;

std::complex<float> known_gain(int i) {
  const double amp = 1.0 + 0.01 * i;
  const double ph = 0.37 * i;
  return {static_cast<float>(amp * std::cos(ph)), static_cast<float>(amp * std::sin(ph))};
}

/// A gains file in the gain calibration program's form.
void write_known_gains(const std::string& path) {
  std::string text;
  for (int i = 1; i <= 96; ++i) {
    const auto g = known_gain(i);
    char line[128];
    std::snprintf(line, sizeof line, " %d (%.9g,%.9g) 1.0 0.0\n", i, double{g.real()}, double{g.imag()});
    text += line;
  }
  text += " 97 (5.0,5.0) 1 0\n";  // outside 1..96: dropped
  talva::test::write_file(path, text);
}

void simulate(const TempDir& dir, std::vector<std::string> args, const std::string& arch = "arch.dat",
              const std::string& lay = "layout.file") {
  args.push_back("archive=" + dir.file(arch));
  args.push_back("layout=" + dir.file(lay));
  const auto r = run("talvasim", args);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
}

struct Opened {
  int nant = 0, nbsln = 0;
  std::vector<std::int32_t> table;
  std::vector<float> vis;  ///< the latest dump's correlations
  DumpHeader header;       ///< and its header
};

class Simulator : public ::testing::Test {
 protected:
  void open(const std::string& path, Opened& o) {
    reader.reset();
    reader.emplace(path, out);
    o.nant = reader->file_header().nant;
    o.nbsln = reader->file_header().nbsln;
    o.table = reader->file_header().antnum;
  }
  /// The next dump into `o`; -1 at the end of the data.
  int read(Opened& o) {
    const std::optional<Dump> dump = reader->next();
    if (!dump) return -1;
    o.vis.assign(dump->vis.begin(), dump->vis.end());
    o.header = dump->header;
    return 0;
  }
  TempDir dir;
  talva::StringOutput out;
  std::optional<ArchiveReader> reader;
};

TEST_F(Simulator, ProductTableLayoutAndCorrelations) {
  write_known_gains(dir.file("g.txt"));
  simulate(dir, {"gains=" + dir.file("g.txt"), "flux=2.5", "ndumps=2"});
  const auto lines = talva::test::lines(talva::test::read_file(dir.file("layout.file")));
  ASSERT_EQ(lines.size(), 4561u);
  EXPECT_EQ(lines.back(), "1 1");
  talva::StringOutput out;
  const c_layout_common_t layout = load_corr_layout_file_(dir.file("layout.file"), out);

  Opened o;
  open(dir.file("arch.dat"), o);
  EXPECT_EQ(o.nant, 96);
  ASSERT_EQ(o.nbsln, 4561);
  EXPECT_EQ(o.table[4560], 257);
  std::map<int, int> seen;
  int descending = 0;
  for (int k = 1; k < o.nbsln; ++k) {
    const int n = k + 1;  // product index of table entry k
    ASSERT_EQ(o.table[k - 1], layout.lay_code[n - 1]) << k;
    const int a = layout.lay_ant1[n - 1], b = layout.lay_ant2[n - 1];
    ASSERT_LT(a, b);
    ++seen[256 * b + a];
    if (layout.lay_sign[n - 1] < 0) {
      ++descending;
      EXPECT_EQ(k % 7, 0) << k;
    }
  }
  EXPECT_EQ(seen.size(), 4560u);  // every cross pair once
  EXPECT_EQ(descending, 4560 / 7);

  for (int d = 0; d < 2; ++d) {
    ASSERT_EQ(read(o), 0);
    EXPECT_EQ(o.vis[0], 0.0f);  // item 1 belongs to no pair
    EXPECT_EQ(o.vis[1], 0.0f);
    for (int k = 1; k < o.nbsln; ++k) {
      const int n = k + 1;
      const int a = layout.lay_ant1[n - 1], b = layout.lay_ant2[n - 1];
      const std::complex<double> model =
          std::complex<double>(known_gain(a)) * 2.5 * std::conj(std::complex<double>(known_gain(b)));
      const std::complex<float> v = getvis(layout, n, o.vis);
      ASSERT_NEAR(v.real(), model.real(), 1e-5) << a << " " << b;
      ASSERT_NEAR(v.imag(), model.imag(), 1e-5) << a << " " << b;
      // the stored words themselves: word 2 real, word 1 imaginary times the sign
      ASSERT_EQ(o.vis[2 * n - 1], static_cast<float>(model.real()));
      ASSERT_EQ(o.vis[2 * n - 2], static_cast<float>(layout.lay_sign[n - 1] * model.imag()));
    }
  }
  EXPECT_EQ(read(o), -1);
}

TEST_F(Simulator, DecodedDumpHeaders) {
  simulate(dir, {"ndumps=7", "date=2008,2,28", "time=23,59,58", "dt=1", "ra=5.5", "dec=-30", "ha=1", "mdtilt=10",
                 "mdrate=0.5", "tilts=0.1,0.2,-0.3", "temp=31.5", "mode=-2", "talvatags=3", "hdrlen=84", "nant=0"});
  Opened o;
  open(dir.file("arch.dat"), o);
  EXPECT_EQ(o.nant, 0);
  // 2008 is a leap year: 28 Feb 23:59:58, 23:59:59, 29 Feb 00:00:00, ...
  const int days[] = {28, 28, 28, 29, 29, 29, 29};
  const int secs[] = {58, 59, 59, 1, 2, 2, 4};  // dumps 3 and 6 repeat the previous header
  const int header_dump[] = {0, 1, 1, 3, 4, 4, 6};
  for (int d = 0; d < 7; ++d) {
    SCOPED_TRACE(d + 1);
    ASSERT_EQ(read(o), 0);
    const DumpHeader& h = o.header;
    const int yr = h.year, mn = h.mon, dy = h.day, hr = h.hr, mi = h.mins, se = h.sec, mode = h.mode;
    const float ha = h.ha_hours, ra = h.ra_hours, dec = h.dec_deg, temp = h.temp_c;
    const float ns = h.ns_tilt_deg, md = h.md_tilt_deg, east = h.east_tilt_deg, west = h.west_tilt_deg;
    EXPECT_EQ(yr, 2008);
    EXPECT_EQ(mn, 2);
    EXPECT_EQ(dy, days[d]);
    EXPECT_EQ(hr, days[d] == 28 ? 23 : 0);
    EXPECT_EQ(mi, days[d] == 28 ? 59 : 0);
    EXPECT_EQ(se, secs[d]);
    EXPECT_EQ(mode, -2);
    const int n = header_dump[d];
    EXPECT_NEAR(ha, 1.0 + n * 7.2921159e-5 * (180 / kPi) / 15, 2e-6);
    EXPECT_NEAR(ra, 5.5, 1e-5);
    EXPECT_NEAR(dec, -30.0, 1e-5);
    EXPECT_EQ(temp, 31.5f);
    EXPECT_NEAR(md, 10.0 + 0.5 * n, 1e-4);
    EXPECT_NEAR(ns, 0.1, 1e-6);
    EXPECT_NEAR(east, 0.2, 1e-6);
    EXPECT_NEAR(west, -0.3, 1e-6);
  }
  EXPECT_EQ(read(o), -1);
  // file size: header blocks of 84 bytes on 5 of the 7 dumps, no antenna records
  const auto size = std::filesystem::file_size(dir.file("arch.dat"));
  EXPECT_EQ(size, 8u + 4 * 4561 + 7 * (12 + 8 * 4561) + 5 * 84);
}

TEST_F(Simulator, YearEndRollover) {
  simulate(dir, {"ndumps=2", "date=2006,12,31", "time=23,59,30", "dt=45"});
  Opened o;
  open(dir.file("arch.dat"), o);
  ASSERT_EQ(read(o), 0);
  ASSERT_EQ(read(o), 0);
  const DumpHeader& h = o.header;
  EXPECT_EQ(h.year * 10000 + h.mon * 100 + h.day, 20070101);
  EXPECT_EQ(h.hr * 10000 + h.mins * 100 + h.sec, 15);
}

TEST_F(Simulator, SameSeedSameBytesAndGainsRoundTrip) {
  const std::vector<std::string> common = {"ndumps=3", "noise=0.2", "gainamp=0.3", "gainphs=40"};
  auto with = [&](std::vector<std::string> extra) {
    extra.insert(extra.end(), common.begin(), common.end());
    return extra;
  };
  simulate(dir, with({"seed=7", "gainsout=" + dir.file("g7.txt")}), "a.dat", "la");
  simulate(dir, with({"seed=7"}), "b.dat", "lb");
  simulate(dir, with({"seed=8"}), "c.dat", "lc");
  // the gains written out and read back give the same archive
  simulate(dir, with({"seed=7", "gains=" + dir.file("g7.txt")}), "d.dat", "ld");
  const auto a = read_bytes(dir.file("a.dat"));
  EXPECT_EQ(a, read_bytes(dir.file("b.dat")));
  EXPECT_NE(a, read_bytes(dir.file("c.dat")));
  EXPECT_EQ(a, read_bytes(dir.file("d.dat")));
  EXPECT_EQ(read_bytes(dir.file("la")), read_bytes(dir.file("lc")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("a.dat.part")));

  // the random gains keep to their amplitude and phase ranges
  const auto lines = talva::test::lines(talva::test::read_file(dir.file("g7.txt")));
  ASSERT_EQ(lines.size(), 96u);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    int ant = 0;
    float re = 0, im = 0, amp = 0, ph = 0;
    ASSERT_EQ(std::sscanf(lines[i].c_str(), " %d (%f,%f) %f %f", &ant, &re, &im, &amp, &ph), 5) << lines[i];
    EXPECT_EQ(ant, static_cast<int>(i) + 1);
    EXPECT_GE(amp, 0.7f);
    EXPECT_LE(amp, 1.3f);
    EXPECT_LE(std::fabs(ph), 40.0f);
    EXPECT_NEAR(std::atan2(im, re) * 57.29578f, ph, 1e-3);
  }
}

TEST_F(Simulator, NoiseHasTheRequestedSigmaAndChangesPerDump) {
  write_known_gains(dir.file("g.txt"));
  simulate(dir, {"gains=" + dir.file("g.txt"), "ndumps=2", "noise=0.5", "seed=3"});
  talva::StringOutput out;
  const c_layout_common_t layout = load_corr_layout_file_(dir.file("layout.file"), out);
  Opened o;
  open(dir.file("arch.dat"), o);
  std::vector<std::complex<float>> first;
  for (int d = 0; d < 2; ++d) {
    ASSERT_EQ(read(o), 0);
    double sum = 0, sum2 = 0;
    int count = 0;
    for (int n = 2; n <= o.nbsln; ++n) {
      const int a = layout.lay_ant1[n - 1], b = layout.lay_ant2[n - 1];
      const auto model = std::complex<double>(known_gain(a)) * std::conj(std::complex<double>(known_gain(b)));
      const auto v = std::complex<double>(getvis(layout, n, o.vis));
      for (double e : {v.real() - model.real(), v.imag() - model.imag()}) {
        sum += e;
        sum2 += e * e;
        ++count;
      }
      if (d == 0) {
        first.push_back(getvis(layout, n, o.vis));
      } else if (n < 100) {
        EXPECT_NE(first[static_cast<std::size_t>(n - 2)], getvis(layout, n, o.vis));  // fresh noise every dump
      }
    }
    const double mean = sum / count, sigma = std::sqrt(sum2 / count - mean * mean);
    EXPECT_NEAR(mean, 0.0, 0.03);  // 9120 deviates: the mean's own sigma is 0.005
    EXPECT_NEAR(sigma, 0.5, 0.03);
  }
}

TEST_F(Simulator, TruncatedLastDump) {
  simulate(dir, {"ndumps=3"}, "whole.dat", "l1");
  simulate(dir, {"ndumps=3", "truncate=10"}, "cut.dat", "l2");
  const auto whole = read_bytes(dir.file("whole.dat"));
  const auto cut = read_bytes(dir.file("cut.dat"));
  ASSERT_EQ(cut.size() + 10, whole.size());
  EXPECT_TRUE(std::equal(cut.begin(), cut.end(), whole.begin()));
  Opened o;
  open(dir.file("cut.dat"), o);
  EXPECT_EQ(read(o), 0);
  EXPECT_EQ(read(o), 0);
  EXPECT_EQ(read(o), -1);
}

TEST_F(Simulator, PairSetsAndPadding) {
  simulate(dir, {"ndumps=1", "pairs=ew"}, "ew.dat", "ew.file");
  Opened o;
  open(dir.file("ew.dat"), o);
  ASSERT_EQ(o.nbsln, 48 * 48 + 1);
  for (int k = 1; k < o.nbsln; ++k) {
    const int big = o.table[k - 1] / 256, small = o.table[k - 1] % 256;
    ASSERT_TRUE(small >= 1 && small <= 48 && big >= 49 && big <= 96) << o.table[k - 1];
  }
  reader.reset();

  simulate(dir, {"ndumps=1", "nprod=4608"}, "pad.dat", "pad.file");
  Opened p;
  open(dir.file("pad.dat"), p);
  ASSERT_EQ(p.nbsln, 4608);
  EXPECT_EQ(p.table[4560], 257 * 2);  // autocorrelations of antennas 2, 3, ... fill the table
  EXPECT_EQ(p.table[4606], 257 * 48);
  EXPECT_EQ(p.table[4607], 257);
  ASSERT_EQ(read(p), 0);
  EXPECT_EQ(talva::test::lines(talva::test::read_file(dir.file("pad.file"))).size(), 4608u);
}

TEST_F(Simulator, RefusesBadSettingsWithoutLeavingFiles) {
  const std::vector<std::vector<std::string>> bad = {
      {"hdrlen=83"},      {"hdrlen=401"},  {"nant=101"},           {"nant=-1"},
      {"date=2006,2,29"}, {"time=24,0,0"}, {"pairs=ns"},           {"nprod=4609"},
      {"nprod=100"},      {"mode=300"},    {"truncate=100000000"}, {"date=2155,12,31", "dt=86400"},
      {"dt=1e300"}};
  for (auto args : bad) {
    SCOPED_TRACE(args[0]);
    args.push_back("archive=" + dir.file("x.dat"));
    args.push_back("layout=" + dir.file("x.file"));
    const auto r = run("talvasim", args);
    EXPECT_NE(r.status, 0);
    EXPECT_NE((r.out + r.err).find("talvasim"), std::string::npos) << r.out << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.dat")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.dat.part")));
  }
  const auto r = run("talvasim", {"layout=" + dir.file("x.file")});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.err, "### Fatal Error:  archive= (the archive to write) is required.\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(Simulator, ArchinfoListsHeadersAndDumps) {
  simulate(dir, {"ndumps=3", "date=2006,3,5", "time=13,7,9", "ha=6", "ra=3", "dec=-45", "mdtilt=30",
                 "tilts=0,1.5,-2.25", "temp=18.25", "talvatags=2", "flux=0", "nant=2", "mode=3"});
  const auto r = run("archinfo", {"archive=" + dir.file("arch.dat"), "full=t", "verbose=t"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string block1 =
      "05 03 2006\n"
      "13:07:09\n"
      "HA :     6.0000\n"
      "RA :     3.0000\n"
      "DEC :   -45.0000\n"
      "NS TILT EAST :    1.50\n"
      "NS TILT WEST :   -2.25\n"
      "MD tilt :   30.00\n"
      "TEMP :   18.25 \n";
  EXPECT_EQ(r.out, "archive " + dir.file("arch.dat") + ": 2 antenna records and 4561 products per dump\n" + block1 +
                       "dump     1  2006-03-05 13:07:09  HA    6.0000 h  mode    3  mean amplitude     0.000000\n"
                       "dump     2  2006-03-05 13:07:09  HA    6.0000 h  mode    3  mean amplitude     0.000000\n"
                       "05 03 2006\n"
                       "13:07:11\n"
                       "HA :     6.0006\n"
                       "RA :     3.0000\n"
                       "DEC :   -45.0000\n"
                       "NS TILT EAST :    1.50\n"
                       "NS TILT WEST :   -2.25\n"
                       "MD tilt :   30.00\n"
                       "TEMP :   18.25 \n"
                       "dump     3  2006-03-05 13:07:11  HA    6.0006 h  mode    3  mean amplitude     0.000000\n"
                       "3 dumps read\n");
  // By default one line per range of like dumps.
  const auto brief = run("archinfo", {"archive=" + dir.file("arch.dat")});
  EXPECT_EQ(brief.out, "archive " + dir.file("arch.dat") +
                           ": 2 antenna records and 4561 products per dump\n"
                           "dumps     1-3     2006-03-05 13:07:09 .. 13:07:11  HA    6.0000 ..    6.0006 h  mode    3  "
                           "mean amplitude     0.000000\n3 dumps read\n");
  const auto missing = run("archinfo", {"archive=" + dir.file("none")});
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.out.find("failed to open : " + dir.file("none")), std::string::npos);
}

}  // namespace

namespace {

// Drifting gains: every dump's correlations carry that dump's true gains as
// the truegains table lists them; a dead antenna has none, a noisy one ten
// times the noise.
TEST_F(Simulator, DriftingGainsDeadAndNoisyAntennasAndTheirTable) {
  simulate(dir, {"flux=2", "ndumps=40", "dt=600", "gaindrift=20,0.1", "badants=dead,17,noisy,60", "noise=0.01",
                 "truegains=" + dir.file("true.table"), "seed=4"});
  const auto truth = talva::calib::read_gains_table(dir.file("true.table"), 96);
  ASSERT_EQ(truth.intervals.size(), 40u);
  talva::StringOutput msg;
  const c_layout_common_t layout = load_corr_layout_file_(dir.file("layout.file"), msg);
  Opened o;
  open(dir.file("arch.dat"), o);
  double moved = 0.0, resid_plain = 0.0, resid_noisy = 0.0;
  int n_plain = 0, n_noisy = 0;
  for (int d = 0; d < 40; ++d) {
    ASSERT_EQ(read(o), 0);
    const auto& b = truth.intervals[static_cast<std::size_t>(d)];
    EXPECT_NEAR(b.jd_start, o.header.jd, 1e-8) << d;  // written to 8 decimals
    EXPECT_EQ(b.gains[16], std::complex<float>(0.0f, 0.0f));
    EXPECT_EQ(b.flag[16], 1);
    EXPECT_EQ(b.flag[59], 0);
    moved += std::norm(std::arg(b.gains[0] * std::conj(truth.intervals[0].gains[0])));
    for (int k = 1; k < o.nbsln; ++k) {
      const int n = k + 1;
      const int a = layout.lay_ant1[n - 1], c = layout.lay_ant2[n - 1];
      const std::complex<double> model = std::complex<double>(b.gains[static_cast<std::size_t>(a - 1)]) * 2.0 *
                                         std::conj(std::complex<double>(b.gains[static_cast<std::size_t>(c - 1)]));
      const double r = std::norm(std::complex<double>(getvis(layout, n, o.vis)) - model);
      if (a == 60 || c == 60)
        resid_noisy += r, ++n_noisy;
      else
        resid_plain += r, ++n_plain;
    }
  }
  // the noise: 0.01 per part (2e-4 in |.|^2), ten times that on antenna 60's pairs
  EXPECT_NEAR(resid_plain / n_plain, 2e-4, 0.1e-4);
  EXPECT_NEAR(resid_noisy / n_noisy, 2e-2, 0.2e-2);
  // antenna 1's phase wanders, by degrees over hours, not by a jump
  const double rms = std::sqrt(moved / 40.0) * 180.0 / kPi;
  EXPECT_GT(rms, 2.0);
  EXPECT_LT(rms, 80.0);
  for (int d = 1; d < 40; ++d)
    EXPECT_LT(std::abs(std::arg(truth.intervals[static_cast<std::size_t>(d)].gains[0] *
                                std::conj(truth.intervals[static_cast<std::size_t>(d - 1)].gains[0]))),
              0.1)
        << "10 minutes apart: " << d;
}

TEST_F(Simulator, BadAntennaItemsRefusedNamingTheKeyword) {
  const auto r = run("talvasim", {"archive=" + dir.file("a"), "layout=" + dir.file("l"), "badants=dead,97"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE((r.out + r.err).find("badants: 97"), std::string::npos) << r.out << r.err;
}

}  // namespace
