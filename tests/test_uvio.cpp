// uv datasets and history: byte identity with the canonical golden datasets,
// the stream rules that decide bytes, round trips through the reader, the
// reader's refusal of damaged datasets, and behaviour on faults.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "miriad/baseline.h"
#include "miriad/key.h"
#include "miriad/uvdump.h"
#include "miriad/uvio.h"
#include "miriad/uvread.h"
#include "support/testsupport.h"
#include "util/stop.h"

using namespace talva::miriad;
using talva::test::read_bytes;
using talva::test::read_file;
using talva::test::TempDir;
using talva::test::write_file;
namespace fs = std::filesystem;

namespace {

const std::string golden = std::string(TALVA_GOLDEN_DIR) + "/miriad-canon/";

template <typename F>
std::string fatal(F f) {
  try {
    f();
  } catch (const talva::Stop& s) {
    EXPECT_EQ(s.status(), 1);
    return s.message();
  }
  ADD_FAILURE() << "no fatal stop";
  return "";
}

void put_r(int tno, const char* name, float x) { uvputvrr(tno, name, std::span<const float>(&x, 1)); }
void put_i(int tno, const char* name, std::int32_t x) { uvputvri(tno, name, std::span<const std::int32_t>(&x, 1)); }
void put_d(int tno, const char* name, double x) { uvputvrd(tno, name, std::span<const double>(&x, 1)); }

/// The converter's 24 fixed variables, in its order.
void put_fixed_variables(int tno) {
  put_r(tno, "epoch", 2000.0f);
  put_i(tno, "nants", 96);
  put_r(tno, "veldop", 0.0f);
  put_r(tno, "vsource", 0.0f);
  uvputvra(tno, "source", "TALVA");
  put_d(tno, "ra", 3.1415928);
  put_d(tno, "obsra", 3.1415928);
  put_d(tno, "dec", -0.7853982);
  put_d(tno, "obsdec", -0.7853982);
  put_d(tno, "latitud", -0.6173499822616577);
  put_d(tno, "longitu", 2.607928991317749);
  uvputvra(tno, "telescop", "TALVA");
  put_r(tno, "inttime", std::bit_cast<float>(0x3F7FFFFFu));
  put_i(tno, "nchan", 1);
  put_i(tno, "ischan", 1);
  put_i(tno, "nschan", 1);
  put_i(tno, "nspect", 1);
  put_d(tno, "sfreq", 0.843);
  put_d(tno, "sdf", 0.003);
  put_i(tno, "npol", 1);
  put_i(tno, "pol", 1);
  put_r(tno, "jyperk", 40.0f);
  put_r(tno, "systemp", 45.0f);
  put_d(tno, "restfreq", 0.0);
}

/// Record k of the golden sequence.
void golden_record(int tno, int k) {
  double p[5] = {100.5 * (k + 1), -20.25 * (k + 1), 0.0, 2453737.0 + static_cast<double>(k) / 86400.0,
                 67585.0 + (k % 130) + 1};
  std::complex<float> d(static_cast<float>(1.5 + k), static_cast<float>(-0.5 * k));
  std::int32_t f = 1;
  uvwrite(tno, p, std::span(&d, 1), std::span(&f, 1), 1);
}

/// Writes the golden call sequence with `n` records into `path`.
void write_golden_sequence(const std::string& path, int n) {
  int tno = 0;
  uvopen(tno, path, "new");
  uvset(tno, "preamble", "uvw/time/baseline", 0, 0.0, 0.0, 0.0);
  hisopen(tno, "write");
  hiswrite(tno, "TALVA: Miriad version 1.1 29-Aug-2006");
  hiswrite(tno, "IMAGER: infile=test.dat");
  put_fixed_variables(tno);
  for (int k = 0; k < n; ++k) golden_record(tno, k);
  hisclose(tno);
  uvclose(tno);
}

/// Empty when the two files are identical, else the first difference.
std::string compare_item(const fs::path& got, const fs::path& want) {
  auto a = read_bytes(got.string()), b = read_bytes(want.string());
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) {
      char buf[128];
      std::snprintf(buf, sizeof buf, "item %s differs at offset %zu: got %02x, want %02x", want.filename().c_str(), i,
                    a[i], b[i]);
      return buf;
    }
  if (a.size() != b.size())
    return "item " + want.filename().string() + " has " + std::to_string(a.size()) + " bytes, want " +
           std::to_string(b.size());
  return "";
}

