#pragma once
// Plot range of a curve.
#include <span>

namespace talva {

/// Minimum and maximum of x[0..n-1], both widened by 5 % of (max - min), or by
/// 0.05 when all values are equal: max += 0.05 * range, min -= 0.05 * range.
/// n is clipped to x.size(); with n <= 0 the range is -0.05 to 0.05.
void minmax_(int n, std::span<const float> x, float& min, float& max);

}  // namespace talva
