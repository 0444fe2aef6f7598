// talva2vis3 end to end on simulated archives, and the talva1a unpacker's
// one-pass averaging against the plain pair loops.
#include <gtest/gtest.h>
#include <star/pal.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "array/layout.h"
#include "array/s_matrix.h"
#include "convert/modes.h"
#include "convert/unpackers.h"
#include "convert/uv_output.h"
#include "miriad/key.h"
#include "miriad/uvio.h"
#include "test_conv_support.h"
#include "util/fmt.h"
#include "util/plot_file.h"
#include "util/stop.h"

using talva::array::c_layout_common_t;
using talva::array::find_bsnum_;
using talva::array::getvis;
using talva::array::load_corr_layout_file_;
using talva::array::ProductTable;
using talva::array::set_antnum_;
using talva::array::setup_s_matrix_;

using namespace talva::convert;

namespace {

using namespace conv_test;
using talva::test::read_file;
using talva::test::write_file;
namespace fs = std::filesystem;
using cfloat = std::complex<float>;

constexpr double kJd2006 = 2453737.0;  // 1 Jan 2006 12:00:00
constexpr double kSecond = 1.0 / 86400.0;

std::vector<int> s_matrix() {
  std::vector<int> S(96 * 96);
  int nclass = 0;
  talva::StringOutput out;
  setup_s_matrix_(S, 96, nclass, out);
  return S;
}

// Mean over the pairs of each class of g(i) conj(g(j)) (the simulator's
// correlation of a unit source, oriented as the class's S entry), leaving
// out pairs for which `skip` is true.
template <typename Skip>
std::vector<cfloat> class_means(const std::vector<cfloat>& g, Skip skip) {
  const auto S = s_matrix();
  std::vector<std::complex<double>> sum(131);
  std::vector<int> n(131);
  for (int i = 1; i <= 96; ++i)
    for (int j = 1; j <= 96; ++j) {
      const int s = S[static_cast<std::size_t>((i - 1) + (j - 1) * 96)];
      if (s == 0 || skip(i, j)) continue;
      sum[static_cast<std::size_t>(s)] +=
          std::complex<double>(g[static_cast<std::size_t>(i - 1)] * std::conj(g[static_cast<std::size_t>(j - 1)]));
      ++n[static_cast<std::size_t>(s)];
    }
  std::vector<cfloat> m(131);
  for (int s = 1; s <= 130; ++s)
    m[static_cast<std::size_t>(s)] = cfloat(sum[static_cast<std::size_t>(s)] / double(n[static_cast<std::size_t>(s)]));
  return m;
}

TEST(Talva2vis3Data, UnitGainsGivePlainClassMeans) {
  TempDir dir;
  simulate(dir, {"ndumps=2", "gainsout=sim.gains", "ha=-3", "seed=5"});
  write_uniform_gains(dir.file("unit.gains"), {1.0f, 0.0f});
  const RunResult r = convert("talva2vis3", dir, {"gnsfile=unit.gains", "uvfile=out.uv"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, " vis records written :      260")) << r.out;
  const auto g = read_sim_gains(dir.file("sim.gains"));
  const auto mean = class_means(g, [](int, int) { return false; });
  const auto rec = records(dir.file("out.uv"));
  ASSERT_EQ(rec.size(), 260u);
  for (std::size_t k = 0; k < rec.size(); ++k) {
    const int s = static_cast<int>(k % 130) + 1;
    EXPECT_EQ(rec[k].baseline, 67585.0 + s);
    EXPECT_NEAR(rec[k].data[0].real(), mean[static_cast<std::size_t>(s)].real(), 2e-5) << "class " << s;
    EXPECT_NEAR(rec[k].data[0].imag(), mean[static_cast<std::size_t>(s)].imag(), 2e-5) << "class " << s;
    EXPECT_TRUE(rec[k].flags[0]);
    EXPECT_EQ(rec[k].w, 0.0);
  }
  // One time per dump: the second dump is one second later.
  EXPECT_NEAR(rec[0].time, kJd2006, 1e-9);
  EXPECT_EQ(rec[129].time, rec[0].time);
  EXPECT_NEAR(rec[130].time - rec[0].time, kSecond, 1e-9);
  // Data modes: v = +sin H sin(dec) L, u = cos H L (H from the dump, -3 h).
  const double H = -3.0 * M_PI / 12.0, sd = std::sin(-M_PI / 4.0);
  for (int k : {0, 60, 129}) {
    const auto& x = rec[static_cast<std::size_t>(k)];
    ASSERT_NE(x.u, 0.0);
    EXPECT_NEAR(x.v / x.u, std::tan(H) * sd, 1e-3) << k;
  }
}

TEST(Talva2vis3Data, KnownGainsGiveTheFluxInEveryClass) {
  TempDir dir;
  simulate(dir, {"ndumps=2", "gainsout=sim.gains", "flux=2.5", "gainamp=0.3"});
  const RunResult r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=out.uv"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const auto& x : records(dir.file("out.uv"))) {
    EXPECT_NEAR(x.data[0].real(), 2.5f, 1e-4) << x.baseline;
    EXPECT_NEAR(x.data[0].imag(), 0.0f, 1e-4) << x.baseline;
  }
}