std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

// ---- byte identity ----------------------------------------------------------

// Baseline numbers in both forms, and their decoding back to the antennas
// (the long form for every number above 65536).
TEST(UvBaseline, NumbersOfBothFormsDecodeToTheirAntennas) {
  struct Case {
    talva::miriad::Baseline b;
    double number;
  };
  for (const Case& c : {Case{{1, 2, false}, 258.0}, Case{{37, 38, false}, 9510.0}, Case{{255, 255, false}, 65535.0},
                        Case{{1, 2, true}, 67586.0}, Case{{1, 96, true}, 67680.0}, Case{{44, 92, true}, 155740.0},
                        Case{{0, 1, true}, 65537.0}}) {
    EXPECT_EQ(c.b.number(), c.number) << c.b.a << "-" << c.b.b;
    EXPECT_EQ(talva::miriad::decode_baseline(c.number), c.b) << c.number;
    EXPECT_EQ(talva::miriad::decode_baseline(static_cast<double>(static_cast<float>(c.number)) + 0.3), c.b) << c.number;
  }
}

TEST(UvGolden, CallSequenceReproducesTheCanonicalDatasets) {
  TempDir dir;
  for (int n : {0, 1, 300}) {
    std::string name = "n" + std::to_string(n);
    std::string out = dir.file(name);
    write_golden_sequence(out, n);
    fs::path want = golden + name;
    EXPECT_EQ(listing(out), listing(want)) << name;
    for (const auto& item : listing(want)) EXPECT_EQ(compare_item(fs::path(out) / item, want / item), "") << name;
  }
}

namespace {

/// The lines of a golden dump from `first` (a section heading) up to and
/// including the line that starts with `last`.
std::string dump_section(const std::string& dump, const std::string& first, const std::string& last) {
  std::size_t b = dump.find(first);
  std::size_t e = dump.find(last, b);
  if (b == std::string::npos || e == std::string::npos) return "<section missing>";
  return dump.substr(b, dump.find('\n', e) + 1 - b);
}

}  // namespace

TEST(UvGolden, ReaderListsTheDatasetsAsMiriadsReaderDid) {
  TempDir dir;
  for (int n : {0, 1, 300}) {
    std::string name = "n" + std::to_string(n);
    write_golden_sequence(dir.file(name), n);
    std::string want = read_file(std::string(TALVA_GOLDEN_DIR) + "/" + name + ".dump.txt");
    UvReader r(dir.file(name));
    EXPECT_EQ(uv_dump_items(r) + uv_dump_vartable(r),
              dump_section(want, "== items", "== records").substr(0, want.find("== records") - want.find("== items")))
        << name;
    EXPECT_EQ(uv_dump_history(r), dump_section(want, "== history", "== end of history")) << name;
    if (n > 0) {
      EXPECT_EQ(uv_dump_records(r), dump_section(want, "== records", "== end of records")) << name;
    } else {
      // MIRIAD refuses a dataset without records; ours reads it as empty.
      UvRecord rec;
      EXPECT_FALSE(r.read(rec));
    }
  }
}

// ---- the stream rules -------------------------------------------------------

namespace {

/// A dataset with the uvw preamble and nothing else yet.
int open_new(const std::string& path) {
  int tno = 0;
  uvopen(tno, path, "new");
  uvset(tno, "preamble", "uvw/time/baseline", 0, 0, 0, 0);
  return tno;
}

void record(int tno, double u, double time, double bl, std::vector<std::complex<float>> data,
            std::vector<std::int32_t> flags = {}) {
  if (flags.empty()) flags.assign(data.size(), 1);
  double p[5] = {u, -u, 0.0, time, bl};
  uvwrite(tno, p, data, flags, static_cast<int>(data.size()));
}

/// For each record, whether variable `name` came with it.
std::vector<bool> updates_of(const std::string& path, const std::string& name) {
  UvReader r(path);
  std::vector<bool> seen;
  UvRecord rec;
  while (r.read(rec)) seen.push_back(r.variable(name)->updated);
  return seen;
}

}  // namespace

