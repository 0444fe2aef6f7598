#pragma once
// Gaussian deviates for the simulated noise of the converters.
//
// The uniform deviates come from a generator of our own (the Park-Miller
// "minimal standard", 31-bit) so that a run gives the same numbers whatever
// the C library; the state is the caller's seed variable.
#include <cstdint>

namespace talva {

/// Next uniform deviate in (0, 1) scaled like rand() / 2^31; advances `seed`.
/// A seed outside 1 .. 2^31 - 2 is first folded into that range.
float uniform_(std::int32_t& seed);

/// One Gaussian deviate (mean 0, variance 1): half the sum of 48 uniform
/// deviates, each shifted by -0.5. Advances `seed` 48 times.
float gauss_(std::int32_t& seed);

}  // namespace talva
