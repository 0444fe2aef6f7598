// uv datasets and history: byte identity with the canonical golden datasets,
// the stream rules that decide bytes, round trips through the reader, the
// reader's refusal of damaged datasets, and behaviour on faults.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "miriad/key.h"
#include "miriad/uvio.h"
#include "miriad/uvdump.h"
#include "miriad/uvread.h"
#include "support/testsupport.h"
#include "util/stop.h"

using namespace miriad;
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
      std::snprintf(buf, sizeof buf, "item %s differs at offset %zu: got %02x, want %02x",
                    want.filename().c_str(), i, a[i], b[i]);
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
    EXPECT_EQ(uv_dump_items(r) + uv_dump_vartable(r), dump_section(want, "== items", "== records")
                                                          .substr(0, want.find("== records") - want.find("== items")))
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