TEST(UvStream, EightConsecutiveChangesMakeAVariableAlwaysWritten) {
  TempDir dir;
  for (int changing : {7, 8}) {
    std::string path = dir.file("c" + std::to_string(changing));
    int tno = open_new(path);
    for (int k = 0; k < 12; ++k) {
      put_r(tno, "tsys", static_cast<float>(std::min(k, changing - 1)));
      record(tno, 1 + k, 2450000.5 + k, 67586, {{1, 2}});
    }
    uvclose(tno);
    std::vector<bool> want(12, true);
    if (changing == 7)
      for (int k = 7; k < 12; ++k) want[k] = false;
    EXPECT_EQ(updates_of(path, "tsys"), want) << changing;
  }
}

TEST(UvStream, CoordTimeAndBaselineOnlyWhenTheyChange) {
  TempDir dir;
  std::string path = dir.file("d");
  int tno = open_new(path);
  record(tno, 10, 2450000.5, 67586, {{1, 0}});
  record(tno, 10, 2450000.5, 67586.2, {{2, 0}});  // same float baseline? no: 67586.2f differs
  record(tno, 10, 2450000.5, 67586.2, {{3, 0}});
  record(tno, 11, 2450000.5, 67586.2, {{4, 0}});
  uvclose(tno);
  EXPECT_EQ(updates_of(path, "coord"), (std::vector<bool>{true, false, false, true}));
  EXPECT_EQ(updates_of(path, "time"), (std::vector<bool>{true, false, false, false}));
  EXPECT_EQ(updates_of(path, "baseline"), (std::vector<bool>{true, true, false, false}));
  EXPECT_EQ(updates_of(path, "corr"), (std::vector<bool>{true, true, true, true}));
  UvReader r(path);
  UvRecord rec;
  for (float want : {1.f, 2.f, 3.f, 4.f}) {
    ASSERT_TRUE(r.read(rec));
    EXPECT_EQ(rec.data[0].real(), want);  // unchanged variables keep their value
    EXPECT_EQ(rec.time, 2450000.5);
  }
  EXPECT_EQ(rec.u, 11);
  EXPECT_EQ(rec.v, -11);
}

TEST(UvStream, ChannelCountDefinesNchanAfterTheRecordVariables) {
  TempDir dir;
  std::string path = dir.file("d");
  int tno = open_new(path);
  record(tno, 1, 2450000.5, 67586, {{1, 2}, {3, 4}});
  record(tno, 2, 2450000.6, 67586, {{5, 6}, {7, 8}});
  record(tno, 3, 2450000.7, 67586, {{9, 10}, {11, 12}, {13, 14}});
  uvclose(tno);
  EXPECT_EQ(updates_of(path, "nchan"), (std::vector<bool>{true, false, true}));
  UvReader r(path);
  std::vector<std::uint8_t> vt;
  ASSERT_TRUE(r.item_bytes("vartable", vt));  // 46 bytes: packed in header
  EXPECT_EQ(std::string(vt.begin(), vt.end()), "r corr\nd coord\nd time\nr baseline\ni nchan\n");
  UvRecord rec;
  r.read(rec);
  r.read(rec);
  ASSERT_TRUE(r.read(rec));
  EXPECT_EQ(rec.data, (std::vector<std::complex<float>>{{9, 10}, {11, 12}, {13, 14}}));
  EXPECT_EQ(r.variable("nchan")->ints(), std::vector<std::int32_t>{3});
  std::int64_t ncorr = 0;
  ASSERT_TRUE(r.item_int8("ncorr", ncorr));
  EXPECT_EQ(ncorr, 7);
}