TEST(Talva2vis3Data, RejectListsAreHonouredInTalva1a) {
  TempDir dir;
  simulate(dir, {"ndumps=1", "gainsout=sim.gains", "seed=9"});
  write_uniform_gains(dir.file("unit.gains"), {1.0f, 0.0f});
  // Product index of the pair (50, 51): layout line k is product index k + 1.
  const auto lay = talva::test::lines(read_file(dir.file("lay.txt")));
  int index = 0;
  for (std::size_t k = 0; k < lay.size(); ++k) {
    int a = 0, b = 0;
    if (std::sscanf(lay[k].c_str(), "%d %d", &a, &b) == 2 && std::min(a, b) == 50 && std::max(a, b) == 51)
      index = static_cast<int>(k) + 2;
  }
  ASSERT_GT(index, 0);
  write_file(dir.file("rej.txt"), "1\n" + std::to_string(index) + "\n");
  write_file(dir.file("ants.txt"), "1\n");
  const RunResult r =
      convert("talva2vis3", dir, {"gnsfile=unit.gains", "uvfile=out.uv", "rejects=rej.txt", "antrejct=ants.txt"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto g = read_sim_gains(dir.file("sim.gains"));
  const auto mean =
      class_means(g, [](int i, int j) { return i == 1 || j == 1 || (std::min(i, j) == 50 && std::max(i, j) == 51); });
  // Class 44 has the single pair (1, 49): it writes no record, and the
  // classes after it keep their own baselines.
  const auto rec = records(dir.file("out.uv"));
  ASSERT_EQ(rec.size(), 129u);
  for (const auto& x : rec) {
    const int s = static_cast<int>(x.baseline) - 67585;
    ASSERT_NE(s, 44);
    EXPECT_NEAR(x.data[0].real(), mean[static_cast<std::size_t>(s)].real(), 2e-5) << s;
    EXPECT_NEAR(x.data[0].imag(), mean[static_cast<std::size_t>(s)].imag(), 2e-5) << s;
  }
  EXPECT_EQ(rec[43].baseline, 67585.0 + 45);
}

TEST(Talva2vis3Data, ZeroWeightsWriteZeroNeverNaN) {
  TempDir dir;
  simulate(dir, {"ndumps=1"});
  // every gain of the classified bays 0 (antenna 95, in no pair, keeps the file from being refused)
  write_file(dir.file("zero.gains"), "1 (0.,0.)\n95 (1.,0.)\n");
  for (const char* mode : {"talva1a", "orvex"}) {
    const std::string uv = std::string(mode) + ".uv";
    const RunResult r =
        convert("talva2vis3", dir, {"gnsfile=zero.gains", "uvfile=" + uv, std::string("skmode=") + mode});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto rec = records(dir.file(uv));
    EXPECT_EQ(rec.size(), std::string(mode) == "orvex" ? 88u : 130u);
    for (const auto& x : rec) ASSERT_EQ(x.data[0], cfloat(0.0f, 0.0f)) << mode << " " << x.baseline;
  }
}

TEST(Talva2vis3Driver, RecordLimitsSelectDumps) {
  TempDir dir;
  simulate(dir, {"ndumps=10", "gainsout=sim.gains"});
  struct Case {
    const char* reclim;
    int np;
    double first_dump;
    bool status_line;
  };
  for (const Case c : {Case{"0", 10, 1, true}, Case{"5,1", 6, 5, true}, Case{"5,7", 3, 5, false}}) {
    std::string uv = std::string("r") + c.reclim + ".uv";
    std::replace(uv.begin(), uv.end(), ',', '_');
    const RunResult r =
        convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=" + uv, std::string("reclim=") + c.reclim});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has_line(r.out, " np = " + talva::fmt_i(c.np, 8))) << c.reclim << "\n" << r.out;
    EXPECT_EQ(has_line(r.out, "read_dump returned stat         -1 at rec    11"), c.status_line) << c.reclim;
    const auto rec = records(dir.file(uv));
    ASSERT_EQ(rec.size(), 130u * static_cast<std::size_t>(c.np));
    EXPECT_NEAR(rec.front().time, kJd2006 + (c.first_dump - 1) * kSecond, 1e-9) << c.reclim;
    EXPECT_NEAR(rec.back().time, kJd2006 + (c.first_dump + c.np - 2) * kSecond, 1e-9) << c.reclim;
  }
  // A range that holds no dump of the archive: no dataset, no
  // MeasurementSet, the range and the dump count named; the last dump alone
  // is a range.
  for (const std::string reclim : {"11,20", "400,500", "10,20"}) {
    SCOPED_TRACE(reclim);
    const RunResult r =
        convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=none.uv", "msfile=none.ms", "reclim=" + reclim});
    if (reclim == "10,20") {
      ASSERT_EQ(r.status, 0) << r.out << r.err;
      EXPECT_EQ(records(dir.file("none.uv")).size(), 130u);
      fs::remove_all(dir.file("none.uv"));
      fs::remove_all(dir.file("none.ms"));
      continue;
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has_line(r.out, "no dump in the range reclim=" + reclim + ": a.arc has 10 dumps; no file written"))
        << r.out;
    EXPECT_FALSE(fs::exists(dir.file("none.uv")));
    EXPECT_FALSE(fs::exists(dir.file("none.ms")));
  }
}

TEST(Talva2vis3Driver, EpochsAndPrecession) {
  TempDir dir;
  simulate(dir, {"ndumps=1", "gainsout=sim.gains"});
  RunResult r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=b.uv", "epoch=b1950", "ra=12", "dec=-45"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, " Input Epoch = B1950.0 ")) << r.out;
  double r2000 = 0, d2000 = 0;
  palFk45z(12.0 * 15.0 / 57.2957763671875, -45.0 / 57.2957763671875, 1950.0, &r2000, &d2000);
  {
    talva::miriad::UvReader uv(dir.file("b.uv"));
    talva::miriad::UvRecord rec;
    ASSERT_TRUE(uv.read(rec));
    EXPECT_EQ(uv.variable("ra")->doubles().at(0), r2000);
    EXPECT_EQ(uv.variable("dec")->doubles().at(0), d2000);
    EXPECT_EQ(uv.variable("obsra")->doubles().at(0), r2000);
    EXPECT_EQ(uv.variable("epoch")->reals().at(0), 2000.0f);
  }
  r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=j.uv", "epoch=J2000", "ra=12", "dec=-45"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, " Input Epoch = J2000   ")) << r.out;
  {
    talva::miriad::UvReader uv(dir.file("j.uv"));
    talva::miriad::UvRecord rec;
    ASSERT_TRUE(uv.read(rec));
    EXPECT_NEAR(uv.variable("ra")->doubles().at(0), 3.1415928, 1e-7);
    EXPECT_NEAR(uv.variable("dec")->doubles().at(0), -0.7853982, 1e-7);
    EXPECT_EQ(uv.variable("obsdec")->doubles().at(0), uv.variable("dec")->doubles().at(0));
  }
  r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=bad.uv", "epoch=2000"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, " Bad epoch: 2000     Must be B1950.0 or J2000.0\n");
  EXPECT_FALSE(fs::exists(dir.file("bad.uv")));
}

TEST(Talva2vis3Dataset, VariablesHistoryAndAnEmptyArchive) {
  TempDir dir;
  simulate(dir, {"ndumps=0", "gainsout=sim.gains"});
  const RunResult empty = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=e.uv", "freq=1420,5"});
  EXPECT_EQ(empty.status, 1) << empty.out << empty.err;
  EXPECT_TRUE(has_line(empty.out, "a.arc holds no dump: no file written")) << empty.out;
  EXPECT_FALSE(std::filesystem::exists(dir.file("e.uv")));

  simulate(dir, {"ndumps=1", "gainsout=sim.gains"});
  const RunResult r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=e.uv", "freq=1420,5"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto out = talva::test::lines(r.out);
  ASSERT_GE(out.size(), 3u);
  EXPECT_EQ(out[out.size() - 3], "read_dump returned stat         -1 at rec     2");
  EXPECT_EQ(out[out.size() - 2], " np =        1");
  talva::miriad::UvReader uv(dir.file("e.uv"));
  talva::miriad::UvRecord rec;
  ASSERT_TRUE(uv.read(rec));
  const std::vector<std::string> names{"epoch",   "nants", "veldop", "vsource", "source",  "ra",
                                       "obsra",   "dec",   "obsdec", "latitud", "longitu", "telescop",
                                       "inttime", "nchan", "ischan", "nschan",  "nspect",  "sfreq",
                                       "sdf",     "npol",  "pol",    "jyperk",  "systemp", "restfreq"};
  std::vector<std::string> fixed;
  for (const auto& v : uv.variables())
    if (std::find(names.begin(), names.end(), v.name) != names.end()) fixed.push_back(v.name);
  EXPECT_EQ(fixed, names);
  EXPECT_EQ(uv.variable("nants")->ints().at(0), 96);
  EXPECT_DOUBLE_EQ(uv.variable("sfreq")->doubles().at(0), 1.42);
  EXPECT_DOUBLE_EQ(uv.variable("sdf")->doubles().at(0), 0.005);
  EXPECT_EQ(uv.variable("latitud")->doubles().at(0), -0.6173499822616577);
  const auto hist = uv.history();
  ASSERT_GE(hist.size(), 3u);
  EXPECT_EQ(hist[0], "TALVA: Miriad version 1.1 29-Aug-2006");
  EXPECT_EQ(hist[1].rfind("IMAGER: ", 0), 0u) << hist[1];
  bool has_uvfile = false;
  for (const auto& h : hist) has_uvfile = has_uvfile || h.find("uvfile=e.uv") != std::string::npos;
  EXPECT_TRUE(has_uvfile);
}

// The dataset sink writes a dump's records when the dump ends; a run that
// stops on the way leaves no dataset, an interrupted one keeps its whole
// dumps (flagged records as 0) and notes why in the history.
TEST(Talva2vis3Dataset, AStoppedRunLeavesNoDatasetAnInterruptedOneItsWholeDumps) {
  TempDir dir;
  const std::string path = dir.file("s.uv");
  const cfloat bad(std::nanf(""), 1.0f);
  auto feed = [&](UvDatasetSink& sink) {
    RunSetup setup;
    setup.sfreq = 1.0;
    sink.begin_run(setup);
    for (int k = 0; k < 5; ++k) {
      sink.record(talva::convert::UvRecord::make(10.0 * k, -3.0, kJd2006 + (k / 3) * kSecond, {1, 2 + k},
                                                 k == 1 ? bad : cfloat(0.5f * k, -1.0f), k + 1));
      if (k == 2) sink.end_dump();
    }
  };
  try {
    UvDatasetSink sink(path, false);
    feed(sink);
    talva::stop("stopped in the second dump");
  } catch (const talva::Stop&) {
  }
  EXPECT_FALSE(std::filesystem::exists(path));

  {
    UvDatasetSink sink(path, false);
    feed(sink);
    sink.end_dump();
    sink.interrupted("interrupted by SIGINT after dump 2");
    sink.publish();
  }
  talva::miriad::UvReader uv(path);
  talva::miriad::UvRecord rec;
  for (int k = 0; k < 5; ++k) {
    ASSERT_TRUE(uv.read(rec)) << k;
    EXPECT_EQ(rec.u, 10.0 * k);
    EXPECT_EQ(rec.v, -3.0);
    EXPECT_EQ(rec.time, kJd2006 + (k / 3) * kSecond);
    EXPECT_EQ(rec.baseline, 67586.0 + k);
    EXPECT_EQ(rec.data.at(0), k == 1 ? cfloat{} : cfloat(0.5f * k, -1.0f));
    EXPECT_EQ(rec.flags.at(0), k != 1);
  }
  EXPECT_FALSE(uv.read(rec));
  EXPECT_EQ(uv.history().back(), "TALVA2VIS3: interrupted by SIGINT after dump 2");
}

TEST(Talva2vis3Modes, OrvexWrites88RecordsAndItsDebugTable) {
  TempDir dir;
  simulate(dir, {"ndumps=2", "gainsout=sim.gains", "flux=3"});
  const RunResult r =
      convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=o.uv", "skmode=orvex", "dbgplt=t", "blen=45"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto rec = records(dir.file("o.uv"));
  ASSERT_EQ(rec.size(), 176u);
  for (std::size_t k = 0; k < rec.size(); ++k) {
    const int s = static_cast<int>(k % 88) + 1;
    const int i0 = std::max(1, s - 44), j0 = s - i0 + 48;
    EXPECT_EQ(rec[k].baseline, 65536.0 + 2048.0 * i0 + j0) << s;
    EXPECT_NEAR(std::abs(rec[k].data[0] - cfloat(3.0f, 0.0f)), 0.0f, 2e-4) << s;
  }
  EXPECT_EQ(rec[87].baseline, 155740.0);
  const auto dbg = talva::test::lines(read_file(dir.file("talva2vis3.dbg")));
  ASSERT_EQ(dbg.size(), 3u);  // heading and one line per dump for spacing 45
  EXPECT_EQ(dbg[0], " ant ID1, 2    phase 1, 2     amp  phase ");
  EXPECT_EQ(dbg[1].size(), 43u);
  EXPECT_EQ(dbg[1].substr(23, 10), "      3.00");
}

TEST(Talva2vis3Modes, Talva1cSimulationRecords) {
  TempDir dir;
  simulate(dir, {"ndumps=2", "gainsout=sim.gains", "ha=2"});
  RunResult r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=c.uv", "skmode=talva1c", "nunit=1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, " vis records written :       12")) << r.out;
  auto rec = records(dir.file("c.uv"));
  ASSERT_EQ(rec.size(), 12u);
  const std::array<double, 6> baselines{67586, 67587, 67588, 69635, 69636, 71684};
  const double H = 2.0 * M_PI / 12.0, sd = std::sin(-M_PI / 4.0);
  for (std::size_t k = 0; k < rec.size(); ++k) {
    EXPECT_EQ(rec[k].baseline, baselines[k % 6]);
    EXPECT_EQ(rec[k].data[0], cfloat(0.0f, 0.0f));              // ampscale 0 by default
    EXPECT_NEAR(rec[k].v / rec[k].u, -std::tan(H) * sd, 1e-3);  // simulations: v = -sin H sin(dec) L
  }
  // With an amplitude scale and the source at the phase centre every
  // element sees A = unity * dx (MD 0), and every product is A^2.
  r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=c2.uv", "skmode=talva1c", "nunit=1", "ampscale=1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const double A = (11.0 / 0.356) * (17.6 / 0.356 / 4.0);
  for (const auto& x : records(dir.file("c2.uv"))) {
    EXPECT_NEAR(x.data[0].real() / (A * A), 1.0, 1e-5);
    EXPECT_EQ(x.data[0].imag(), 0.0f);
  }
}

