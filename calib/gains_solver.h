#pragma once
// Redundant least-squares gain solver: V(i, j) = g(i) U(S(i, j)) conj(g(j)).
//
// Matrices are n x n column-major (element (i, j), 1-based, at [(i-1) + (j-1)*n]);
// vectors are 0-based (antenna i at [i-1], class k at [k-1]). Single precision.
#include <complex>
#include <cstdint>
#include <span>

#include "util/output.h"

using cfloat = std::complex<float>;

/// Unweighted solve (every weight 1). Returns false, with a message, when
/// there is no active antenna or refant lies outside -1..n; g is then left
/// as (0, 0). refant: -1 no phase turn, 0 first active antenna (written back).
/// The residual of every sweep and the messages go to `out`.
bool lsqrs_gains_solver_(int n, int nclass, std::span<const std::int32_t> S, std::span<const cfloat> V,
                         std::span<const cfloat> U, std::span<cfloat> g, int& refant, talva::Output& out);

/// Weighted solve: activity, first estimate, Gauss-Seidel sweeps until the
/// weighted mean squared residual stops falling, phase reference.
bool wt_lsqrs_gains_solver_(int n, int nclass, std::span<const std::int32_t> S, std::span<const cfloat> V,
                            std::span<const cfloat> U, std::span<const float> W, std::span<cfloat> g, int& refant,
                            talva::Output& out);

/// Closure-based first estimate (active[i-1] = 0 for an active antenna, 1 otherwise).
void lsqrs_gains_estimate_(int n, int nclass, std::span<const std::int32_t> S, std::span<const std::int32_t> active,
                           std::span<const cfloat> V, std::span<cfloat> g, std::span<const cfloat> U);

/// One Gauss-Seidel sweep from gold into gnew.
void lsqrs_gains_search_itera_(int n, int nclass, std::span<const std::int32_t> S,
                               std::span<const std::int32_t> active, std::span<const cfloat> V,
                               std::span<const float> W, std::span<const cfloat> gold, std::span<cfloat> gnew,
                               std::span<const cfloat> U);

/// Weighted mean squared residual of the model.
float lsqrs_gains_resfn_(int n, int nclass, std::span<const std::int32_t> S, std::span<const std::int32_t> active,
                         std::span<const cfloat> V, std::span<const float> W, std::span<const cfloat> g,
                         std::span<const cfloat> U);

/// Complex division in the scaled (Smith) form.
cfloat smith_div(cfloat a, cfloat b);
