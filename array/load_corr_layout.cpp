// The correlator layout file and its loader.
#include <string>

#include "array/layout.h"
#include "util/constants.h"
#include "util/fmt.h"
#include "util/stop.h"
#include "util/textin.h"

namespace talva::array {

namespace {

constexpr std::size_t kRecordLength = 128;  // a layout line is a 128-character record
constexpr int kProductsPerFpga = 288;
constexpr int kMaxFpgaOffset = 15;         // FPGAs 1..16
constexpr float kBaySpacing = 17.68f;      // metres
constexpr float kInnerBayOffset = 16.46f;  // (17.68 + 15.24) / 2, metres from the array centre
using talva::kTwoPi;
using talva::kWavelength;

}  // namespace

float antenna_x(std::int32_t number) {
  std::int32_t bay = number;
  float side = 1.0f;
  if (number > 48) {
    bay = number - 48;
    side = -1.0f;
  }
  return (kBaySpacing * static_cast<float>(bay - 1) + kInnerBayOffset) * side;
}

c_layout_common_t load_corr_layout_file_(const std::string& path, talva::Output& out) {
  c_layout_common_t lay;
  talva::TextInput in(talva::trim_right(path), "layout");
  std::string line;
  int n = 1;
  while (in.next_line(line, kRecordLength)) {
    n = n + 1;
    if ((n - 2) / kProductsPerFpga > kMaxFpgaOffset) {
      talva::stop(" ** Invalid FPGA index :  " + talva::fmt_i((n - 2) / kProductsPerFpga + 1, 6) +
                  "  product : " + talva::fmt_i(n, 6));
    }
    talva::FreeFormat values(line, &in);
    if (values.at_end()) in.fail("blank line; every line must hold two antenna numbers");
    const std::int32_t a = values.integer("first antenna number");
    const std::int32_t b = values.integer("second antenna number");
    // Antenna numbers outside the array would make product codes that alias
    // other pairs (or overflow), so they are refused here.
    for (std::int32_t ant : {a, b}) {
      if (ant < 1 || ant > 96) in.fail("antenna number " + std::to_string(ant) + " outside 1..96");
    }
    const std::size_t k = static_cast<std::size_t>(n - 1);
    const std::int32_t hi = a > b ? a : b;
    const std::int32_t lo = a > b ? b : a;
    lay.lay_ant2[k] = hi;
    lay.lay_ant1[k] = lo;
    lay.lay_code[k] = 256 * hi + lo;
    lay.lay_count = n;
    lay.lay_sign[k] = a > b ? -1 : 1;
    lay.lay_fpga[k] = (n - 2) / kProductsPerFpga + 1;
    lay.lay_u[k] = (antenna_x(b) - antenna_x(a)) * kTwoPi / kWavelength;
  }
  out.line(talva::fmt_i(lay.lay_count, 6) + " c_layout entries");
  return lay;
}

c_layout_common_t load_corr_layout_(talva::Output& out) {
  return load_corr_layout_file_("../data/corr_layout.file", out);
}

void check_layout_covers_(const c_layout_common_t& layout, std::int32_t nbsln, const std::string& layout_path) {
  const std::int32_t lines = layout.lay_count > 0 ? layout.lay_count - 1 : 0;
  if (nbsln > 1 && layout.lay_count < nbsln) {
    talva::stop("layout file " + talva::trim_right(layout_path) + " has " + std::to_string(lines) +
                " lines; the archive's dumps carry products up to index " + std::to_string(nbsln) + " (" +
                std::to_string(nbsln - 1) + " lines needed)");
  }
}

}  // namespace talva::array
