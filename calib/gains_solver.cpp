// Redundant least-squares gain solver: V(i, j) = g(i) U(S(i, j)) conj(g(j)).
//
// All sums are single precision and accumulate in the order of the loops of
// the method: antennas ascending, and for antenna i in a sweep the partners j
// ascending with the S(j, i) term before the S(i, j) term. The pair lists
// built once per call keep exactly that order, so a sweep costs O(pairs)
// instead of O(n^2).
#include "calib/gains_solver.h"

#include <cmath>
#include <string>
#include <vector>

#include "util/complex_product.h"
#include "util/fmt.h"

namespace talva::calib {

namespace {

constexpr float kMinMagnitude = 0.0001f;  // |V| and |U| below this take no part in the first estimate
constexpr float kResidualFloor = 1e-8f;
constexpr float kRelChangeStop = 1e-5f;
constexpr int kMaxSweeps = 100;

// Complex arithmetic written out, so that every product rounds the same way
// wherever it is formed (no library fallbacks, no contraction).
using talva::complex_product;
inline cfloat cscale(float w, cfloat a) { return {w * a.real(), w * a.imag()}; }
inline float cabs_(cfloat a) { return std::hypot(a.real(), a.imag()); }
inline bool is_zero(cfloat a) { return a.real() == 0.0f && a.imag() == 0.0f; }

std::size_t at(int n, int i, int j) {  // 0-based (i, j) -> column-major offset
  return static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * static_cast<std::size_t>(n);
}

// The matrices of one call, with class lookups that never index past U.
struct Problem {
  int n;
  std::span<const std::int32_t> S;
  std::span<const cfloat> V;
  std::span<const cfloat> U;
  int cls(int i, int j) const {  // 0-based antennas; 0 when the pair is not modelled
    const std::int32_t k = S[at(n, i, j)];
    return (k >= 1 && static_cast<std::size_t>(k) <= U.size()) ? k : 0;
  }
  cfloat v(int i, int j) const { return V[at(n, i, j)]; }
  cfloat u(int k) const { return U[static_cast<std::size_t>(k - 1)]; }
};

// One term of antenna i's normal equation: num += coef * g(j), den += w (|U| |g(j)|)^2.
struct Term {
  int j;
  cfloat coef;  // (w conj(V(j, i))) U(k)  or  (w V(i, j)) conj(U(k))
  float w;
  float absu;
};

// One modelled pair, for the residual.
struct Pair {
  int i, j;
  float w;
  cfloat v, u;
};

struct Lists {
  std::vector<std::size_t> start;  // terms of antenna i: [start[i], start[i + 1])
  std::vector<Term> terms;
  std::vector<Pair> pairs;
};

Lists build_lists(const Problem& p, std::span<const std::int32_t> active, std::span<const float> W) {
  const int n = p.n;
  Lists l;
  std::size_t modelled = 0;
  for (std::size_t e = 0; e < static_cast<std::size_t>(n) * static_cast<std::size_t>(n); ++e) modelled += p.S[e] != 0;
  l.terms.reserve(2 * modelled);
  l.pairs.reserve(modelled);
  l.start.assign(static_cast<std::size_t>(n) + 1, 0);
  std::vector<float> absu(p.U.size());  // |U(k)| at [k-1], formed once per class
  for (std::size_t k = 0; k < absu.size(); ++k) absu[k] = cabs_(p.U[k]);
  const auto abs_u = [&](int k) { return absu[static_cast<std::size_t>(k - 1)]; };
  auto is_active = [&](int a) { return active[static_cast<std::size_t>(a)] == 0; };
  for (int i = 0; i < n; ++i) {
    l.start[static_cast<std::size_t>(i)] = l.terms.size();
    if (!is_active(i)) continue;
    for (int j = 0; j < n; ++j) {
      if (!is_active(j)) continue;
      if (const int k = p.cls(j, i); k != 0) {
        const float w = W[at(n, j, i)];
        l.terms.push_back({j, complex_product(cscale(w, std::conj(p.v(j, i))), p.u(k)), w, abs_u(k)});
      }
      if (const int k = p.cls(i, j); k != 0) {
        const float w = W[at(n, i, j)];
        l.terms.push_back({j, complex_product(cscale(w, p.v(i, j)), std::conj(p.u(k))), w, abs_u(k)});
      }
    }
  }
  l.start[static_cast<std::size_t>(n)] = l.terms.size();
  for (int i = 0; i < n; ++i) {
    if (!is_active(i)) continue;
    for (int j = 0; j < n; ++j) {
      if (!is_active(j)) continue;
      if (const int k = p.cls(i, j); k != 0) l.pairs.push_back({i, j, W[at(n, i, j)], p.v(i, j), p.u(k)});
    }
  }
  return l;
}

float residual(const Lists& l, std::span<const cfloat> g) {
  float r = 0.0f;
  float wsum = 0.0f;
  for (const Pair& q : l.pairs) {
    const cfloat m = complex_product(complex_product(g[static_cast<std::size_t>(q.i)], q.u),
                                     std::conj(g[static_cast<std::size_t>(q.j)]));
    const cfloat d = q.v - m;
    r += q.w * (d.real() * d.real() + d.imag() * d.imag());
    wsum += q.w;
  }
  if (wsum == 0.0f) return 0.0f;  // nothing carries weight: no residual to speak of
  return r / wsum;
}

// Gauss-Seidel sweep in place: g holds gold on entry and gnew on return.
void sweep(const Lists& l, std::span<cfloat> g, std::vector<float>& absg) {
  const std::size_t n = absg.size();
  for (std::size_t a = 0; a < n; ++a) absg[a] = cabs_(g[a]);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t b = l.start[i], e = l.start[i + 1];
    if (b == e) continue;
    cfloat num{0.0f, 0.0f};
    float den = 0.0f;
    for (std::size_t t = b; t < e; ++t) {
      const Term& term = l.terms[t];
      const std::size_t j = static_cast<std::size_t>(term.j);
      num += complex_product(term.coef, g[j]);
      const float s = term.absu * absg[j];
      den += term.w * (s * s);
    }
    if (den == 0.0f) continue;  // no weighted pair: the gain stays as it was
    g[i] = {num.real() / den, num.imag() / den};
    absg[i] = cabs_(g[i]);
  }
}

void estimate(const Problem& p, std::span<const std::int32_t> active, std::span<cfloat> g) {
  const int n = p.n;
  auto is_active = [&](int a) { return active[static_cast<std::size_t>(a)] == 0; };
  int r = -1;
  for (int a = 0; a < n && r < 0; ++a)
    if (is_active(a)) r = a;
  for (int a = 0; a < n; ++a) g[static_cast<std::size_t>(a)] = is_active(a) ? cfloat{1.0f, 0.0f} : cfloat{};
  if (r < 0) return;
  auto usable = [&](int k) { return k != 0 && cabs_(p.u(k)) >= kMinMagnitude; };
  // z = the correlation of (a, b) in that order over its class visibility,
  // from whichever orientation is modelled; false when neither is usable.
  auto scaled = [&](int a, int b, cfloat& z) {
    if (const int k = p.cls(a, b); k != 0) {
      if (!usable(k)) return false;
      z = smith_div(p.v(a, b), p.u(k));
      return true;
    }
    if (const int k = p.cls(b, a); k != 0) {
      if (!usable(k)) return false;
      z = std::conj(smith_div(p.v(b, a), p.u(k)));
      return true;
    }
    return false;
  };
  // y(i) estimates g(r) conj(g(i))
  std::vector<cfloat> y(static_cast<std::size_t>(n));
  std::vector<bool> has_y(static_cast<std::size_t>(n), false);
  for (int i = 0; i < n; ++i) {
    if (!is_active(i)) continue;
    cfloat z;
    if (const int k = p.cls(r, i); k != 0) {
      if (is_zero(p.u(k))) continue;
      z = smith_div(p.v(r, i), p.u(k));
    } else if (const int k2 = p.cls(i, r); k2 != 0) {
      if (is_zero(p.u(k2))) continue;
      z = std::conj(smith_div(p.v(i, r), p.u(k2)));
    } else {
      continue;
    }
    y[static_cast<std::size_t>(i)] = z;
    has_y[static_cast<std::size_t>(i)] = true;
  }
  // the side (r, j) of every triangle, formed once per j
  std::vector<cfloat> z2s(static_cast<std::size_t>(n));
  std::vector<bool> has_z2(static_cast<std::size_t>(n), false);
  for (int j = 0; j < n; ++j) {
    if (!is_active(j)) continue;
    cfloat z;
    if (scaled(r, j, z)) {
      z2s[static_cast<std::size_t>(j)] = z;
      has_z2[static_cast<std::size_t>(j)] = true;
    }
  }
  // closure triangles (r, i, j): each gives an estimate of |g(r)|^2
  float m = 0.0f;
  int c = 0;
  for (int i = 0; i < n; ++i) {
    if (!has_y[static_cast<std::size_t>(i)]) continue;
    for (int j = 0; j < n; ++j) {
      if (!is_active(j)) continue;
      if (cabs_(p.v(i, j)) < kMinMagnitude) continue;  // row i, column j whatever the orientation
      cfloat z1;
      if (!scaled(i, j, z1) || !has_z2[static_cast<std::size_t>(j)]) continue;
      if (is_zero(z1)) continue;
      const cfloat w =
          complex_product(smith_div(z2s[static_cast<std::size_t>(j)], z1), std::conj(y[static_cast<std::size_t>(i)]));
      c = c + 1;
      m += std::sqrt(cabs_(w));
    }
  }
  float gr = 1.0f;
  if (c > 0) {
    gr = m / static_cast<float>(c);
    if (!(gr > 0.0f) || !std::isfinite(gr)) gr = 1.0f;  // a zero amplitude would poison every other gain
  }
  const cfloat g_r{gr, 0.0f};
  g[static_cast<std::size_t>(r)] = g_r;
  for (int j = 0; j < n; ++j) {
    if (const int k = p.cls(r, j); k != 0 && !is_zero(p.u(k)))
      g[static_cast<std::size_t>(j)] = std::conj(smith_div(smith_div(p.v(r, j), p.u(k)), g_r));
  }
  for (int j = 0; j < n; ++j) {
    if (const int k = p.cls(j, r); k != 0 && !is_zero(p.u(k)))
      g[static_cast<std::size_t>(j)] = smith_div(smith_div(p.v(j, r), p.u(k)), std::conj(g_r));
  }
}

std::size_t square(int n) { return static_cast<std::size_t>(n) * static_cast<std::size_t>(n); }

bool sizes_ok(int n, std::span<const std::int32_t> S, std::span<const cfloat> V, std::span<const std::int32_t> active) {
  return n >= 1 && S.size() >= square(n) && V.size() >= square(n) && active.size() >= static_cast<std::size_t>(n);
}

void say(talva::Output& out, const std::string& text) { out.line(" lsqrs_gains_solver: " + text); }

}  // namespace