TEST(UvStream, MoreThanFourChannelsAreScaledIntegers) {
  TempDir dir;
  std::string path = dir.file("d");
  int tno = open_new(path);
  std::vector<std::complex<float>> data;
  for (int k = 0; k < 5; ++k) data.emplace_back(0.37f * (2 * k + 1), -0.37f * (2 * k + 2));
  record(tno, 1, 2450000.5, 67586, data);
  uvclose(tno);
  UvReader r(path);
  UvRecord rec;
  ASSERT_TRUE(r.read(rec));
  EXPECT_EQ(r.variable("corr")->type, 'j');
  EXPECT_EQ(r.variable("tscale")->format(), "0.000112918489");
  auto s = r.variable("corr")->shorts();
  ASSERT_EQ(s.size(), 10u);
  EXPECT_EQ(s[0], 3276);
  EXPECT_EQ(s[1], -6553);
  EXPECT_EQ(s[9], -32767);
  float ts = r.variable("tscale")->reals()[0];
  for (std::size_t k = 0; k < 5; ++k) {
    EXPECT_NEAR(rec.data[k].real(), data[k].real(), ts);
    EXPECT_NEAR(rec.data[k].imag(), data[k].imag(), ts);
  }
  // Values that cannot be scaled are stored as 0 and do not spoil the scale.
  std::string path3 = dir.file("d3");
  tno = open_new(path3);
  auto odd = data;
  odd[1] = {std::nanf(""), INFINITY};
  record(tno, 1, 2450000.5, 67586, odd);
  uvclose(tno);
  UvReader r3(path3);
  ASSERT_TRUE(r3.read(rec));
  EXPECT_EQ(r3.variable("tscale")->format(), "0.000112918489");
  EXPECT_EQ(rec.data[1], std::complex<float>(0, 0));
  EXPECT_EQ(r3.variable("corr")->shorts()[9], -32767);
  // uvset can force reals for any channel count.
  std::string path2 = dir.file("d2");
  tno = open_new(path2);
  uvset(tno, "corr", "r", 0, 0, 0, 0);
  record(tno, 1, 2450000.5, 67586, data);
  uvclose(tno);
  UvReader r2(path2);
  ASSERT_TRUE(r2.read(rec));
  EXPECT_EQ(rec.data, data);
}

TEST(UvStream, FlagsPackThirtyOneToAWordAndMoveToAFileWhenLarge) {
  TempDir dir;
  std::string path = dir.file("d");
  int tno = open_new(path);
  std::vector<bool> want;
  for (int k = 0; k < 466; ++k) {
    bool good = k % 7 != 3 && k != 30 && k != 31;
    want.push_back(good);
    record(tno, k + 1, 2450000.5 + k, 67586, {{1, 0}}, {good ? 1 : 0});
  }
  uvclose(tno);
  auto flags = read_bytes(path + "/flags");  // 4 + 4 * 16 = 68 bytes: a file of its own
  ASSERT_EQ(flags.size(), 68u);
  EXPECT_EQ(flags[3], 2);
  // Flag 30 is bit 30 of word 1, flag 31 bit 0 of word 2: both cleared.
  EXPECT_EQ(flags[4] & 0x40, 0);
  EXPECT_EQ(flags[11] & 0x01, 0);
  EXPECT_EQ(flags[4] & 0x80, 0);  // bit 31 is never used
  UvReader r(path);
  UvRecord rec;
  std::vector<bool> got;
  while (r.read(rec)) got.push_back(rec.flags[0]);
  EXPECT_EQ(got, want);
}

TEST(UvStream, EmptyDatasetKeepsEverythingInHeader) {
  TempDir dir;
  std::string path = dir.file("d");
  int tno = 0;
  uvopen(tno, path, "new");
  uvclose(tno);
  EXPECT_EQ(listing(path), std::vector<std::string>{"header"});
  UvReader r(path);
  std::vector<std::string> names;
  for (const auto& i : r.items()) names.push_back(i.name + (i.in_header ? ":h" : ":f") + std::to_string(i.size));
  EXPECT_EQ(names, (std::vector<std::string>{"ncorr:h16", "nwcorr:h16", "vartable:h0", "visdata:h0", "vislen:h16"}));
  // header order: newest item first, visdata (created at open) last
  auto h = read_bytes(path + "/header");
  ASSERT_EQ(h.size(), 3 * 32u + 2 * 16u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&h[96])), "vartable");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&h[112])), "visdata");
}

TEST(UvStream, ObstypeFollowsTheBaselines) {
  TempDir dir;
  auto obstype = [&](const std::string& name, std::vector<double> baselines) {
    std::string path = dir.file(name);
    int tno = open_new(path);
    for (std::size_t k = 0; k < baselines.size(); ++k) record(tno, 1, 2450000.5 + k, baselines[k], {{1, 0}});
    uvclose(tno);
    std::string t = "<none>";
    UvReader(path).item_text("obstype", t);
    return t;
  };
  EXPECT_EQ(obstype("a", {65536 + 2048 * 3 + 3, 256 * 5 + 5}), "autocorrelation");
  EXPECT_EQ(obstype("c", {65536 + 2048 * 1 + 96, 256 * 1 + 2}), "crosscorrelation");
  EXPECT_EQ(obstype("m", {256 * 1 + 2, 256 * 2 + 2}), "mixed-auto-cross");
}

