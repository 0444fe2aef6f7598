#pragma once
// Antenna gain tables of the converter.
#include <complex>
#include <span>
#include <string>

#include "util/output.h"

namespace talva::convert {

/// Reads the gains file (lines "antenna (re,im) ..." in free format; further
/// items ignored) into gains[a-1] for antennas 1..nant. Every gain starts at
/// (0, 0); lines for antennas outside 1..nant are dropped; a later line for
/// an antenna replaces an earlier one. A missing file or a line without a
/// number and a complex value stops the program naming file and line; so
/// does a gain that is not finite or whose amplitude is above kMaxGainAmplitude
/// (its products would overflow single precision and flag sound data). With
/// `applied` (a data mode), a file without a nonzero gain for an antenna
/// 1..nant stops too (the dataset would be all zeros). An nant above
/// gains.size() is cut to it, with a message on `out`.
void load_gains_(const std::string& gnsfile, int nant, std::span<std::complex<float>> gains, bool applied,
                 talva::Output& out);

/// The largest gain amplitude accepted: gain products and the orvex weights
/// (amplitude to the fourth power) stay far inside single precision.
inline constexpr float kMaxGainAmplitude = 1e9f;

/// Phase of z in radians, in [-pi, pi] (single precision); 0 for (0, 0).
float z2phase_(std::complex<float> z);

}  // namespace talva::convert
