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

void lredun_recal_(int n, int nclass, int nbsln, std::span<const std::int32_t> S,
                   std::span<const std::int32_t> antnum, std::span<const std::complex<float>> vis,
                   std::span<const std::complex<float>> gin, std::span<std::complex<float>> gout,
                   std::span<std::complex<float>> uout, talva::Output& out);

struct RecalOptions {
  bool operator_halts = true;  ///< halt for the operator after the estimates and at the end
};

/// As above; with operator_halts false the routine never reads standard input.
void lredun_recal_(int n, int nclass, int nbsln, std::span<const std::int32_t> S,
                   std::span<const std::int32_t> antnum, std::span<const std::complex<float>> vis,
                   std::span<const std::complex<float>> gin, std::span<std::complex<float>> gout,
                   std::span<std::complex<float>> uout, const RecalOptions& options, talva::Output& out);
