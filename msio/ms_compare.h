#pragma once
// Compares two MeasurementSets (or any two casacore tables) by content:
// table info, keywords (subtables compared the same way, recursively),
// columns (names, order, types, shapes, options, keywords) and every cell
// (defined or not, shape, value). How the values are stored (the storage
// managers, their files) is not compared.
#include <cstddef>
#include <string>
#include <vector>

namespace talva::msio {

/// The differences between the tables at `a` and `b`, one line each, at
/// most `limit` of them; empty when they hold the same. talva::stop when
/// casacore cannot open either.
std::vector<std::string> compare_tables(const std::string& a, const std::string& b, std::size_t limit = 20);

}  // namespace talva::msio
