#pragma once
// Upper-casing of fixed-length texts.
#include <cstddef>
#include <string>
#include <string_view>

namespace talva {

/// Longest text upcase_ copies.
inline constexpr std::size_t kUpcaseMaxLength = 128;

/// Copies `input` up to its last non-blank character (at most `length` and at
/// most 128 characters) with a-z turned into A-Z, and blank-pads the result to
/// `length` characters.
std::string upcase_(std::string_view input, std::size_t length);

}  // namespace talva
