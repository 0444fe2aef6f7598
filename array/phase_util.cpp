// Pair codes and the lookup from a product code to its product index.
#include <algorithm>

#include "array/layout.h"
#include "util/fmt.h"

namespace talva::array {

std::int32_t set_antnum_(std::int32_t a, std::int32_t b) {
  if (a == b) return 0;
  return a > b ? 256 * a + b : 256 * b + a;
}

void find_bsnum_(std::int32_t code, std::int32_t nprod, std::span<const std::int32_t> table, std::int32_t& index,
                 std::int32_t& notfound, talva::Output& out) {
  notfound = 0;
  const std::size_t count = std::min<std::size_t>(nprod > 0 ? static_cast<std::size_t>(nprod) : 0, table.size());
  for (std::size_t p = 0; p < count; ++p) {
    if (table[p] == code) {
      index = static_cast<std::int32_t>(p) + 2;  // position (1-based) + 1
      return;
    }
  }
  notfound = 1;
  out.line(talva::fmt_i(code, 6) + " not found in antenna number set");
}

namespace {
constexpr std::int32_t kDirectCodes = 65536;  // every code of two antennas 1..255
}

void ProductTable::build(std::span<const std::int32_t> antnum) {
  // Direct entries up to the largest such code the table holds (24671 for
  // antennas up to 96): no more memory is cleared than can be looked up.
  std::int32_t top = -1;
  for (const std::int32_t code : antnum)
    if (code >= 0 && code < kDirectCodes) top = std::max(top, code);
  small_.assign(static_cast<std::size_t>(top + 1), 0);
  large_.clear();
  nbsln_ = static_cast<std::int32_t>(antnum.size());
  for (std::size_t p = 0; p < antnum.size(); ++p) {
    const std::int32_t code = antnum[p];
    const std::int32_t index = static_cast<std::int32_t>(p) + 2;
    if (code >= 0 && code < kDirectCodes) {
      if (small_[static_cast<std::size_t>(code)] == 0) small_[static_cast<std::size_t>(code)] = index;
    } else {
      large_.emplace_back(code, index);
    }
  }
  // first match wins: a stable sort keeps equal codes in table order
  std::stable_sort(large_.begin(), large_.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
}

std::int32_t ProductTable::index_of(std::int32_t code) const {
  if (code >= 0 && code < kDirectCodes) {
    return static_cast<std::size_t>(code) < small_.size() ? small_[static_cast<std::size_t>(code)] : 0;
  }
  auto it = std::lower_bound(large_.begin(), large_.end(), code,
                             [](const auto& entry, std::int32_t c) { return entry.first < c; });
  if (it == large_.end() || it->first != code) return 0;
  return it->second;
}

std::int32_t ProductTable::usable_index(std::int32_t a, std::int32_t b) const {
  const std::int32_t index = index_of(set_antnum_(a, b));
  // the last table entry's item (index nbsln + 1) lies past the dump's block
  if (index == 0 || index > nbsln_) return 0;
  return index;
}

}  // namespace talva::array