cfloat smith_div(cfloat a, cfloat b) {
  const float br = b.real(), bi = b.imag();
  if (std::fabs(br) >= std::fabs(bi)) {
    const float r = bi / br;
    const float d = br + bi * r;
    return {(a.real() + a.imag() * r) / d, (a.imag() - a.real() * r) / d};
  }
  const float r = br / bi;
  const float d = bi + br * r;
  return {(a.real() * r + a.imag()) / d, (a.imag() * r - a.real()) / d};
}

void lsqrs_gains_estimate_(const RedundantSystem& sys, std::span<const std::int32_t> active, std::span<cfloat> g) {
  const auto& [n, S, V, U, W] = sys;
  if (!sizes_ok(n, S, V, active) || g.size() < static_cast<std::size_t>(n)) return;
  estimate(Problem{n, S, V, U}, active, g);
}

void lsqrs_gains_search_itera_(const RedundantSystem& sys, std::span<const std::int32_t> active,
                               std::span<const cfloat> gold, std::span<cfloat> gnew) {
  const auto& [n, S, V, U, W] = sys;
  if (!sizes_ok(n, S, V, active) || W.size() < square(n) || gold.size() < static_cast<std::size_t>(n) ||
      gnew.size() < static_cast<std::size_t>(n))
    return;
  const Lists l = build_lists(Problem{n, S, V, U}, active, W);
  for (std::size_t a = 0; a < static_cast<std::size_t>(n); ++a) gnew[a] = gold[a];
  std::vector<float> absg(static_cast<std::size_t>(n));
  sweep(l, gnew.first(static_cast<std::size_t>(n)), absg);
}

