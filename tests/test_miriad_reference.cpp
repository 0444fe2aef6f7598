// MIRIAD's own library (casacore's mirlib) as the reference for the
// project's uv layer: MIRIAD reads what the converters write exactly as the
// project's reader does, and MIRIAD's writer, given the same call sequences
// as the project's writer (synthetic ones and those that reproduce the
// converters' datasets), writes the same bytes wherever MIRIAD specifies
// them. Every dataset any test leaves in its scratch directory is also read
// by both readers (support/uvcheck.h, via TempDir).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/mirlib.h"
#include "support/uvcheck.h"
#include "support/uvscript.h"
#include "test_conv_support.h"

namespace {

namespace fs = std::filesystem;
using namespace conv_test;
using talva::test::compare_canonical;
using talva::test::compare_with_miriad;
using talva::test::expect_miriad_agrees;
using talva::test::MiriadComparison;
using talva::test::unspecified_bytes_set;
using talva::test::UvScript;
using cf = std::complex<float>;

const std::string kGolden = std::string(TALVA_GOLDEN_DIR) + "/miriad-canon/";

/// The converters' 24 fixed variables.
void fixed_variables(UvScript& s) {
  s.put_r("epoch", {2000.0f}).put_i("nants", {96}).put_r("veldop", {0.0f}).put_r("vsource", {0.0f});
  s.put_a("source", "TALVA").put_d("ra", {3.1415928}).put_d("obsra", {3.1415928}).put_d("dec", {-0.7853982});
  s.put_d("obsdec", {-0.7853982}).put_d("latitud", {-0.6173499822616577}).put_d("longitu", {2.607928991317749});
  s.put_a("telescop", "TALVA").put_r("inttime", {std::bit_cast<float>(0x3F7FFFFFu)}).put_i("nchan", {1});
  s.put_i("ischan", {1}).put_i("nschan", {1}).put_i("nspect", {1}).put_d("sfreq", {0.843}).put_d("sdf", {0.003});
  s.put_i("npol", {1}).put_i("pol", {1}).put_r("jyperk", {40.0f}).put_r("systemp", {45.0f}).put_d("restfreq", {0.0});
}

/// The call sequence of the golden datasets, with n records.
UvScript golden_script(int n) {
  UvScript s;
  s.preamble("uvw/time/baseline")
      .his_open()
      .his("TALVA: Miriad version 1.1 29-Aug-2006")
      .his("IMAGER: infile=test.dat");
  fixed_variables(s);
  for (int k = 0; k < n; ++k)
    s.write(
        {100.5 * (k + 1), -20.25 * (k + 1), 0.0, 2453737.0 + static_cast<double>(k) / 86400.0, 67585.0 + (k % 130) + 1},
        {cf(static_cast<float>(1.5 + k), static_cast<float>(-0.5 * k))}, {1});
  s.his_close();
  return s;
}

/// Writes `script` with both writers into dir/NAME.ours and dir/NAME.miriad
/// and checks that MIRIAD accepts the calls, that the two datasets are the
/// same in canonical form, that the project's leaves no unspecified byte
/// set, and that both readers read the project's alike.
void expect_same_bytes(const TempDir& dir, const std::string& name, const UvScript& script,
                       const std::string& miriad_messages = "") {
  SCOPED_TRACE(name);
  const std::string ours = dir.file(name + ".ours"), theirs = dir.file(name + ".miriad");
  talva::test::write_with_project(script, ours);
  EXPECT_EQ(talva::test::mir::write(script, theirs), miriad_messages);
  EXPECT_EQ(compare_canonical(ours, theirs), "");
  EXPECT_EQ(unspecified_bytes_set(ours), "");
  expect_miriad_agrees(ours);
}

// ---- MIRIAD's reader --------------------------------------------------------------

TEST(MiriadReader, ReadsTheGoldenDatasetsAsTheProjectsReaderDoes) {
  for (const char* n : {"n1", "n300"}) expect_miriad_agrees(kGolden + n);
  talva::test::mir::Reader m(kGolden + "n300");
  EXPECT_EQ(m.history(),
            (std::vector<std::string>{"TALVA: Miriad version 1.1 29-Aug-2006", "IMAGER: infile=test.dat"}));
  EXPECT_EQ(m.vartable().size(), 28u);
  talva::test::mir::Record r;
  ASSERT_TRUE(m.next(r));
  EXPECT_EQ(r.updated.size(), 28u);  // all 24 fixed variables and corr, coord, time, baseline
  ASSERT_EQ(r.data.size(), 1u);
  EXPECT_EQ(r.data[0], cf(1.5f, -0.0f));
  EXPECT_TRUE(std::signbit(r.data[0].imag()));
  while (m.next(r)) {
  }
  EXPECT_FALSE(m.refused()) << m.fatal();
  EXPECT_EQ(m.records_read(), 300);
  EXPECT_EQ(r.preamble[3], 2453737.0 + 299.0 / 86400.0);
  EXPECT_EQ(r.updated.size(), 4u);  // corr coord time baseline
}

TEST(MiriadReader, ARefusalIsMiriadsMessageAndTheTestProgramGoesOn) {
  TempDir dir;
  // The golden dataset without records: MIRIAD refuses it, as its own dump
  // says; the project's reader returns no records (the one deliberate
  // difference of compare_with_miriad).
  const MiriadComparison c = compare_with_miriad(kGolden + "n0");
  EXPECT_EQ(c.outcome, MiriadComparison::Outcome::Agree) << c.detail;
  EXPECT_NE(c.detail.find("### Fatal Error:  "), std::string::npos) << c.detail;

  // A bad type letter in vartable: both refuse, MIRIAD with its own words.
  const std::string d = dir.file("bad");
  fs::copy(kGolden + "n300", d);
  auto vt = talva::test::read_file(d + "/vartable");
  vt[0] = 'x';
  talva::test::write_file(d + "/vartable", vt);
  talva::test::mir::Reader m(d);
  EXPECT_TRUE(m.refused());
  EXPECT_EQ(m.fatal(), "### Fatal Error:  Bad type (x) for variable epoch");
  EXPECT_EQ(compare_with_miriad(d).outcome, MiriadComparison::Outcome::ProjectRefused);

  // A stream cut inside a record header with vislen to match: MIRIAD loses
  // the record silently, the project's reader refuses the dataset.
  const std::string e = dir.file("cut");
  fs::copy(kGolden + "n300", e);
  fs::resize_file(e + "/visdata", 24500 - 2);
  talva::test::mir::Reader m2(e);
  talva::test::mir::Record r;
  while (m2.next(r)) {
  }
  EXPECT_FALSE(m2.refused()) << m2.fatal();
  EXPECT_EQ(m2.records_read(), 299);
  EXPECT_EQ(compare_with_miriad(e).outcome, MiriadComparison::Outcome::ProjectRefused);
}

// ---- MIRIAD's writer: the same bytes ----------------------------------------------------

TEST(MiriadWriter, GoldenSequencesGiveTheCommittedDatasets) {
  TempDir dir;
  for (int n : {0, 1, 300}) {
    const std::string name = "n" + std::to_string(n);
    expect_same_bytes(dir, name, golden_script(n));
    EXPECT_EQ(compare_canonical(dir.file(name + ".miriad"), kGolden + name), "") << name;
  }
}

TEST(MiriadWriter, CanonicalFormMasksOnlyWhatMiriadLeavesUnspecified) {
  TempDir dir;
  auto poke = [](const std::string& file, std::size_t off, char byte) {
    auto b = talva::test::read_file(file);
    b.at(off) = byte;
    talva::test::write_file(file, b);
  };
  const std::string a = dir.file("a"), b = dir.file("b"), c = dir.file("c"), d = dir.file("d");
  for (const auto& x : {a, b, c, d}) fs::copy(kGolden + "n300", x);
  // n300's header: vislen at 0x00, ncorr 0x20, nwcorr 0x40, obstype 0x60,
  // flags 0x90 (data from 0xa0: tag, nine full words, one of 21 flags).
  poke(b + "/header", 0x96, 'e');       // name residue after "flags"
  poke(b + "/header", 0x86, '\x55');    // padding after obstype
  poke(b + "/header", 0x15, '\x7f');    // alignment padding of vislen (type 8)
  poke(b + "/header", 0xa4, '\xff');    // bit 31 of the first flag word
  poke(b + "/header", 0xc8, '\x7f');    // flags beyond the 300th
  poke(b + "/visdata", 82, '\x44');     // after "TALVA" of source
  poke(b + "/visdata", 0x25d, '\x01');  // between the header and the value of coord
  poke(b + "/visdata", 0x295, '\x02');  // the second pad word of an end-of-record
  EXPECT_EQ(compare_canonical(a, b), "");
  EXPECT_EQ(unspecified_bytes_set(a), "");
  EXPECT_NE(unspecified_bytes_set(b), "");
  poke(c + "/header", 0x3f, '\x01');  // ncorr's value
  EXPECT_NE(compare_canonical(c, a).find("header (entry ncorr"), std::string::npos) << compare_canonical(c, a);
  poke(d + "/visdata", 0x26c, '\x01');  // a value of coord
  EXPECT_EQ(compare_canonical(d, a).rfind("visdata: ", 0), 0u) << compare_canonical(d, a);
}

TEST(MiriadWriter, ManyRecordsChangingVariablesFlagWordsAndALongHistory) {
  TempDir dir;
  UvScript s;
  s.preamble("uvw/time/baseline").his_open();
  for (int k = 0; k < 1500; ++k)  // well past MIRIAD's 16 KiB history buffer
    s.his("LINE " + std::to_string(k) + std::string(static_cast<std::size_t>(k % 97), k % 2 ? '.' : ' ') + "|");
  s.his("").his(std::string(3000, 'x'));
  fixed_variables(s);
  for (int k = 0; k < 24000; ++k) {  // about 2 MB of visdata: the stream is written out in blocks
    // Changes for 7 puts, then constant: written in the first 7 records only.
    s.put_r("tsys7", {static_cast<float>(std::min(k, 6))});
    // Changes for 8 puts, then constant: written in every record from then on.
    s.put_r("tsys8", {static_cast<float>(std::min(k, 7))});
    // Changes every third record; unchanged puts in between reset the count.
    s.put_d("lst", {0.001 * (k / 3)});
    if (k % 250 == 0) s.put_a("source", k % 500 == 0 ? "SHORT" : "A LONGER NAME");  // a new length: a new SIZE
    if (k % 333 == 0) s.put_i("ants", {k, -k, 2147483647, -2147483647 - 1});
    if (k == 1000) s.put_d("ra", {-0.0, 1e-300, 6.02214076e23});  // more values than before
    // 1 to 4 channels, so flags cross their 31-bit words at every place.
    const int n = 1 + k % 4;
    std::vector<cf> data;
    std::vector<std::int32_t> flags;
    for (int c = 0; c < n; ++c) {
      data.emplace_back(static_cast<float>(k) + 0.25f * c, -0.5f * static_cast<float>(k * c));
      flags.push_back((k * 7 + c) % 5 == 0 ? 0 : 1);
    }
    const double time = 2453737.0 + (k / 13) / 86400.0;  // 13 records share a time
    const double bl = k % 17 == 0 ? 65536.0 + 2048.0 * 3 + 3 : 65536.0 + 2048.0 * (1 + k % 90) + 96;
    s.write({0.25 * (k % 50), -0.5 * (k % 40), 0.125 * (k % 3), time, bl}, data, flags);
  }
  s.his_close();
  expect_same_bytes(dir, "many", s);
}

TEST(MiriadWriter, ScaledIntegersAndTheirScale) {
  TempDir dir;
  UvScript s;
  s.preamble("uvw/time/baseline");
  for (int k = 0; k < 40; ++k) {
    std::vector<cf> data;
    const int n = 5 + k % 7;
    for (int c = 0; c < n; ++c) {
      const float scale = k % 10 == 3 ? 0.0f : (k < 20 ? 1.0f : 1000.0f * static_cast<float>(k));
      data.emplace_back(scale * 0.37f * static_cast<float>(2 * c + 1), -scale * 0.37f * static_cast<float>(2 * c + 2));
    }
    s.write({1.0 + k, 2.0, 0.0, 2450000.5 + (k / 4) / 86400.0, 258.0 + (k % 3)}, data);
  }
  expect_same_bytes(dir, "scaled", s);
  // uvset forces reals for any channel count.
  UvScript r;
  r.preamble("uvw/time/baseline").corr("r");
  for (int k = 0; k < 3; ++k) r.write({1.0, 2.0, 3.0, 2450000.5 + k, 258.0}, std::vector<cf>(9, cf(k, -k)));
  expect_same_bytes(dir, "forced", r);
}

TEST(MiriadWriter, ShortPreambleObstypesAndSmallItems) {
  TempDir dir;
  UvScript uv;  // u, v, time, baseline: coord has two values
  for (int k = 0; k < 3; ++k) uv.write({12.5 * k, -3.25, 2450001.25, 258.0 + 257 * (k % 2)}, {cf(1, 1)});
  expect_same_bytes(dir, "uv", uv);
  UvScript autos;  // autocorrelations only
  autos.preamble("uvw/time/baseline");
  for (int k = 0; k < 3; ++k) autos.write({0, 0, 0, 2450001.25 + k, 65536.0 + 2048.0 * 3 + 3}, {cf(1, 0)});
  expect_same_bytes(dir, "auto", autos);
  UvScript empty;  // nothing at all: every item in header
  expect_same_bytes(dir, "empty", empty);
  UvScript flags466 = golden_script(466);  // flags just past 64 bytes: a file of their own
  expect_same_bytes(dir, "f466", flags466);
  UvScript flags465 = golden_script(465);
  expect_same_bytes(dir, "f465", flags465);
}

// ---- the converters' datasets ---------------------------------------------------------

/// MIRIAD reads the dataset as the project's reader does, and MIRIAD's
/// writer, given the calls that write it, writes it again byte for byte.
void expect_miriad_reproduces(const TempDir& dir, const std::string& uv) {
  SCOPED_TRACE(uv);
  expect_miriad_agrees(dir.file(uv));
  EXPECT_EQ(unspecified_bytes_set(dir.file(uv)), "");
  const UvScript script = talva::test::script_of_dataset(dir.file(uv));
  const std::string again = dir.file(uv + ".miriad");
  EXPECT_EQ(talva::test::mir::write(script, again), "");
  EXPECT_EQ(compare_canonical(dir.file(uv), again), "");
}

TEST(MiriadConverters, EveryModeOfTalva2vis3) {
  TempDir dir;
  simulate(dir, {"ndumps=2", "gainsout=sim.gains", "seed=5"});
  const std::vector<std::vector<std::string>> modes{{"skmode=talva1a"},
                                                    {"skmode=talva1b", "nunit=4"},
                                                    {"skmode=talva1c", "nunit=2"},
                                                    {"skmode=talva1d", "nunit=4"},
                                                    {"skmode=talva2a", "nunit=3"},
                                                    {"skmode=talva2b", "nunit=4"},
                                                    {"skmode=talva3a", "nunit=5"},
                                                    {"skmode=talva3b", "nunit=4"},
                                                    {"skmode=orvex"}};
  for (const auto& m : modes) {
    const std::string uv = m[0].substr(7) + ".uv";
    std::vector<std::string> args{"gnsfile=sim.gains", "uvfile=" + uv};
    args.insert(args.end(), m.begin(), m.end());
    const RunResult r = convert("talva2vis3", dir, args);
    ASSERT_EQ(r.status, 0) << uv << "\n" << r.out << r.err;
    ASSERT_FALSE(records(dir.file(uv)).empty()) << uv;
    expect_miriad_reproduces(dir, uv);
  }
}

TEST(MiriadConverters, LegacyConverterAndInteropDatasets) {
  TempDir dir;
  simulate(dir, {"ndumps=2", "gainsout=sim.gains", "seed=6"});
  talva::test::write_file(dir.file("zero.pha"), "no phase corrections\n");
  struct Run {
    const char* program;
    std::vector<std::string> args;
  };
  const std::vector<Run> runs{
      {"talva2vis", {"phasefil=zero.pha", "uvfile=l1a.uv", "startha=-1"}},
      {"talva2vis", {"phasefil=zero.pha", "uvfile=lorvex.uv", "skmode=orvex"}},
      {"talva2vis", {"phasefil=zero.pha", "uvfile=lio.uv", "options=interop"}},
      {"talva2vis3", {"gnsfile=sim.gains", "uvfile=io.uv", "options=interop"}},
      {"talva2vis3", {"gnsfile=sim.gains", "uvfile=ioc.uv", "skmode=talva1c", "nunit=2", "options=interop,nat"}},
  };
  for (const auto& run : runs) {
    const RunResult r = convert(run.program, dir, run.args);
    ASSERT_EQ(r.status, 0) << run.args[1] << "\n" << r.out << r.err;
    expect_miriad_reproduces(dir, run.args[1].substr(7));
  }
}

TEST(MiriadConverters, DatasetOfARunOnAnArchiveCutInADump) {
  // Whether the run ends there or stops on it, the records it wrote are a
  // dataset MIRIAD reads as the project does. (A run killed by a signal is
  // covered by the scratch-directory check of test_interrupt: once its
  // remnant is readable, both readers must agree on it.)
  TempDir dir;
  simulate(dir, {"ndumps=2", "gainsout=sim.gains"});
  const auto two = fs::file_size(dir.file("a.arc"));
  fs::remove(dir.file("a.arc"));
  simulate(dir, {"ndumps=3", "gainsout=sim.gains"});
  const auto three = fs::file_size(dir.file("a.arc"));
  fs::resize_file(dir.file("a.arc"), two + (three - two) / 2);
  const RunResult r = convert("talva2vis3", dir, {"gnsfile=sim.gains", "uvfile=cut.uv"});
  ASSERT_TRUE(fs::exists(dir.file("cut.uv") + "/header")) << r.out << r.err;
  ASSERT_EQ(records(dir.file("cut.uv")).size(), 2u * 130) << r.out << r.err;
  expect_miriad_reproduces(dir, "cut.uv");
}

}  // namespace
