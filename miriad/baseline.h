#pragma once
// MIRIAD baseline numbers: the two antennas of a baseline as one number in
// the preamble, 256 a + b (antennas below 256), or 65536 + 2048 a + b. The
// converters write the long form for the array's antenna pairs and the
// short one for the pseudo-pairs of the compressed modes.
#include <cmath>

namespace talva::miriad {

/// The antennas of a baseline and the form of its number.
struct Baseline {
  int a = 0, b = 0;
  bool wide = true;  ///< 65536 + 2048 a + b; false: 256 a + b

  /// The number of the preamble (exact in a double and in a float).
  double number() const { return wide ? 65536.0 + 2048.0 * a + b : 256.0 * a + b; }
  bool operator==(const Baseline&) const = default;
};

/// The baseline of a preamble number (rounded to the nearest integer):
/// above 65536 the long form, else the short one.
inline Baseline decode_baseline(long q) {
  if (q > 65536) return {static_cast<int>((q - 65536) / 2048), static_cast<int>((q - 65536) % 2048), true};
  return {static_cast<int>(q / 256), static_cast<int>(q % 256), false};
}
inline Baseline decode_baseline(double number) { return decode_baseline(std::lround(number)); }

}  // namespace talva::miriad
