// The noise limit of a redundant gain solution: the Cramer-Rao bound of the
// gains, with the quantities the east-west line leaves free removed.
#include <cmath>
#include <vector>

#include "calib/interval_solve.h"

namespace talva::calib {

namespace {

using cdouble = std::complex<double>;

/// Cholesky factor and inverse of a symmetric positive-definite matrix (row-major, in place).
bool invert_spd(std::vector<double>& a, std::size_t m) {
  std::vector<double> L(m * m, 0.0);
  for (std::size_t j = 0; j < m; ++j) {
    double d = a[j * m + j];
    for (std::size_t k = 0; k < j; ++k) d -= L[j * m + k] * L[j * m + k];
    if (!(d > 0.0)) return false;
    L[j * m + j] = std::sqrt(d);
    for (std::size_t i = j + 1; i < m; ++i) {
      double s = a[i * m + j];
      for (std::size_t k = 0; k < j; ++k) s -= L[i * m + k] * L[j * m + k];
      L[i * m + j] = s / L[j * m + j];
    }
  }
  // inverse of L, then inv(A) = inv(L)^T inv(L)
  std::vector<double> Li(m * m, 0.0);
  for (std::size_t j = 0; j < m; ++j) {
    Li[j * m + j] = 1.0 / L[j * m + j];
    for (std::size_t i = j + 1; i < m; ++i) {
      double s = 0.0;
      for (std::size_t k = j; k < i; ++k) s -= L[i * m + k] * Li[k * m + j];
      Li[i * m + j] = s / L[i * m + i];
    }
  }
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j <= i; ++j) {
      double s = 0.0;
      for (std::size_t k = i; k < m; ++k) s += Li[k * m + i] * Li[k * m + j];
      a[i * m + j] = a[j * m + i] = s;
    }
  return true;
}

}  // namespace

