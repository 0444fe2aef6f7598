#pragma once
// Large-redundancy gain recalibration: re-derives gains and class
// visibilities from one set of averaged correlations (vis indexed by product
// index, [n-1]), with redundancy weights and operator halts. The routine
// never reads input itself: a halt is whatever the caller supplies (a prompt
// and a wait for the operator, or nothing). Messages go to `out`.
#include <complex>
#include <cstdint>
#include <functional>
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

struct RecalOptions {
  /// The operator halt: called after a pair missing from the product table
  /// (its line printed), after the class estimates and at the end. Empty:
  /// no halt.
  std::function<void()> halt;
};

/// The gains (gout, antenna a at [a-1]) and class visibilities (uout, class
/// k at [k-1]) of `in`, halting for the operator through `options.halt`.
void lredun_recal_(const RecalInputs& in, std::span<std::complex<float>> gout, std::span<std::complex<float>> uout,
                   const RecalOptions& options, talva::Output& out);

}  // namespace talva::calib
