// Correlator layout, product lookup and the correlation fetch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "array/layout.h"
#include "support/testsupport.h"
#include "util/stop.h"

using talva::array::accumulate_products;
using talva::array::c_layout_common_t;
using talva::array::compute_base_;
using talva::array::find_bsnum_;
using talva::array::getvis;
using talva::array::getvis_;
using talva::array::load_corr_layout_file_;
using talva::array::ProductTable;
using talva::array::set_antnum_;

using talva::Stop;
namespace tt = talva::test;

namespace {

// Loads `text` as a layout file; returns what the loader printed.
std::string load_layout_text(const tt::TempDir& dir, const std::string& text, c_layout_common_t& lay) {
  const std::string path = dir.file("corr_layout.file");
  tt::write_file(path, text);
  talva::StringOutput out;
  lay = load_corr_layout_file_(path, out);
  return out.text();
}

// The message of the stop that f() makes.
std::string stop_message(const std::function<void()>& f) {
  try {
    f();
  } catch (const Stop& s) {
    return s.message();
  }
  return "(no stop)";
}

}  // namespace

TEST(Layout, EntriesOfOneLineInBothOrders) {
  tt::TempDir dir;
  c_layout_common_t lay;
  std::string out = load_layout_text(dir, "3 1\n1,3\n1 49 trailing text\n48 96\n", lay);
  EXPECT_EQ(out, "     5 c_layout entries\n");
  EXPECT_EQ(lay.lay_count, 5);
  // index 1 names no pair
  EXPECT_EQ(lay.lay_code[0], 0);
  EXPECT_EQ(lay.lay_sign[0], 0);
  // 3 then 1: descending order
  EXPECT_EQ(lay.lay_ant1[1], 1);
  EXPECT_EQ(lay.lay_ant2[1], 3);
  EXPECT_EQ(lay.lay_code[1], 769);
  EXPECT_EQ(lay.lay_sign[1], -1);
  EXPECT_NEAR(lay.lay_u[1], -624.083f, 0.002f);
  // 1 then 3: same pair, other sign and phase factor
  EXPECT_EQ(lay.lay_code[2], 769);
  EXPECT_EQ(lay.lay_sign[2], 1);
  EXPECT_EQ(lay.lay_u[2], -lay.lay_u[1]);
  // innermost East and West bays, and the outermost
  EXPECT_NEAR(lay.lay_u[3], -581.018f, 0.002f);
  EXPECT_NEAR(lay.lay_u[4], -29912.9f, 0.05f);
  EXPECT_EQ(lay.lay_code[4], 256 * 96 + 48);
  EXPECT_EQ(lay.lay_fpga[4], 1);
  // nothing written past the last line
  EXPECT_EQ(lay.lay_code[5], 0);
}

TEST(Layout, PhaseFactorAgreesWithComputeBase) {
  tt::TempDir dir;
  c_layout_common_t lay;
  std::string text;
  std::vector<std::pair<int, int>> pairs = {{1, 49}, {49, 1}, {7, 2}, {60, 96}, {44, 92}, {96, 48}, {10, 10}};
  for (auto [a, b] : pairs) text += std::to_string(a) + " " + std::to_string(b) + "\n";
  load_layout_text(dir, text, lay);
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    auto [a, b] = pairs[k];
    const std::int32_t bays[2] = {a > 48 ? a - 48 : a, b > 48 ? b - 48 : b};
    const std::int32_t arms[2] = {a > 48 ? 1 : 0, b > 48 ? 1 : 0};
    float u = 0;
    compute_base_(17.68f, 15.24f, 0.356f, bays, arms, u);
    EXPECT_FLOAT_EQ(u, lay.lay_u[k + 1]) << a << " " << b;
  }
  // a line naming one antenna twice: code 257 a, sign +1, no phase factor
  EXPECT_EQ(lay.lay_code[7], 257 * 10);
  EXPECT_EQ(lay.lay_sign[7], 1);
  EXPECT_EQ(lay.lay_u[7], 0.0f);
  const std::int32_t bays[2] = {1, 1};
  const std::int32_t arms[2] = {0, 1};
  float u = 0;
  compute_base_(17.68f, 15.24f, 0.356f, bays, arms, u);
  EXPECT_NEAR(u, -581.018f, 0.002f);
}

