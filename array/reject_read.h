#pragma once
// Reading of the rejection list files (shared by the two loaders' sources).
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "util/textin.h"

namespace talva::detail {

/// The first value of the next non-blank line as an integer; false at end of file.
bool next_first_value(TextInput& in, std::int32_t& value, std::string_view what);
/// Reads entries (first value per line) to the end of the file into list;
/// more entries than list.size() stop the program with overflow_message (or,
/// when empty, a message naming the file and line). Returns the count.
std::int32_t read_list(TextInput& in, std::span<std::int32_t> list, const std::string& overflow_message);
/// True when the name holds nothing but blanks.
bool blank_name(const std::string& file);

}  // namespace talva::detail
