#pragma once
// Antenna and pair numbering, the correlator layout and the product lookup.
//
// Antennas 1-48 are the East arm's bays 1-48, 49-96 the West arm's (West bay
// b is antenna 48 + b). Product code of a pair: 256 * max + min. Product
// index: 1 + the position of the code in the archive's product table; it
// indexes the correlation block (item k+1 belongs to table entry k; item 1
// belongs to no pair) and the layout arrays.
//
// C++ arrays here are 0-based: the element for product index n is [n - 1].
#include <array>
#include <complex>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "util/constants.h"
#include "util/output.h"
#include "util/vector_width.h"

namespace talva::array {

inline constexpr int kMaxProducts = talva::kMaxProducts;  ///< capacity of the layout record and the programs' buffers
inline constexpr int kMaxLayoutLines = 4608;              ///< 16 FPGAs x 288 products

/// The correlator layout, filled from the layout file (entry [n-1] for product index n).
struct c_layout_common_t {
  std::array<std::int32_t, kMaxProducts> lay_ant1{};  ///< min(a, b)
  std::array<std::int32_t, kMaxProducts> lay_ant2{};  ///< max(a, b)
  std::array<std::int32_t, kMaxProducts> lay_code{};  ///< 256 * max + min
  std::array<std::int32_t, kMaxProducts> lay_sign{};  ///< -1 when the file names the larger antenna first
  std::array<float, kMaxProducts> lay_u{};            ///< 2 pi (x(b) - x(a)) / 0.356, radians per direction cosine
  std::int32_t lay_count = 0;                         ///< product index of the last line stored
  std::array<std::int32_t, kMaxProducts> lay_fpga{};  ///< FPGA number (n - 2) / 288 + 1
};

/// Loads the layout file (lines of two antenna numbers) and prints
/// "(I6, ' c_layout entries')" on `out`. A missing or malformed file, or
/// more than 4608 lines, stops the program.
c_layout_common_t load_corr_layout_file_(const std::string& path, talva::Output& out);
/// load_corr_layout_file_("../data/corr_layout.file", out).
c_layout_common_t load_corr_layout_(talva::Output& out);

/// Stops the program unless the loaded layout describes every product a dump
/// carries (product indices 2..nbsln): a product without a layout line has no
/// conjugation sign, and its correlation would be read with the imaginary part
/// zeroed. `layout_path` names the layout file in the message.
void check_layout_covers_(const c_layout_common_t& layout, std::int32_t nbsln, const std::string& layout_path);

/// Position of antenna 1..96 along the east-west line, metres, East
/// positive: bay b of the East arm (antenna b) at 16.46 + 17.68 (b - 1), bay b
/// of the West arm (antenna 48 + b) at the negative.
float antenna_x(std::int32_t number);

/// Product code of (a, b): 0 when a == b, else 256 * max + min.
std::int32_t set_antnum_(std::int32_t a, std::int32_t b);

/// Linear search of `table` (nprod entries) for `code`: index = position + 1
/// and notfound = 0; when absent prints "(I6,' not found in antenna number set')"
/// on `out`, sets notfound = 1 and leaves index unchanged.
void find_bsnum_(std::int32_t code, std::int32_t nprod, std::span<const std::int32_t> table, std::int32_t& index,
                 std::int32_t& notfound, talva::Output& out);

/// One correlation, oriented (smaller antenna, larger antenna): (word 2 of
/// item `index`, word 1 * lay_sign). `vis` holds the dump's items as float
/// words (item k at vis[2k-2], vis[2k-1]). An index outside the items of
/// `vis` gives (0, 0) and flag = 1; otherwise flag = 0.
/// (Inline: it runs once per product and dump in every program.)
inline void getvis_(const c_layout_common_t& layout, std::int32_t index, std::span<const float> vis,
                    std::complex<float>& value, std::int32_t& flag) {
  const std::size_t items = vis.size() / 2;
  if (index < 1 || static_cast<std::size_t>(index) > items || index > kMaxProducts) {
    value = {0.0f, 0.0f};
    flag = 1;
    return;
  }
  const std::size_t k = static_cast<std::size_t>(index);
  // Word 2 of the item is the real part, word 1 the imaginary part; a pair
  // formed in descending order is conjugated to (smaller, larger) antenna.
  const float sign = static_cast<float>(layout.lay_sign[k - 1]);
  value = {vis[2 * k - 1], vis[2 * k - 2] * sign};
  flag = 0;
}
/// getvis_ without the flag.
inline std::complex<float> getvis(const c_layout_common_t& layout, std::int32_t index, std::span<const float> vis) {
  std::complex<float> value;
  std::int32_t flag = 0;
  getvis_(layout, index, vis, value, flag);
  return value;
}

/// Adds the correlation of every product of one dump (as getvis gives it)
/// to sums[l - 1] and counts it in used[l - 1], for products 1..min(vis.size()
/// / 2, sums.size(), used.size()); a non-finite value (a damaged archive) is
/// neither added nor counted. The same sums, bit for bit, as adding getvis
/// product by product, with either vector width.
void accumulate_products(const c_layout_common_t& layout, std::span<const float> vis,
                         std::span<std::complex<float>> sums, std::span<std::int32_t> used,
                         talva::VectorWidth width = talva::VectorWidth::best);

/// East-west baseline phase factor of a pair: 2 pi (p2 - p1) / wavelength,
/// p = spacing * (bay - 1) + (spacing + gap) / 2, negated for arm code 1.
void compute_base_(float spacing, float gap, float wavelength, std::span<const std::int32_t, 2> bays,
                   std::span<const std::int32_t, 2> arms, float& u);

/// Product lookup built once per archive from its product table: the same
/// answer as find_bsnum_ (first matching entry wins) in constant time.
class ProductTable {
 public:
  ProductTable() = default;
  explicit ProductTable(std::span<const std::int32_t> antnum) { build(antnum); }
  void build(std::span<const std::int32_t> antnum);
  /// Product index of `code`, or 0 when the code is not in the table.
  std::int32_t index_of(std::int32_t code) const;
  /// Product index of the pair (a, b) when it has a usable correlation: its
  /// code is in the table and its item (index <= nbsln) is carried by the
  /// dump. 0 otherwise (code missing, or index nbsln + 1, past the block).
  std::int32_t usable_index(std::int32_t a, std::int32_t b) const;
  std::int32_t nbsln() const { return nbsln_; }

 private:
  std::vector<std::int32_t> small_;                           // codes below 65536 -> index
  std::vector<std::pair<std::int32_t, std::int32_t>> large_;  // other codes, sorted
  std::int32_t nbsln_ = 0;
};

}  // namespace talva::array
