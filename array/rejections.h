#pragma once
// Rejection lists: product indices and antenna numbers not to be used.
//
// Counted list file: a count (printed, then discarded), then one entry per
// line (first value of the line; blank lines skipped). Plain list file: one
// entry per line. A blank file name means an empty list. Lists are 0-based
// arrays of values (entry k of the design is list[k-1]).
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "util/output.h"

namespace talva::array {

/// True when value is among list[0..n-1]; false when n <= 0.
bool reject_(std::int32_t n, std::span<const std::int32_t> list, std::int32_t value);

/// A rejection list as a loader leaves it: `count` entries read, in an
/// array of the loader's capacity.
struct RejectionList {
  std::int32_t count = 0;
  std::vector<std::int32_t> entries;

  /// An empty list that holds up to `capacity` entries.
  static RejectionList with_capacity(std::size_t capacity) { return {0, std::vector<std::int32_t>(capacity)}; }
  /// Whether `value` is one of the entries read.
  bool contains(std::int32_t value) const { return reject_(count, entries, value); }
  /// The entries read.
  std::span<const std::int32_t> used() const {
    return std::span<const std::int32_t>(entries).first(
        std::min(static_cast<std::size_t>(std::max(count, 0)), entries.size()));
  }
};
/// Product indices not to be used (at most 2000, as gainsolve loads them).
using talva_bsln_rejections_t = RejectionList;
/// Antenna numbers not to be used (at most 100, as gainsolve loads them).
using talva_antenna_rejections_t = RejectionList;

/// Reads a counted list of product indices into list (capacity list.size()).
/// A count that differs from the entries read is reported; the entries count.
/// The loaders print what they read on `out`.
void load_rejects_(const std::string& file, std::int32_t& n, std::span<std::int32_t> list, talva::Output& out);
/// Reads a plain list of antenna numbers into list (capacity list.size()).
void load_antreject_(const std::string& file, std::int32_t& n, std::span<std::int32_t> list, talva::Output& out);
/// Reads a counted list of product indices (at most 2000 entries).
talva_bsln_rejections_t load_badbslns_(const std::string& file, talva::Output& out);
bool rejected_bsln_(const talva_bsln_rejections_t& list, std::int32_t index);
/// Reads a plain list of antenna numbers (at most 100 entries).
talva_antenna_rejections_t load_badants_(const std::string& file, talva::Output& out);
bool rejected_ant_(const talva_antenna_rejections_t& list, std::int32_t antenna);

}  // namespace talva::array