TEST(UvStream, ShortPreambleGivesTwoCoordinates) {
  TempDir dir;
  std::string path = dir.file("d");
  int tno = 0;
  uvopen(tno, path, "new");
  double p[4] = {12.5, -3.25, 2450001.25, 258};
  std::complex<float> d(1, 1);
  std::int32_t f = 1;
  uvwrite(tno, p, std::span(&d, 1), std::span(&f, 1), 1);
  uvclose(tno);
  UvReader r(path);
  UvRecord rec;
  ASSERT_TRUE(r.read(rec));
  EXPECT_EQ(r.variable("coord")->count(), 2u);
  EXPECT_EQ(rec.u, 12.5);
  EXPECT_EQ(rec.v, -3.25);
  EXPECT_EQ(rec.w, 0.0);
  EXPECT_EQ(rec.time, 2450001.25);
  EXPECT_EQ(rec.baseline, 258);
}

// ---- round trips ---------------------------------------------------------------

TEST(UvRoundTrip, VariablesOfEveryTypeAndManyRecords) {
  TempDir dir;
  std::string path = dir.file("d");
  int tno = open_new(path);
  std::vector<std::int32_t> ints{-2147483647 - 1, 0, 7, 2147483647};
  std::vector<float> reals{-0.0f, 1e-38f, 3.4e38f, -1.5f};
  std::vector<double> doubles{-0.0, 1e-300, 6.02214076e23, -0.1};
  uvputvri(tno, "iv", ints);
  uvputvrr(tno, "rv", reals);
  uvputvrd(tno, "dv", doubles);
  uvputvra(tno, "sv", "text, with blanks ");
  std::vector<double> times;
  for (int k = 0; k < 2000; ++k) {
    if (k == 1000) uvputvra(tno, "sv", "later");  // a new length: a new SIZE record
    double t = 2453737.0 + k / 86400.0;
    times.push_back(t);
    record(tno, 0.25 * k, t, 65536 + 2048 * (1 + k % 95) + 96, {{static_cast<float>(k), -static_cast<float>(k)}},
           {k % 3 == 0 ? 0 : 1});
  }
  uvclose(tno);
  UvReader r(path);
  UvRecord rec;
  for (int k = 0; k < 2000; ++k) {
    ASSERT_TRUE(r.read(rec)) << k;
    if (k == 0) {
      EXPECT_EQ(r.variable("iv")->ints(), ints);
      auto rr = r.variable("rv")->reals();
      ASSERT_EQ(rr.size(), 4u);
      EXPECT_TRUE(std::signbit(rr[0]));
      EXPECT_EQ(std::vector<float>(rr.begin() + 1, rr.end()), std::vector<float>(reals.begin() + 1, reals.end()));
      auto dd = r.variable("dv")->doubles();
      EXPECT_TRUE(std::signbit(dd[0]));
      EXPECT_EQ(dd[3], -0.1);
      EXPECT_EQ(r.variable("sv")->text(), "text, with blanks ");
    }
    EXPECT_EQ(rec.u, 0.25 * k);
    EXPECT_EQ(rec.time, times[k]);
    EXPECT_EQ(rec.baseline, 65536 + 2048 * (1 + k % 95) + 96);
    EXPECT_EQ(rec.data[0], std::complex<float>(static_cast<float>(k), -static_cast<float>(k)));
    EXPECT_EQ(rec.flags[0], k % 3 != 0) << k;
  }
  EXPECT_EQ(r.variable("sv")->text(), "later");
  EXPECT_FALSE(r.read(rec));
  EXPECT_EQ(r.records_read(), 2000);
}

// ---- faults ---------------------------------------------------------------------

TEST(UvFaults, ExistingDatasetIsNeverOverwritten) {
  TempDir dir;
  std::string path = dir.file("d");
  write_golden_sequence(path, 1);
  auto before = read_bytes(path + "/visdata");
  int tno = 0;
  EXPECT_EQ(fatal([&] { uvopen(tno, path, "new"); }),
            "### Fatal Error:  Error opening " + path + ", in UVOPEN(new): File exists");
  EXPECT_EQ(read_bytes(path + "/visdata"), before);
  EXPECT_NE(fatal([&] { uvopen(tno, dir.file("no/such/dir"), "new"); }).find("No such file or directory"),
            std::string::npos);
}

