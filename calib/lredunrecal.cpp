// Large-redundancy gain recalibration: the data themselves as the sky model.
#include "calib/lredunrecal.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "array/layout.h"
#include "calib/gains_solver.h"
#include "util/complex_product.h"
#include "util/constants.h"
#include "util/fmt.h"

using talva::array::ProductTable;
using talva::array::set_antnum_;

namespace talva::calib {

namespace {

constexpr float kBrightClass = 100.0f;  // class estimates brighter than this carry no weight
constexpr float kDegPerRad = talva::kReportDegPerRad;

using talva::complex_product;
inline bool is_zero(cfloat a) { return a.real() == 0.0f && a.imag() == 0.0f; }

std::size_t at(int n, int i, int j) {  // 1-based (i, j) -> column-major offset
  return static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(n);
}

}  // namespace

void lredun_recal_(const RecalInputs& in, std::span<std::complex<float>> gout, std::span<std::complex<float>> uout,
                   const RecalOptions& options, talva::Output& out) {
  const auto& [n, nclass, nbsln, S, antnum, vis, gin] = in;
  const auto halt = [&] {
    if (options.halt) options.halt();
  };
  out.line(talva::ListLine() << "Large Redundancy Gain Re Calibration Called");
  const std::size_t nn = n > 0 ? static_cast<std::size_t>(n) : 0;
  const std::size_t nc = nclass > 0 ? static_cast<std::size_t>(nclass) : 0;
  if (nn == 0 || S.size() < nn * nn || gin.size() < nn || gout.size() < nn || uout.size() < nc) {
    out.line(" lredun_recal: arrays too small for " + std::to_string(n) + " antennas and " + std::to_string(nclass) +
             " classes; nothing done");
    return;
  }
  for (std::size_t e = 0; e < nn * nn; ++e) {
    if (S[e] < 0 || static_cast<std::size_t>(S[e]) > nc) {
      out.line(" lredun_recal: spacing class " + std::to_string(S[e]) + " outside 1.." + std::to_string(nclass) +
               "; nothing done");
      return;
    }
  }

  std::vector<cfloat> g0(gin.begin(), gin.begin() + static_cast<std::ptrdiff_t>(nn));
  std::vector<cfloat> g(nn);

  // Correlation matrix, oriented i with j. A pair without a usable
  // correlation (code missing, or its item past the dump) is taken out of S
  // here, so that no later sum sees it; elements no step sets stay zero.
  const std::size_t table_size = std::min(static_cast<std::size_t>(std::max(nbsln, 0)), antnum.size());
  const ProductTable products(antnum.first(table_size));
  std::vector<std::int32_t> s(S.begin(), S.begin() + static_cast<std::ptrdiff_t>(nn * nn));
  std::vector<cfloat> vmat(nn * nn);
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= n; ++j) {
      if (s[at(n, i, j)] == 0) continue;
      const std::int32_t code = set_antnum_(i, j);
      const std::int32_t index = products.index_of(code);
      if (index == 0) out.line(talva::fmt_i(code, 6) + " not found in antenna number set");
      if (index == 0 || index > products.nbsln() || static_cast<std::size_t>(index) > vis.size()) {
        out.line(talva::ListLine() << i << j << code);
        halt();
        s[at(n, i, j)] = 0;
        continue;
      }
      const cfloat v = vis[static_cast<std::size_t>(index - 1)];
      vmat[at(n, i, j)] = j > i ? v : std::conj(v);
    }
  }

  // Class estimates from the current gains.
  std::vector<cfloat> uest(nc);
  std::vector<std::int32_t> cnt(nc, 0);
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= n; ++j) {
      const std::int32_t k = s[at(n, i, j)];
      if (k == 0) continue;
      const cfloat d =
          complex_product(g0[static_cast<std::size_t>(i - 1)], std::conj(g0[static_cast<std::size_t>(j - 1)]));
      if (is_zero(d)) continue;  // an antenna without gain says nothing about the class
      uest[static_cast<std::size_t>(k - 1)] += smith_div(vmat[at(n, i, j)], d);
      cnt[static_cast<std::size_t>(k - 1)] += 1;
    }
  }
  for (std::size_t k = 1; k <= nc; ++k) {
    cfloat& u = uest[k - 1];
    const std::int32_t c = cnt[k - 1];
    // a class without pairs has no estimate: it stays zero (and has no weight)
    if (c > 0) u = {u.real() / static_cast<float>(c), u.imag() / static_cast<float>(c)};
    out.line(talva::ListLine() << "VIS_EST(" << static_cast<int>(k) << ")=" << u << c);
  }
  halt();

  // Weights: the class redundancy, except for the shortest spacings and bright classes.
  std::vector<float> w(nn * nn, 0.0f);
  for (std::size_t e = 0; e < nn * nn; ++e) {
    const std::int32_t k = s[e];
    if (k == 0) continue;
    w[e] = static_cast<float>(cnt[static_cast<std::size_t>(k - 1)]);
    if (std::abs(uest[static_cast<std::size_t>(k - 1)]) > kBrightClass) w[e] = 0.0f;
    if (k == 1 || k == 2 || k == 44 || k == 45) w[e] = 0.0f;
  }

  int refant = 0;
  wt_lsqrs_gains_solver_({n, s, vmat, uest, w}, g, refant, out);

  // Class visibilities determined from the new gains (least squares for fixed gains).
  std::vector<cfloat> udet(nc);
  std::vector<float> power(nc, 0.0f);
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= n; ++j) {
      const std::int32_t k = s[at(n, i, j)];
      if (k == 0) continue;
      const cfloat p =
          complex_product(std::conj(g[static_cast<std::size_t>(i - 1)]), g[static_cast<std::size_t>(j - 1)]);
      power[static_cast<std::size_t>(k - 1)] += p.real() * p.real() + p.imag() * p.imag();
      udet[static_cast<std::size_t>(k - 1)] += complex_product(vmat[at(n, i, j)], p);
    }
  }
  for (std::size_t k = 0; k < nc; ++k) {
    const float pk = power[k];
    if (pk != 0.0f) udet[k] = {udet[k].real() / pk, udet[k].imag() / pk};  // no gain: stays zero
  }

  for (std::size_t i = 0; i < nn; ++i) {
    gout[i] = g[i];
    const cfloat a = g[i] * std::abs(g0[i]);
    const cfloat b = g0[i] * std::abs(g[i]);
    float change = 0.0f;
    if (!is_zero(b)) {
      const cfloat q = smith_div(a, b);
      change =
          static_cast<float>(std::atan2(static_cast<double>(q.imag()), static_cast<double>(q.real()))) * kDegPerRad;
    }
    out.line(talva::ListLine() << static_cast<int>(i + 1) << g[i] << g0[i] << change);
  }
  for (std::size_t k = 0; k < nc; ++k) {
    uout[k] = udet[k];
    out.line(talva::ListLine() << "VIS_DET(" << static_cast<int>(k + 1) << ")=" << udet[k]);
  }
  halt();
}

}  // namespace talva::calib
