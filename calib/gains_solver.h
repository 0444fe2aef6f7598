#pragma once
// Redundant least-squares gain solver: V(i, j) = g(i) U(S(i, j)) conj(g(j)).
//
// Matrices are n x n column-major (element (i, j), 1-based, at [(i-1) + (j-1)*n]);
// vectors are 0-based (antenna i at [i-1], class k at [k-1]). Single precision.
#include <complex>
#include <cstdint>
#include <span>

#include "util/output.h"

namespace talva::calib {

using cfloat = std::complex<float>;

/// The model of one solve: n antennas, the class matrix S and the
/// correlations V (n x n), the class values U (class k at [k-1], its size
/// the class count) and the weights W (n x n; the weighted routines only).
struct RedundantSystem {
  int n = 0;
  std::span<const std::int32_t> S;
  std::span<const cfloat> V;
  std::span<const cfloat> U;
  std::span<const float> W;
};

/// Unweighted solve (every weight 1; sys.W not read). Returns false, with a
/// message, when there is no active antenna or refant lies outside -1..n; g
/// is then left as (0, 0). refant: -1 no phase turn, 0 first active antenna
/// (written back). The residual of every sweep and the messages go to `out`.
bool lsqrs_gains_solver_(const RedundantSystem& sys, std::span<cfloat> g, int& refant, talva::Output& out);
/// Weighted solve: activity, first estimate, Gauss-Seidel sweeps until the
/// weighted mean squared residual stops falling, phase reference.
bool wt_lsqrs_gains_solver_(const RedundantSystem& sys, std::span<cfloat> g, int& refant, talva::Output& out);
/// Closure-based first estimate (active[i-1] = 0 for an active antenna, 1 otherwise; sys.W not read).
void lsqrs_gains_estimate_(const RedundantSystem& sys, std::span<const std::int32_t> active, std::span<cfloat> g);
/// One Gauss-Seidel sweep from gold into gnew.
void lsqrs_gains_search_itera_(const RedundantSystem& sys, std::span<const std::int32_t> active,
                               std::span<const cfloat> gold, std::span<cfloat> gnew);
/// Weighted mean squared residual of the model.
float lsqrs_gains_resfn_(const RedundantSystem& sys, std::span<const std::int32_t> active, std::span<const cfloat> g);
/// Complex division in the scaled (Smith) form.
cfloat smith_div(cfloat a, cfloat b);

}  // namespace talva::calib