double redundant_error_bound(const IntervalData& data, std::span<const cfloat> g, std::span<const cfloat> U) {
  const int n = data.n;
  // parameters: (Re, Im) of each active gain, then of each used class
  std::vector<int> gi(static_cast<std::size_t>(n), -1), ui(static_cast<std::size_t>(data.nclass), -1);
  std::size_t m = 0;
  std::vector<int> ants;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) {
      const int k = data.S[static_cast<std::size_t>((i - 1) + (j - 1) * n)];
      if (k == 0) continue;
      for (int a : {i, j})
        if (gi[static_cast<std::size_t>(a - 1)] < 0) {
          gi[static_cast<std::size_t>(a - 1)] = static_cast<int>(m);
          m += 2;
          ants.push_back(a);
        }
    }
  const std::size_t ngain = m;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) {
      const int k = data.S[static_cast<std::size_t>((i - 1) + (j - 1) * n)];
      if (k != 0 && ui[static_cast<std::size_t>(k - 1)] < 0) {
        ui[static_cast<std::size_t>(k - 1)] = static_cast<int>(m);
        m += 2;
      }
    }
  if (m == 0) return 0.0;
  std::vector<double> F(m * m, 0.0);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) {
      const std::size_t e = static_cast<std::size_t>((i - 1) + (j - 1) * n);
      const int k = data.S[e];
      if (k == 0) continue;
      const double var = e < data.var.size() && data.var[e] > 0.0f ? data.var[e] : 1.0;
      const cdouble Gi(g[static_cast<std::size_t>(i - 1)]), Gj(g[static_cast<std::size_t>(j - 1)]);
      const cdouble Uk(U[static_cast<std::size_t>(k - 1)]);
      const cdouble I(0.0, 1.0);
      // derivatives of the model Gi Uk conj(Gj) by the six real parameters
      const std::size_t idx[6] = {static_cast<std::size_t>(gi[static_cast<std::size_t>(i - 1)]),
                                  static_cast<std::size_t>(gi[static_cast<std::size_t>(i - 1)]) + 1,
                                  static_cast<std::size_t>(gi[static_cast<std::size_t>(j - 1)]),
                                  static_cast<std::size_t>(gi[static_cast<std::size_t>(j - 1)]) + 1,
                                  static_cast<std::size_t>(ui[static_cast<std::size_t>(k - 1)]),
                                  static_cast<std::size_t>(ui[static_cast<std::size_t>(k - 1)]) + 1};
      const cdouble d[6] = {Uk * std::conj(Gj), I * Uk * std::conj(Gj), Gi * Uk,
                            -I * Gi * Uk,       Gi * std::conj(Gj),     I * Gi * std::conj(Gj)};
      for (int p = 0; p < 6; ++p)
        for (int q = 0; q < 6; ++q) F[idx[p] * m + idx[q]] += 2.0 / var * std::real(std::conj(d[p]) * d[q]);
    }
  // The free directions (amplitude, phase, slope) carry no information: a
  // penalty along each makes F invertible without touching the rest.
  double trace = 0.0;
  for (std::size_t p = 0; p < m; ++p) trace += F[p * m + p];
  const double penalty = trace / static_cast<double>(m);
  // amplitude, phase, slope, and the phase of the East arm alone
  std::vector<std::vector<double>> free(4, std::vector<double>(m, 0.0));
  for (int a : ants) {
    const std::size_t p = static_cast<std::size_t>(gi[static_cast<std::size_t>(a - 1)]);
    const cdouble G(g[static_cast<std::size_t>(a - 1)]);
    const cdouble turn = cdouble(0.0, 1.0) * G, slope = turn * line_position(a);
    free[0][p] = G.real(), free[0][p + 1] = G.imag();
    free[1][p] = turn.real(), free[1][p + 1] = turn.imag();
    free[2][p] = slope.real(), free[2][p + 1] = slope.imag();
    if (a <= 48) free[3][p] = turn.real(), free[3][p + 1] = turn.imag();
  }
  for (int k = 1; k <= data.nclass; ++k) {
    const int p = ui[static_cast<std::size_t>(k - 1)];
    if (p < 0) continue;
    // the classes' share: amplitude -2 U, slope -L U with L the class's position difference
    const cdouble Uk(U[static_cast<std::size_t>(k - 1)]);
    double L = 0.0;
    for (int j = 1; j <= n && L == 0.0; ++j)
      for (int i = 1; i <= n; ++i)
        if (data.S[static_cast<std::size_t>((i - 1) + (j - 1) * n)] == k) {
          L = line_position(i) - line_position(j);
          break;
        }
    const cdouble slope = -cdouble(0.0, 1.0) * Uk * L;
    if (k > 43) {  // a cross-arm class: East antenna first
      const cdouble arm = -cdouble(0.0, 1.0) * Uk;
      free[3][static_cast<std::size_t>(p)] = arm.real(), free[3][static_cast<std::size_t>(p) + 1] = arm.imag();
    }
    free[0][static_cast<std::size_t>(p)] = -2.0 * Uk.real(),
    free[0][static_cast<std::size_t>(p) + 1] = -2.0 * Uk.imag();
    free[2][static_cast<std::size_t>(p)] = slope.real(), free[2][static_cast<std::size_t>(p) + 1] = slope.imag();
  }
  for (const auto& v : free) {
    double norm2 = 0.0;
    for (double x : v) norm2 += x * x;
    if (norm2 == 0.0) continue;
    for (std::size_t p = 0; p < m; ++p)
      for (std::size_t q = 0; q < m; ++q) F[p * m + q] += penalty * v[p] * v[q] / norm2;
  }
  if (!invert_spd(F, m)) return -1.0;
  // Gain covariance with the free directions' gain parts projected out
  // (Gram-Schmidt on the three gain-space vectors).
  std::vector<std::vector<double>> basis;
  for (const auto& v : free) {
    std::vector<double> b(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(ngain));
    for (const auto& c : basis) {
      double dot = 0.0;
      for (std::size_t p = 0; p < ngain; ++p) dot += b[p] * c[p];
      for (std::size_t p = 0; p < ngain; ++p) b[p] -= dot * c[p];
    }
    double norm = 0.0;
    for (double x : b) norm += x * x;
    norm = std::sqrt(norm);
    if (norm == 0.0) continue;
    for (double& x : b) x /= norm;
    basis.push_back(b);
  }
  // P = I - B B^T with B orthonormal: trace(P C P) = trace(C) - trace(B^T C B)
  double total = 0.0;
  for (std::size_t p = 0; p < ngain; ++p) total += F[p * m + p];
  for (const auto& b : basis) {
    double bcb = 0.0;
    for (std::size_t p = 0; p < ngain; ++p)
      for (std::size_t q = 0; q < ngain; ++q) bcb += b[p] * F[p * m + q] * b[q];
    total -= bcb;
  }
  return total;
}

}  // namespace talva::calib
