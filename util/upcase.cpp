#include "util/upcase.h"

#include <algorithm>

namespace talva {

std::string upcase_(std::string_view input, std::size_t length) {
  const std::size_t last = input.find_last_not_of(' ');
  const std::size_t used = last == std::string_view::npos ? 0 : last + 1;
  const std::size_t copy = std::min({used, length, kUpcaseMaxLength});
  std::string out(length, ' ');
  for (std::size_t i = 0; i < copy; ++i) {
    const char c = input[i];
    out[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return out;
}

}  // namespace talva