TEST(Layout, FpgaNumberingAndLineLimit) {
  tt::TempDir dir;
  c_layout_common_t lay;
  std::string lines;
  for (int k = 0; k < 288; ++k) lines += "1 2\n";
  EXPECT_EQ(load_layout_text(dir, lines, lay), "   289 c_layout entries\n");
  EXPECT_EQ(lay.lay_fpga[288], 1);
  load_layout_text(dir, lines + "2 3\n", lay);
  EXPECT_EQ(lay.lay_fpga[289], 2);

  std::string full;
  for (int k = 0; k < 4608; ++k) full += "5 6\n";
  EXPECT_EQ(load_layout_text(dir, full, lay), "  4609 c_layout entries\n");
  EXPECT_EQ(lay.lay_fpga[4608], 16);
  const std::string msg = stop_message([&] { load_layout_text(dir, full + "5 6\n", lay); });
  EXPECT_EQ(msg, " ** Invalid FPGA index :      17  product :   4610");
}

TEST(Layout, EmptyFileAndReload) {
  tt::TempDir dir;
  c_layout_common_t lay;
  load_layout_text(dir, "1 2\n1 3\n1 4\n", lay);
  EXPECT_EQ(load_layout_text(dir, "4 1\n", lay), "     2 c_layout entries\n");
  // a second load never leaves the first file's entries behind
  EXPECT_EQ(lay.lay_code[2], 0);
  EXPECT_EQ(load_layout_text(dir, "", lay), "     0 c_layout entries\n");
}

TEST(Layout, MalformedFilesNameFileAndLine) {
  tt::TempDir dir;
  c_layout_common_t lay;
  const std::string path = dir.file("corr_layout.file");
  EXPECT_EQ(stop_message([&] { load_layout_text(dir, "1 2\n\n3 4\n", lay); }).rfind(path + ", line 2: ", 0), 0u);
  std::string msg = stop_message([&] { load_layout_text(dir, "1 2\n1 3\n7\n", lay); });
  EXPECT_EQ(msg.rfind(path + ", line 3: ", 0), 0u) << msg;
  EXPECT_NE(msg.find("second antenna"), std::string::npos) << msg;
  msg = stop_message([&] { load_layout_text(dir, "1 2\n0 5\n", lay); });
  EXPECT_EQ(msg.rfind(path + ", line 2: ", 0), 0u) << msg;
  // the record is 128 characters: what lies past them is not read
  std::string long_line = "1 2" + std::string(130, ' ') + "junk\n";
  EXPECT_EQ(load_layout_text(dir, long_line, lay), "     2 c_layout entries\n");
  talva::StringOutput out;
  msg = stop_message([&] { (void)load_corr_layout_file_(dir.file("missing.file"), out); });
  EXPECT_NE(msg.find(dir.file("missing.file")), std::string::npos) << msg;
}

TEST(ProductLookup, CodesAndSearch) {
  EXPECT_EQ(set_antnum_(5, 5), 0);
  EXPECT_EQ(set_antnum_(70, 3), 17923);
  EXPECT_EQ(set_antnum_(3, 70), 17923);

  const std::vector<std::int32_t> table = {258, 515, 769, 1000, 2000, 3000, 4000, 5000, 1000};
  std::int32_t index = -7, notfound = -1;
  talva::StringOutput out;
  find_bsnum_(1000, 9, table, index, notfound, out);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(index, 5);  // positions 4 and 9: the first one, plus one
  EXPECT_EQ(notfound, 0);

  find_bsnum_(1234, 9, table, index, notfound, out);
  EXPECT_EQ(out.text(), "  1234 not found in antenna number set\n");
  EXPECT_EQ(notfound, 1);
  EXPECT_EQ(index, 5);  // left unchanged
  // nprod larger than the table does not read past it
  find_bsnum_(42, 100, table, index, notfound, out);
  EXPECT_EQ(notfound, 1);
}

TEST(ProductLookup, TableAgreesWithLinearSearch) {
  // a shuffled table of all pairs of 96 antennas, with some repeats and odd codes
  std::vector<std::int32_t> table;
  for (int a = 1; a <= 96; ++a)
    for (int b = a + 1; b <= 96; ++b) table.push_back(set_antnum_(a, b));
  std::mt19937 rng(7);
  std::shuffle(table.begin(), table.end(), rng);
  table.push_back(table[10]);
  table.push_back(-5);
  table.push_back(70000);
  table.push_back(70000);
  ProductTable pt(table);
  EXPECT_EQ(pt.nbsln(), static_cast<std::int32_t>(table.size()));
  talva::StringOutput out;
  for (std::int32_t code : {table[10], table[0], table.back(), std::int32_t{-5}, std::int32_t{70000}, std::int32_t{0},
                            std::int32_t{65535}, std::int32_t{99999}, std::int32_t{-1}}) {
    std::int32_t index = 0, notfound = 0;
    find_bsnum_(code, static_cast<std::int32_t>(table.size()), table, index, notfound, out);
    EXPECT_EQ(pt.index_of(code), notfound ? 0 : index) << code;
  }
}