float lsqrs_gains_resfn_(const RedundantSystem& sys, std::span<const std::int32_t> active, std::span<const cfloat> g) {
  const auto& [n, S, V, U, W] = sys;
  if (!sizes_ok(n, S, V, active) || W.size() < square(n) || g.size() < static_cast<std::size_t>(n)) return 0.0f;
  return residual(build_lists(Problem{n, S, V, U}, active, W), g);
}

bool wt_lsqrs_gains_solver_(const RedundantSystem& sys, std::span<cfloat> g, int& refant, talva::Output& out) {
  const auto& [n, S, V, U, W] = sys;
  if (n < 1 || S.size() < square(n) || V.size() < square(n) || W.size() < square(n) ||
      g.size() < static_cast<std::size_t>(n)) {
    say(out, "matrices too small for " + std::to_string(n) + " antennas; no solution");
    return false;
  }
  const std::size_t nn = static_cast<std::size_t>(n);
  std::fill(g.begin(), g.begin() + static_cast<std::ptrdiff_t>(n), cfloat{});
  if (refant < -1 || refant > n) {
    say(out, "reference antenna " + std::to_string(refant) + " outside 1.." + std::to_string(n) + "; no solution");
    return false;
  }
  std::vector<std::int32_t> active(nn, 1);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      const std::int32_t k = S[at(n, i, j)];
      if (k == 0) continue;
      if (k < 0 || static_cast<std::size_t>(k) > U.size()) {
        say(out, "spacing class " + std::to_string(k) + " of pair (" + std::to_string(i + 1) + ", " +
                     std::to_string(j + 1) + ") outside 1.." + std::to_string(U.size()) + "; no solution");
        return false;
      }
      active[static_cast<std::size_t>(i)] = 0;
      active[static_cast<std::size_t>(j)] = 0;
    }
  }
  int first_active = 0;
  for (int a = n; a >= 1; --a)
    if (active[static_cast<std::size_t>(a - 1)] == 0) first_active = a;
  if (first_active == 0) {
    say(out, "no active antenna; no solution");
    return false;
  }

  const Problem p{n, S, V, U};
  const Lists l = build_lists(p, active, W);
  std::vector<cfloat> gold(nn), gnew(nn);
  std::vector<float> absg(nn);
  estimate(p, active, gold);
  const float res0 = residual(l, gold);
  out.line(talva::ListLine() << "RES0=" << res0);
  float old = res0;
  for (int t = 1; t <= kMaxSweeps; ++t) {
    gnew = gold;
    sweep(l, gnew, absg);
    const float res = residual(l, gnew);
    const float rel = old > kResidualFloor ? std::fabs(res - old) / old : std::fabs(res - old);
    out.line(talva::ListLine() << t << " RES=" << res << " REL CHANGE=" << rel);
    if (res < kResidualFloor || rel < kRelChangeStop) break;
    gold = gnew;
    old = res;
  }
  std::copy(gnew.begin(), gnew.end(), g.begin());

  if (refant == -1) return true;
  if (refant == 0) refant = first_active;
  const cfloat z = g[static_cast<std::size_t>(refant - 1)];
  if (is_zero(z)) return true;  // no phase to refer to: phases stay as solved
  const cfloat turn = smith_div(cfloat{cabs_(z), 0.0f}, z);
  for (std::size_t a = 0; a < nn; ++a) g[a] = complex_product(g[a], turn);
  return true;
}

bool lsqrs_gains_solver_(const RedundantSystem& sys, std::span<cfloat> g, int& refant, talva::Output& out) {
  const std::vector<float> w(sys.n > 0 ? square(sys.n) : 0, 1.0f);
  RedundantSystem weighted = sys;
  weighted.W = w;
  return wt_lsqrs_gains_solver_(weighted, g, refant, out);
}

}  // namespace talva::calib
