#include "util/gauss.h"

namespace talva {

namespace {
constexpr std::int64_t kModulus = 2147483647;  // 2^31 - 1
constexpr std::int64_t kMultiplier = 48271;
constexpr int kTerms = 48;
}  // namespace

float uniform_(std::int32_t& seed) {
  std::int64_t x = seed;
  x %= kModulus;
  if (x < 0) x += kModulus;
  if (x == 0) x = 1;  // zero is a fixed point of the recurrence
  x = (x * kMultiplier) % kModulus;
  seed = static_cast<std::int32_t>(x);
  return static_cast<float>(x) / 2147483648.0f;
}

float gauss_(std::int32_t& seed) {
  float sum = 0.0f;
  for (int k = 0; k < kTerms; ++k) sum += uniform_(seed) - 0.5f;
  return 0.5f * sum;
}

}  // namespace talva