TEST(ProductLookup, UsableIndexLeavesOutMissingAndLastEntry) {
  // table: (1,2) (1,3) (2,3); items of the dump: 1..3, so (2,3) at index 4 is past it
  const std::vector<std::int32_t> table = {set_antnum_(1, 2), set_antnum_(1, 3), set_antnum_(2, 3)};
  ProductTable pt(table);
  EXPECT_EQ(pt.usable_index(1, 2), 2);
  EXPECT_EQ(pt.usable_index(3, 1), 3);
  EXPECT_EQ(pt.index_of(set_antnum_(2, 3)), 4);
  EXPECT_EQ(pt.usable_index(2, 3), 0);
  EXPECT_EQ(pt.usable_index(1, 4), 0);
  EXPECT_EQ(pt.usable_index(2, 2), 0);
  ProductTable empty;
  EXPECT_EQ(empty.index_of(258), 0);
  EXPECT_EQ(empty.usable_index(1, 2), 0);
}

TEST(Getvis, WordOrderSignAndBounds) {
  tt::TempDir dir;
  c_layout_common_t lay;
  load_layout_text(dir, "2 1\n1 2\n", lay);  // index 2: sign -1, index 3: sign +1
  // item 1 (no pair), item 2, item 3
  const std::vector<float> vis = {9.0f, 9.0f, 0.5f, 2.0f, 0.5f, 2.0f};
  std::complex<float> v;
  std::int32_t flag = -1;
  getvis_(lay, 2, vis, v, flag);
  EXPECT_EQ(v, std::complex<float>(2.0f, -0.5f));
  EXPECT_EQ(flag, 0);
  getvis_(lay, 3, vis, v, flag);
  EXPECT_EQ(v, std::complex<float>(2.0f, 0.5f));
  EXPECT_EQ(flag, 0);
  // swapping the order of a pair in the layout conjugates the value
  EXPECT_EQ(getvis(lay, 2, vis), std::conj(getvis(lay, 3, vis)));
  // outside the block: (0, 0) and flag 1
  for (std::int32_t bad : {0, -3, 4, 5001}) {
    v = {7.0f, 7.0f};
    getvis_(lay, bad, vis, v, flag);
    EXPECT_EQ(v, std::complex<float>(0.0f, 0.0f)) << bad;
    EXPECT_EQ(flag, 1) << bad;
  }
}

// The dump-by-dump accumulation gives, bit for bit, the sums and counts of
// adding getvis product by product and leaving non-finite values out: signs
// +1, -1 and 0 (no layout line), negative zeros, infinities and NaNs in
// either word, and an odd product count (the last one alone); with the
// processor's widest vectors and with 16-byte ones.
TEST(Getvis, AccumulationAgreesWithProductByProductSums) {
  c_layout_common_t lay;
  std::mt19937 rng(5);
  for (std::size_t k = 0; k < 999; ++k) lay.lay_sign[k] = static_cast<std::int32_t>(k % 3) - 1;
  const float odd[] = {-0.0f, 0.0f, INFINITY, -INFINITY, NAN, 3e38f, -3e38f};
  std::vector<float> vis(2 * 999);
  std::vector<std::complex<float>> expect(999), got(999), got16(999);
  std::vector<std::int32_t> expect_n(999), got_n(999), got16_n(999);
  for (int dump = 0; dump < 20; ++dump) {
    for (float& w : vis) w = (rng() % 11 == 0) ? odd[rng() % 7] : std::uniform_real_distribution<float>(-9, 9)(rng);
    for (std::int32_t l = 1; l <= 999; ++l) {
      const std::complex<float> v = getvis(lay, l, vis);
      if (std::isfinite(v.real()) && std::isfinite(v.imag())) {
        expect[l - 1] += v;
        ++expect_n[l - 1];
      }
    }
    accumulate_products(lay, vis, got, got_n);
    accumulate_products(lay, vis, got16, got16_n, talva::VectorWidth::bytes16);
  }
  EXPECT_EQ(std::memcmp(expect.data(), got.data(), expect.size() * sizeof expect[0]), 0);
  EXPECT_EQ(std::memcmp(expect.data(), got16.data(), expect.size() * sizeof expect[0]), 0);
  EXPECT_EQ(got_n, expect_n);
  EXPECT_EQ(got16_n, expect_n);
}