TEST(UvFaults, LayerErrorsDeleteTheNewDataset) {
  TempDir dir;
  std::string path = dir.file("d");
  struct Case {
    std::string message;
    std::function<void(int)> act;
  };
  std::vector<Case> cases{
      {"Variable nants has changed type, in UVPUTVR", [](int t) { put_r(t, "nants", 1.0f); }},
      {"The variable name longername is too long, in UVPUTVR", [](int t) { put_i(t, "longername", 1); }},
      {"Cannot change the preamble after the first record, in UVSET.",
       [](int t) { uvset(t, "preamble", "uv/time/baseline", 0, 0, 0, 0); }},
      {"Unsupported object \"data\", in UVSET.", [](int t) { uvset(t, "data", "wide", 0, 0, 0, 0); }},
      {"Bad number of channels (0) for " + path + ", in UVWRITE",
       [](int t) {
         double p[5] = {};
         uvwrite(t, p, {}, {}, 0);
       }},
      {"Preamble, data or flags shorter than the record for " + path + ", in UVWRITE",
       [](int t) {
         double p[5] = {};
         std::complex<float> d[1];
         std::int32_t f[1] = {1};
         uvwrite(t, p, d, f, 2);
       }},
  };
  int t0 = 0;
  uvopen(t0, path, "new");
  EXPECT_EQ(fatal([&] { uvset(t0, "preamble", "u/v", 0, 0, 0, 0); }),
            "### Fatal Error:  Unsupported preamble \"u/v\",in UVSET.");
  for (const auto& c : cases) {
    int tno = open_new(path);
    put_i(tno, "nants", 96);
    record(tno, 1, 2450000.5, 67586, {{1, 0}});
    EXPECT_EQ(fatal([&] { c.act(tno); }), "### Fatal Error:  " + c.message);
    EXPECT_FALSE(fs::exists(path)) << c.message;
    EXPECT_FALSE(uvisopen(tno));
  }
}

