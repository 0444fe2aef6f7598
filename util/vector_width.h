#pragma once
// The vector width of the hot loops (the averaging of every product, the
// spacing sums): 32-byte vectors where the processor has AVX2, else 16-byte
// ones. Both give the same results to the bit; the tests ask for each.

namespace talva {

enum class VectorWidth { best, bytes16 };

/// True when the processor has AVX2 (asked once per run).
bool have_32_byte_vectors();

/// Whether a loop asked for `width` runs with 32-byte vectors.
inline bool use_32_byte_vectors(VectorWidth width) { return width == VectorWidth::best && have_32_byte_vectors(); }

}  // namespace talva