TEST(Talva2vis3Driver, RefusalsBeforeTheDatasetIsCreated) {
  TempDir dir;
  simulate(dir, {"ndumps=1", "gainsout=sim.gains"});
  RunResult r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=x.uv", "skmode=talva3a", "nunit=400"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("nunit 400"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(dir.file("x.uv")));
  r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=x.uv", "skmode=talva9"});
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(has_line(r.out, "unknown mode -: talva9              ")) << r.out;
  EXPECT_FALSE(fs::exists(dir.file("x.uv")));
  r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=x.uv", "infile=nothing.arc"});
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(has_line(r.out, "init failed")) << r.out;
  EXPECT_FALSE(fs::exists(dir.file("x.uv")));
}

TEST(Talva2vis3Plot, PngFileAndUnavailableDevice) {
  TempDir dir;
  simulate(dir, {"ndumps=2", "gainsout=sim.gains"});
  write_file(dir.file("cover.png"), "an earlier plot");
  RunResult r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=p.uv", "device=cover.png/png"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(talva::plot_file_complete(dir.file("cover.png")));
  // Names the plot library completes itself take the same path: "/png"
  // writes giza.png, ".png/png" the file ".png".
  for (const auto& [device, file] : {std::pair{"/png", "giza.png"}, std::pair{".png/png", ".png"}}) {
    write_file(dir.file(file), "an earlier plot");
    r = convert("talva2vis3", dir,
                {"gnsfile=sim.gains", "uvfile=" + std::string(file) + ".uv", "device=" + std::string(device)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(talva::plot_file_complete(dir.file(file))) << device;
  }
  for (const auto& e : fs::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
  // A plot file and the dataset resolving to one name: refused before any work.
  r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=./cover.png", "device=cover.png/png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("output cover.png is the same file as output ./cover.png"), std::string::npos) << r.out;
  EXPECT_TRUE(talva::plot_file_complete(dir.file("cover.png")));
  const auto plotted = records(dir.file("p.uv"));
  // An X device without a display: one warning, the same numbers.
  const char* display = std::getenv("DISPLAY");
  const std::string saved = display ? display : "";
  unsetenv("DISPLAY");
  r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=x.uv", "device=/xs"});
  if (!saved.empty()) setenv("DISPLAY", saved.c_str(), 1);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(" Warning: no display for plot device /xs"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("giza"), std::string::npos) << "the plot library's own error text: " << r.err;
  const auto unplotted = records(dir.file("x.uv"));
  ASSERT_EQ(unplotted.size(), plotted.size());
  for (std::size_t k = 0; k < plotted.size(); ++k) ASSERT_EQ(unplotted[k].data[0], plotted[k].data[0]);
}

// The one-pass talva1a averaging against the plain loops: product lookup
// per pair, class by class, with a product table in scrambled order, some
// pairs stored in descending order and one pair missing.
TEST(Talva2vis3Unpacker, OnePassAveragingIsBitIdenticalToThePairLoops) {
  TempDir dir;
  std::mt19937 rng(17);
  std::vector<std::int32_t> antnum;
  std::string layout;
  for (int a = 1; a <= 96; ++a)
    for (int b = a + 1; b <= 96; ++b) {
      if (a == 3 && b == 4) continue;  // no correlation for this pair
      antnum.push_back(256 * b + a);
    }
  std::shuffle(antnum.begin(), antnum.end(), rng);
  antnum.push_back(257);  // the last entry's item lies past the dump
  for (std::size_t k = 0; k < antnum.size(); ++k) {
    const int hi = antnum[k] / 256, lo = antnum[k] % 256;
    layout += (k % 5 == 0) ? std::to_string(hi) + " " + std::to_string(lo) + "\n"
                           : std::to_string(lo) + " " + std::to_string(hi) + "\n";
  }
  write_file(dir.file("lay.txt"), layout);
  const int nbsln = static_cast<int>(antnum.size());
  std::uniform_real_distribution<float> U(-1.0f, 1.0f);
  std::vector<cfloat> gains(540);
  for (int a = 0; a < 96; ++a) gains[static_cast<std::size_t>(a)] = {1.0f + 0.3f * U(rng), 0.5f * U(rng)};
  std::array<std::vector<float>, 2> vis;
  for (auto& v : vis) {
    v.resize(2 * static_cast<std::size_t>(nbsln));
    for (auto& x : v) x = U(rng);
  }
  const float mdg = 0.75f;

  talva::StringOutput messages;
  const c_layout_common_t corr_layout = load_corr_layout_file_(dir.file("lay.txt"), messages);
  const ModeLayout mode = setup_mode("talva1a", 17.6f / 0.356f, 88, 25.0f / 0.356f, false, messages);
  const ProductTable table(antnum);
  DataInputs in;
  in.layout = &mode;
  in.corr_layout = &corr_layout;
  in.products = &table;
  in.gains = gains;
  in.sfreq = 0.843;
  in.sindec = std::sin(-0.7f);
  in.out = &messages;
  auto unpack = [&](Unpacker& unpacker) {
    RecordList list;
    unpacker.print_setup();  // as the driver does before the first dump
    for (int dump = 0; dump < 2; ++dump) {
      DumpContext d;
      d.ha = 0.3f;
      d.time = 100.0 + dump;
      d.mdg = mdg;
      d.vis = vis[static_cast<std::size_t>(dump)];
      unpacker.unpack(d, list);
    }
    return list.records;
  };
  const std::size_t before = messages.text().size();
  Talva1a3Unpacker talva1a(in);
  EXPECT_EQ(messages.text().size(), before);  // set up, its lines kept for print_setup
  const auto rec = unpack(talva1a);
  const std::string setup = messages.text().substr(before);
  EXPECT_EQ(setup.rfind("Gain Product Array Initialised\n", 0), 0u) << setup;
  EXPECT_NE(setup.find("S matrix defined\n"), std::string::npos) << setup;
  talva1a.print_setup();  // printed once
  EXPECT_EQ(messages.text().size(), before + setup.size());
  // orvex on the same dumps, with antenna 5 and the product of (2, 50) rejected.
  const std::array<std::int32_t, 1> badants{5};
  const std::array<std::int32_t, 1> badprods{table.index_of(set_antnum_(2, 50))};
  in.rejects = {badprods, badants};
  OrvexUnpacker orvex(in);
  const auto orec = unpack(orvex);
  // The antenna positions, known before any dump, give each record its
  // spacing: position(b) - position(a), to the bit.
  for (const auto& [name, positions, records] : {std::tuple{"talva1a", Talva1a3Unpacker(in).positions(), &rec},
                                                 std::tuple{"orvex", OrvexUnpacker(in).positions(), &orec}}) {
    ASSERT_FALSE(records->empty()) << name;
    for (const UvRecord& r : *records) {
      ASSERT_LE(static_cast<std::size_t>(r.antennas.b), positions.size()) << name;
      const double spacing =
          positions[static_cast<std::size_t>(r.antennas.b - 1)] - positions[static_cast<std::size_t>(r.antennas.a - 1)];
      EXPECT_EQ(r.spacing_length, spacing) << name << " " << r.spacing;
    }
  }
  const std::string& out = messages.text();
  // The missing pair is reported once in the run, not once per dump.
  std::size_t reports = 0;
  for (std::size_t pos = 0; (pos = out.find("not found in antenna number set", pos)) != std::string::npos; ++pos)
    ++reports;
  EXPECT_EQ(reports, 1u);
  EXPECT_NE(out.find("  1027 not found in antenna number set"), std::string::npos);

  // Plain loops: every pair of every class searched in the product table.
  const auto S = s_matrix();
  talva::StringOutput search_messages;
  auto g = [&](int a) { return gains[static_cast<std::size_t>(a - 1)]; };
  ASSERT_EQ(rec.size(), 260u);
  std::size_t k = 0;
  for (int dump = 0; dump < 2; ++dump)
    for (int s = 1; s <= 130; ++s) {
      cfloat acc{0.0f, 0.0f};
      float wsum = 0.0f;
      for (int i = 1; i <= 96; ++i)
        for (int j = 1; j <= 96; ++j) {
          if (S[static_cast<std::size_t>((i - 1) + (j - 1) * 96)] != s) continue;
          std::int32_t p = 0, notfound = 0;
          find_bsnum_(set_antnum_(i, j), nbsln, antnum, p, notfound, search_messages);
          if (notfound) continue;
          cfloat V = getvis(corr_layout, p, vis[static_cast<std::size_t>(dump)]);
          if (i > j) V = std::conj(V);
          acc += V * (g(j) * std::conj(g(i)));
          wsum += (g(i) * std::conj(g(i))).real() * (g(j) * std::conj(g(j))).real();
        }
      const float dv = wsum * mdg;
      cfloat avg(acc.real() / dv, acc.imag() / dv);
      if (std::abs(avg) > 100.0f) avg = 0.0f;
      ASSERT_EQ(rec[k].data, avg) << "dump " << dump << " class " << s;
      ASSERT_EQ(rec[k].time, 100.0 + dump);
      ++k;
    }

  ASSERT_EQ(orec.size(), 176u);
  k = 0;
  for (int dump = 0; dump < 2; ++dump)
    for (int s = 1; s <= 88; ++s) {
      cfloat acc{0.0f, 0.0f};
      float wsum = 0.0f;
      int count = 0;
      for (int i = std::max(1, s - 44); i <= std::min(s, 44); ++i) {
        const int j = s - i + 48;
        std::int32_t p = 0, notfound = 0;
        find_bsnum_(set_antnum_(i, j), nbsln, antnum, p, notfound, search_messages);
        if (notfound || p == badprods[0] || i == 5 || j == 5) continue;
        ++count;
        acc += getvis(corr_layout, p, vis[static_cast<std::size_t>(dump)]) * std::conj(g(i)) * g(j);
        const float a = std::abs(g(i)) * std::abs(g(j));
        wsum += a * a;
      }
      cfloat avg{0.0f, 0.0f};
      if (count > 0) {
        const float dv = wsum * mdg;
        avg = {acc.real() / dv, acc.imag() / dv};
        if (std::abs(avg) > 5000.0f) avg = 0.0f;
      }
      ASSERT_EQ(orec[k].data, avg) << "dump " << dump << " spacing " << s;
      ++k;
    }
}

}  // namespace

// The blocked spacing sums, with either vector width, against the plain sum
// of each spacing's terms in order: spacings of many lengths (none, one,
// more than a vector's lanes share, or no term in any spacing), signs of
// both kinds, any factors.
TEST(Talva2vis3Unpacker, SpacingSumsOfEitherWidthAreThePlainSums) {
  std::mt19937 rng(23);
  std::uniform_real_distribution<float> U(-2.0f, 2.0f);
  std::vector<float> vis(2 * 500);
  for (float& x : vis) x = U(rng);
  std::vector<spacing_sums::FactorTerm> terms;
  std::vector<std::size_t> start{0};
  for (int k = 0; k < 37; ++k) {
    const int n = (k * 7) % 23 - (k % 5 == 0 ? 22 : 0);
    for (int t = 0; t < std::max(n, 0); ++t)
      terms.push_back({2 * static_cast<std::uint32_t>(rng() % 500), rng() % 2 ? 1.0f : -1.0f, {U(rng), U(rng)}});
    start.push_back(terms.size());
  }
  std::vector<cfloat> expect(37);
  for (std::size_t k = 0; k < 37; ++k)
    for (std::size_t t = start[k]; t < start[k + 1]; ++t)
      expect[k] += spacing_sums::complex_product(spacing_sums::term_value(terms[t], vis), terms[t].factor);
  for (const auto width : {talva::VectorWidth::best, talva::VectorWidth::bytes16}) {
    spacing_sums::FactorSums sums;
    sums.build(terms, start, width);
    std::vector<cfloat> got(37, {9.0f, 9.0f});
    sums.sum(vis, got);
    EXPECT_EQ(std::memcmp(got.data(), expect.data(), got.size() * sizeof got[0]), 0);
    // spacings without a term at all (every pair rejected): zeros
    const std::vector<std::size_t> none(17, 0);
    sums.build({}, none, width);
    sums.sum(vis, got);
    EXPECT_EQ(got[15], cfloat(0.0f, 0.0f));
  }
}
