#pragma once
// Antenna gain tables of the converter.
#include <complex>
#include <span>
#include <string>

#include "util/output.h"

/// Reads the gains file (lines "antenna (re,im) ..." in free format; further
/// items ignored) into gains[a-1] for antennas 1..nant. Every gain starts at
/// (0, 0); lines for antennas outside 1..nant are dropped; a later line for
/// an antenna replaces an earlier one. A missing file or a line without a
/// number and a complex value stops the program naming file and line; so
/// does a file without a line for an antenna 1..nant (no gain at all). An
/// nant above gains.size() is cut to it, with a message on `out`.
void load_gains_(const std::string& gnsfile, int nant, std::span<std::complex<float>> gains, talva::Output& out);

/// Phase of z in radians, in [-pi, pi] (single precision); 0 for (0, 0).
float z2phase_(std::complex<float> z);
