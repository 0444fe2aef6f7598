#pragma once
// Large-redundancy gain recalibration: re-derives gains and class
// visibilities from one set of averaged correlations (vis indexed by product
// index, [n-1]), with redundancy weights and operator halts. The halts print
// a short prompt and wait for a line on standard input (end of input: go on);
// a caller without an operator turns them off. Messages and prompts go to `out`.
#include <complex>
#include <cstdint>
#include <span>

#include "util/output.h"

namespace talva::calib {

/// What one recalibration works on: n antennas, nclass spacing classes,
/// the class matrix S (n x n), the archive's nbsln product codes antnum,
/// the averaged correlations vis (product index k at [k-1]) and the gains
/// gin to start from (antenna a at [a-1]).
struct RecalInputs {
  int n = 0, nclass = 0, nbsln = 0;
  std::span<const std::int32_t> S, antnum;
  std::span<const std::complex<float>> vis, gin;
};

/// The gains (gout, antenna a at [a-1]) and class visibilities (uout, class
/// k at [k-1]) of `in`, with the operator halts.
void lredun_recal_(const RecalInputs& in, std::span<std::complex<float>> gout, std::span<std::complex<float>> uout,
                   talva::Output& out);

struct RecalOptions {
  bool operator_halts = true;  ///< halt for the operator after the estimates and at the end
};

/// As above; with operator_halts false the routine never reads standard input.
void lredun_recal_(const RecalInputs& in, std::span<std::complex<float>> gout, std::span<std::complex<float>> uout,
                   const RecalOptions& options, talva::Output& out);

}  // namespace talva::calib