TEST(UvFaults, ZeroSizedValueWarnsAndWritesNothing) {
  TempDir dir;
  std::string path = dir.file("d");
  int tno = open_new(path);
  testing::internal::CaptureStderr();
  uvputvra(tno, "source", "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "### Warning:  Variable source has zero or negative size, in UVPUTVR\n");
  uvclose(tno);
  EXPECT_EQ(UvReader(path).variable("source"), nullptr);
}

TEST(UvFaults, CloserCompletesTheDatasetWhenAProgramStops) {
  TempDir dir;
  std::string path = dir.file("d");
  try {
    int tno = 0;
    uvopen(tno, path, "new");
    UvCloser closer(tno);
    uvset(tno, "preamble", "uvw/time/baseline", 0, 0, 0, 0);
    hisopen(tno, "write");
    hiswrite(tno, "TALVA: Miriad version 1.1 29-Aug-2006");
    put_fixed_variables(tno);
    for (int k = 0; k < 10; ++k) golden_record(tno, k);
    talva::stop("program's own fatal condition");
  } catch (const talva::Stop& s) {
    EXPECT_EQ(s.message(), "program's own fatal condition");
  }
  UvReader r(path);
  UvRecord rec;
  int n = 0;
  while (r.read(rec)) ++n;
  EXPECT_EQ(n, 10);
  EXPECT_EQ(r.history(), std::vector<std::string>{"TALVA: Miriad version 1.1 29-Aug-2006"});
  // A closer whose dataset was closed normally does nothing.
  std::string path2 = dir.file("d2");
  {
    int tno = 0;
    uvopen(tno, path2, "new");
    UvCloser closer(tno);
    uvclose(tno);
  }
  EXPECT_TRUE(fs::exists(path2 + "/header"));
}

TEST(UvFaults, WriteErrorsNameTheDatasetAndAreFatal) {
  TempDir dir;
  std::string path = dir.file("d");
  int tno = open_new(path);
  put_fixed_variables(tno);
  for (int k = 0; k < 5; ++k) golden_record(tno, k);
  // A link planted at an item's name (in place of the empty visdata the
  // dataset is made with) is never followed.
  fs::remove(path + "/visdata");
  fs::create_symlink("/dev/full", path + "/visdata");
  EXPECT_EQ(fatal([&] { uvclose(tno); }),
            "### Fatal Error:  Error opening visdata for " + path + ": Too many levels of symbolic links");
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(uvisopen(tno));
  // A write error (files may grow to 512 bytes here, as on a full disk);
  // a closer reports it instead of throwing while a program is already stopping.
  std::string path2 = dir.file("e");
  testing::internal::CaptureStderr();
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 512;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  try {
    int t2 = open_new(path2);
    UvCloser closer(t2);
    put_fixed_variables(t2);
    for (int k = 0; k < 40; ++k) golden_record(t2, k);
    talva::stop("stop");
  } catch (const talva::Stop&) {
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "### Fatal Error:  Error writing visdata for " + path2 + ": File too large\n");
  EXPECT_FALSE(fs::exists(path2));
}

// ---- the reader refuses damaged datasets -------------------------------------------

TEST(UvReaderChecks, DamagedDatasetsAreRefusedWithTheirName) {
  TempDir dir;
  auto cut = [](const std::string& file, std::size_t size) { fs::resize_file(file, size); };
  auto poke = [](const std::string& file, std::size_t off, unsigned char byte) {
    auto b = read_bytes(file);
    b[off] = byte;
    write_file(file, std::string(b.begin(), b.end()));
  };
  // vislen is the first header entry; its value ends at byte 0x1f.
  auto set_vislen = [&](const std::string& d, unsigned v) {
    poke(d + "/header", 0x1f, static_cast<unsigned char>(v & 0xff));
    poke(d + "/header", 0x1e, static_cast<unsigned char>(v >> 8));
  };
  struct Case {
    const char* expect;  // part of the message
    std::function<void(const std::string&)> damage;
  };
  std::vector<Case> cases{
      {"ends inside the value of epoch", [&](const std::string& d) { poke(d + "/visdata", 5, 1); }},
      {"but vislen is 24504 (truncated)", [&](const std::string& d) { cut(d + "/visdata", 24496); }},
      {"unrecognised record code 7", [&](const std::string& d) { poke(d + "/visdata", 584 + 2, 7); }},
      {"variable index 99 at offset 584 is not in vartable",
       [&](const std::string& d) { poke(d + "/visdata", 584, 99); }},
      {"no vartable item", [&](const std::string& d) { fs::remove(d + "/vartable"); }},
      {"bad vartable line 1: [x epoch]", [&](const std::string& d) { poke(d + "/vartable", 0, 'x'); }},
      {"header entry flags runs past the end", [&](const std::string& d) { cut(d + "/header", 200); }},
      {"header file ends inside an entry name block", [&](const std::string& d) { cut(d + "/header", 204 - 44 - 8); }},
      {"read past end of mask item flags",
       [&](const std::string& d) {
         poke(d + "/header", 0x90 + 15, 40);  // flags: 9 words, 279 flags for 300 records
         cut(d + "/header", 200);
       }},
      {"has length of 0", [&](const std::string& d) { poke(d + "/visdata", 7, 0); }},
      // The last record without its end marker is a cut stream, not one record fewer.
      {"no end-of-record marker",
       [&](const std::string& d) {
         cut(d + "/visdata", 24500 - 4);
         set_vislen(d, 24496);
       }},
      // Cut at a record boundary with vislen to match: the counters still tell.
      {"ncorr is 300 but the records hold 299 channels",
       [&](const std::string& d) {
         cut(d + "/visdata", 24500 - 80);
         set_vislen(d, 24504 - 80);
       }},
  };
  for (const auto& c : cases) {
    std::string path = dir.file("d");
    fs::remove_all(path);
    write_golden_sequence(path, 300);
    c.damage(path);
    std::string msg = fatal([&] {
      UvReader r(path);
      UvRecord rec;
      while (r.read(rec)) {
      }
    });
    EXPECT_NE(msg.find("### Fatal Error:  Dataset " + path + ": "), std::string::npos) << msg;
    EXPECT_NE(msg.find(c.expect), std::string::npos) << msg << " / " << c.expect;
  }
  EXPECT_NE(fatal([&] { UvReader r(dir.file("absent")); }).find("not a dataset"), std::string::npos);
}

TEST(UvReaderChecks, MissingFlagsWarnAndReadAsGood) {
  TempDir dir;
  std::string path = dir.file("d");
  write_golden_sequence(path, 466);  // flags in a file of their own
  fs::remove(path + "/flags");
  UvReader r(path);
  UvRecord rec;
  testing::internal::CaptureStderr();
  int n = 0;
  while (r.read(rec)) n += rec.flags[0] ? 1 : 0;
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "### Warning:  No flags found for corr -- assuming data are good\n");
  EXPECT_EQ(n, 466);
}

// ---- history ----------------------------------------------------------------------

