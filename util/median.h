#pragma once
// The median of a sample.
#include <algorithm>
#include <cstddef>
#include <span>

namespace talva {

/// The median of v, which it reorders: the middle value, or for an even
/// count half the sum of the two middle ones, formed in R; 0 for none.
template <typename R, typename T>
R median_in_place(std::span<T> v) {
  if (v.empty()) return R(0);
  const std::size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
  R m = v[mid];
  if (v.size() % 2 == 0)
    m = R(0.5) * (m + R(*std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid))));
  return m;
}

}  // namespace talva
