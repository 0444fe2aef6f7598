#pragma once
// Redundancy classes of the array: the S matrix and the class lengths.
//
// S is n x n (n = 96), column-major: element (i, j), 1-based, is S[(i-1) + (j-1)*n].
// S(i, j) is the spacing class of the pair when antenna i lies east of
// antenna j, else 0. Classes 1-43: same-arm separations of 1-43 bays;
// 44-130: cross-arm separations. Antennas 45-48 and 93-96 are in no class.
#include <cstdint>
#include <span>

#include "util/output.h"

namespace talva::array {

inline constexpr int kNumAntennas = 96;
inline constexpr int kNumClasses = 130;

/// Element (i, j) (1-based) of an n x n column-major matrix.
template <typename T>
inline T& mat(std::span<T> m, int n, int i, int j) {
  return m[static_cast<std::size_t>((i - 1) + (j - 1) * n)];
}

/// Fills S (n*n entries) and sets nclass to its largest entry; prints "Done West arm" on `out`.
void setup_s_matrix_(std::span<std::int32_t> S, int n, int& nclass, talva::Output& out);

/// Class lengths from positions xpos[0..n-1] (lengths[k-1] for class k);
/// prints the positions and the lengths on `out`.
void setup_s_lengths_(std::span<const std::int32_t> S, int n, int nclass, std::span<const double> xpos,
                      std::span<float> lengths, talva::Output& out);

/// Ideal class lengths: spacing * k for k = 1..43, offset + spacing * m for class 44 + m.
void setup_s_lengths2_(std::span<float> lengths, int nclass, float spacing, float offset);

}  // namespace talva::array