TEST(UvHistory, HisinputWritesNameClockAndArguments) {
  TempDir dir;
  write_file(dir.file("par"), "freq=1420,5  \nreclim=1,0\n");
  std::vector<std::string> args{"talva2vis3", "infile=test.dat  ", "-f", dir.file("par"), "uvfile=out.uv"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  keyini(static_cast<int>(argv.size()), argv.data());
  std::string path = dir.file("d");
  int tno = open_new(path);
  hisopen(tno, "write");
  hiswrite(tno, "TALVA: Miriad version 1.1 29-Aug-2006");
  hisinput(tno, "imager: ");
  hisclose(tno);
  uvclose(tno);
  EXPECT_THROW(keyfin(), talva::Stop);  // the keywords were never read: unknown to this test
  auto lines = UvReader(path).history();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(IMAGER: Executed on: \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.0)")))
      << lines[1];
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
            (std::vector<std::string>{"IMAGER: Command line inputs follow:", "IMAGER:   infile=test.dat",
                                      "IMAGER:   freq=1420,5", "IMAGER:   reclim=1,0", "IMAGER:   uvfile=out.uv"}));
  int t2 = open_new(dir.file("e"));
  hisopen(t2, "write");
  EXPECT_EQ(fatal([&] { hisinput(t2, " : "); }), "### Fatal Error:  HisInput: Bad program name.");
}

TEST(UvHistory, LongHistoryAppendAndRead) {
  TempDir dir;
  std::string path = dir.file("d");
  int tno = open_new(path);
  hisopen(tno, "write");
  std::vector<std::string> want;
  for (int k = 0; k < 2000; ++k) {  // well past one 16 KiB buffer
    want.push_back("LINE " + std::to_string(k) + std::string(k % 50, '.'));
    hiswrite(tno, want.back());
  }
  hisclose(tno);
  uvclose(tno);
  uvopen(tno, path, "old");
  hisopen(tno, "append");
  hiswrite(tno, "APPENDED");
  hisclose(tno);
  hisopen(tno, "read");
  want.push_back("APPENDED");
  std::vector<std::string> got;
  std::string line;
  while (hisread(tno, line)) got.push_back(line);
  uvclose(tno);
  EXPECT_EQ(got, want);
  EXPECT_EQ(fatal([&] { uvopen(tno, dir.file("none"), "old"); }),
            "### Fatal Error:  Error opening " + dir.file("none") + ", in UVOPEN(old): No such file or directory");
}

// ---- the listing tool -----------------------------------------------------------

TEST(TalvaList, SummaryAndFullListingOfAWrittenDataset) {
  TempDir dir;
  std::string path = dir.file("d");
  write_golden_sequence(path, 300);
  auto r = talva::test::run("talvalist", {"vis=" + path, "summary=true"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "dataset:    " + path +
                       "\nrecords:    300\nvariables:  28\nfirst time: 2453737.000000000\n"
                       "last time:  2453737.003460648\nbaselines:  130\nchannels:   1\nflagged:    0\n"
                       "mean data:  (151,-74.75)\nmean amp:   168.492\n"
                       "obstype:    crosscorrelation\nhistory:    2 line(s)\n");
  r = talva::test::run("talvalist", {"vis=" + path, "recs=2"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("record 2\n"), std::string::npos);
  EXPECT_EQ(r.out.find("record 3\n"), std::string::npos);
  EXPECT_NE(r.out.find("== end of records: 300 record(s)"), std::string::npos);
  // The summary by default; full=true lists every record.
  EXPECT_EQ(talva::test::run("talvalist", {"vis=" + path}).out,
            talva::test::run("talvalist", {"vis=" + path, "summary=t"}).out);
  EXPECT_NE(talva::test::run("talvalist", {"vis=" + path, "full=t"}).out.find("record 300\n"), std::string::npos);

  r = talva::test::run("talvalist", {"-k"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Keywords of talvalist (keyword=default):\n  vis=\n  summary=true\n  full=false\n  recs=-1\n");
  r = talva::test::run("talvalist", {});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "### Fatal Error:  vis= (the uv dataset) is required.\n");
  r = talva::test::run("talvalist", {"vis=" + path, "recs=2x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "### Fatal Error:  KeyI: Conversion error decoding parameter [recs=2x].\n");
  fs::resize_file(path + "/visdata", 1000);
  r = talva::test::run("talvalist", {"vis=" + path, "summary=true"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("### Fatal Error:  Dataset " + path), std::string::npos) << r.err;
}
