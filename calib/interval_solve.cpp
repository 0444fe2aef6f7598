// Per-interval gain solutions: point or redundant model, fit quality, flags.
#include "calib/interval_solve.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>

#include "calib/gains_solver.h"
#include "util/fmt.h"
#include "util/median.h"
#include "util/vector_width.h"

namespace talva::calib {

namespace {

using cdouble = std::complex<double>;

constexpr double kInnerOffsetBays = 16.46 / 17.68;  // innermost bay from the line's centre, in bays
constexpr int kMaxSweeps = 2000;                    // redundant solution: sweeps at most
constexpr double kConverged = 1e-10;                // relative fall of chi2 that ends the sweeps

struct Pair {
  int i, j, k;  // 1-based antennas and class
  cdouble v;
  double w;  // 1 / variance (complex)
};

std::size_t at(int n, int i, int j) {
  return static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(n);
}

using talva::fixed;

double median(std::vector<double> v) { return talva::median_in_place<double>(std::span<double>(v)); }

/// The pairs of S in use, with weights: 1/var, a pair without a variance
/// taking the median one (all without: unit weight).
std::vector<Pair> pairs_of(const IntervalData& d, const std::vector<std::int32_t>& S, bool& weighted) {
  std::vector<double> known;
  std::size_t used = 0;
  for (std::size_t e = 0; e < S.size(); ++e) {
    if (S[e] == 0) continue;
    ++used;
    if (e < d.var.size() && d.var[e] > 0.0f && std::isfinite(d.var[e])) known.push_back(d.var[e]);
  }
  weighted = !known.empty();
  // the median is needed only when some pair has no variance of its own
  const double fallback = weighted ? (known.size() < used ? median(known) : 0.0) : 1.0;
  std::vector<Pair> p;
  for (int j = 1; j <= d.n; ++j)
    for (int i = 1; i <= d.n; ++i) {
      const std::size_t e = at(d.n, i, j);
      if (S[e] == 0) continue;
      double var = e < d.var.size() ? d.var[e] : 0.0;
      if (!(var > 0.0) || !std::isfinite(var)) var = fallback;
      p.push_back({i, j, S[e], cdouble(d.V[e]), 1.0 / var});
    }
  return p;
}

/// Least-squares class visibilities for fixed gains; 0 for a class without weight.
void solve_classes(const std::vector<Pair>& pairs, const std::vector<cdouble>& g, std::vector<cdouble>& U) {
  std::vector<cdouble> num(U.size());
  std::vector<double> den(U.size(), 0.0);
  for (const Pair& p : pairs) {
    const cdouble h = std::conj(g[static_cast<std::size_t>(p.i - 1)]) * g[static_cast<std::size_t>(p.j - 1)];
    num[static_cast<std::size_t>(p.k - 1)] += p.w * h * p.v;
    den[static_cast<std::size_t>(p.k - 1)] += p.w * std::norm(h);
  }
  for (std::size_t k = 0; k < U.size(); ++k) U[k] = den[k] > 0.0 ? num[k] / den[k] : cdouble(0.0);
}

double chi2_of(const std::vector<Pair>& pairs, const std::vector<cdouble>& g, const std::vector<cdouble>& U) {
  double c = 0.0;
  for (const Pair& p : pairs) {
    const cdouble m = g[static_cast<std::size_t>(p.i - 1)] * U[static_cast<std::size_t>(p.k - 1)] *
                      std::conj(g[static_cast<std::size_t>(p.j - 1)]);
    c += p.w * std::norm(p.v - m);
  }
  return 2.0 * c;  // variance per real part is var / 2
}

/// Gains and class visibilities together by alternating least squares: a
/// Gauss-Seidel sweep over the gains for fixed classes, then the classes for
/// fixed gains, until chi2 stops falling. Returns the sweeps made.
int solve_redundant(const std::vector<Pair>& pairs, int n, std::vector<cdouble>& g, std::vector<cdouble>& U) {
  // each antenna's pairs: index and whether it is the pair's first antenna
  std::vector<std::vector<std::pair<std::size_t, bool>>> of(static_cast<std::size_t>(n));
  for (std::size_t q = 0; q < pairs.size(); ++q) {
    of[static_cast<std::size_t>(pairs[q].i - 1)].push_back({q, true});
    of[static_cast<std::size_t>(pairs[q].j - 1)].push_back({q, false});
  }
  solve_classes(pairs, g, U);
  double old = chi2_of(pairs, g, U);
  int sweep = 0;
  while (sweep < kMaxSweeps) {
    ++sweep;
    for (int a = 1; a <= n; ++a) {
      const auto& list = of[static_cast<std::size_t>(a - 1)];
      if (list.empty()) continue;
      cdouble num = 0.0;
      double den = 0.0;
      for (const auto& [q, first] : list) {
        const Pair& p = pairs[q];
        const cdouble u = U[static_cast<std::size_t>(p.k - 1)];
        if (first) {  // V = g(a) u conj(g(j))
          const cdouble h = u * std::conj(g[static_cast<std::size_t>(p.j - 1)]);
          num += p.w * p.v * std::conj(h);
          den += p.w * std::norm(h);
        } else {  // V = g(i) u conj(g(a)): conj(V) = g(a) conj(g(i) u)
          const cdouble h = std::conj(g[static_cast<std::size_t>(p.i - 1)] * u);
          num += p.w * std::conj(p.v) * std::conj(h);
          den += p.w * std::norm(h);
        }
      }
      if (den > 0.0) g[static_cast<std::size_t>(a - 1)] = num / den;
    }
    solve_classes(pairs, g, U);
    const double c = chi2_of(pairs, g, U);
    const bool done = old - c <= kConverged * std::max(c, 1e-30);
    old = c;
    if (done) break;
  }
  return sweep;
}

std::vector<cdouble> widen(std::span<const cfloat> g) { return std::vector<cdouble>(g.begin(), g.end()); }

std::vector<cfloat> narrow(const std::vector<cdouble>& g) {
  std::vector<cfloat> r(g.size());
  for (std::size_t a = 0; a < g.size(); ++a)
    r[a] = cfloat(static_cast<float>(g[a].real()), static_cast<float>(g[a].imag()));
  return r;
}

bool finite(cfloat z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }

std::vector<char> active_antennas(const IntervalData& d, const std::vector<std::int32_t>& S) {
  std::vector<char> act(static_cast<std::size_t>(d.n), 0);
  for (int j = 1; j <= d.n; ++j)
    for (int i = 1; i <= d.n; ++i)
      if (S[at(d.n, i, j)] != 0) act[static_cast<std::size_t>(i - 1)] = act[static_cast<std::size_t>(j - 1)] = 1;
  return act;
}

/// One solution with S as given: gains and classes of the model.
bool solve_once(const IntervalData& d, const std::vector<std::int32_t>& S, const SolveOptions& opt,
                std::span<const cfloat> start, IntervalSolution& sol, talva::Output& out) {
  talva::NullOutput quiet;  // the point solver's progress inside a quiet solve
  talva::Output& lines = opt.solver_lines ? out : quiet;
  const std::size_t n = static_cast<std::size_t>(d.n);
  // a reference antenna flagged (or in no pair) hands the reference to the first active one
  const auto usable_refant = [&] {
    if (opt.refant < 1 || opt.refant > d.n) return opt.refant;
    return active_antennas(d, S)[static_cast<std::size_t>(opt.refant - 1)] ? opt.refant : 0;
  };
  if (opt.model == GainModel::point) {
    const std::vector<cfloat> U(static_cast<std::size_t>(std::max(d.nclass, 1)), cfloat(opt.flux, 0.0f));
    std::vector<cfloat> g(n);
    int refant = usable_refant();
    if (!lsqrs_gains_solver_({d.n, S, d.V, U, {}}, g, refant, lines)) return false;
    sol.gains = g;
    sol.classes = U;
    return std::all_of(g.begin(), g.end(), finite);
  }
  bool weighted = false;
  const std::vector<Pair> pairs = pairs_of(d, S, weighted);
  if (pairs.empty()) return false;
  std::vector<cdouble> g;
  if (!start.empty()) {
    g = widen(start);
  } else {  // start from the point solution
    const std::vector<cfloat> U(static_cast<std::size_t>(std::max(d.nclass, 1)), cfloat(opt.flux, 0.0f));
    std::vector<cfloat> g0(n);
    int refant = usable_refant();
    if (!lsqrs_gains_solver_({d.n, S, d.V, U, {}}, g0, refant, quiet)) return false;
    g = widen(g0);
  }
  g.resize(n);
  const std::vector<char> act = active_antennas(d, S);
  for (std::size_t a = 0; a < n; ++a) {
    if (!act[a])
      g[a] = 0.0;
    else if (g[a] == cdouble(0.0) || !std::isfinite(std::abs(g[a])))
      g[a] = 1.0;  // no start: unity
  }
  std::vector<cdouble> U(static_cast<std::size_t>(std::max(d.nclass, 1)));
  sol.iterations = solve_redundant(pairs, d.n, g, U);
  std::vector<cfloat> gf = narrow(g);
  if (!std::all_of(gf.begin(), gf.end(), finite)) return false;

  // The degenerate quantities: from the reference, or by the rule.
  if (!opt.refgains.empty()) {
    match_degenerate(gf, opt.refgains, act);
    sol.fixed = "mean log amplitude, mean phase of each arm and phase slope along the line set to the reference gains'";
  } else {
    const std::vector<cfloat> unity(n, cfloat(1.0f, 0.0f));
    match_degenerate(gf, unity, act);
    int r = opt.refant;
    if (r == 0) r = static_cast<int>(std::find(act.begin(), act.end(), 1) - act.begin()) + 1;
    if (r >= 1 && r <= d.n && act[static_cast<std::size_t>(r - 1)]) {
      const cfloat z = gf[static_cast<std::size_t>(r - 1)];
      const cfloat turn = std::abs(z) / z;
      for (cfloat& x : gf) x *= turn;
      sol.fixed = "geometric mean amplitude 1, no phase slope along the line, equal mean phases of the arms, antenna " +
                  std::to_string(r) + " phase 0";
    } else {
      sol.fixed = "geometric mean amplitude 1, no phase slope along the line, mean phase 0 on each arm";
    }
  }
  g = widen(gf);
  solve_classes(pairs, g, U);
  sol.gains = gf;
  sol.classes = narrow(U);
  return std::all_of(sol.classes.begin(), sol.classes.end(), finite);
}

/// chi2 of the fit, its degrees of freedom, per antenna and per pair.
struct Quality {
  double chi2 = 0, dof = 0;
  std::vector<double> ant_chi2, ant_count, pair_chi2;
};

Quality assess(const std::vector<Pair>& pairs, const IntervalSolution& sol, int n, int nclass, GainModel model) {
  Quality q;
  q.ant_chi2.assign(static_cast<std::size_t>(n), 0.0);
  q.ant_count.assign(static_cast<std::size_t>(n), 0.0);
  std::vector<char> act(static_cast<std::size_t>(n), 0), used(static_cast<std::size_t>(std::max(nclass, 1)), 0);
  for (const Pair& p : pairs) {
    const cdouble m = cdouble(sol.gains[static_cast<std::size_t>(p.i - 1)]) *
                      cdouble(sol.classes[static_cast<std::size_t>(p.k - 1)]) *
                      std::conj(cdouble(sol.gains[static_cast<std::size_t>(p.j - 1)]));
    const double c = 2.0 * p.w * std::norm(p.v - m);
    q.pair_chi2.push_back(c);
    q.chi2 += c;
    for (int a : {p.i, p.j}) {
      q.ant_chi2[static_cast<std::size_t>(a - 1)] += c;
      q.ant_count[static_cast<std::size_t>(a - 1)] += 1.0;
      act[static_cast<std::size_t>(a - 1)] = 1;
    }
    used[static_cast<std::size_t>(p.k - 1)] = 1;
  }
  const double na = static_cast<double>(std::count(act.begin(), act.end(), 1));
  const double nc = static_cast<double>(std::count(used.begin(), used.end(), 1));
  const double params = model == GainModel::point
                            ? 2.0 * na - 1.0
                            : 2.0 * na + 2.0 * nc - 4.0;  // amplitude, phase, slope, arm phase free
  q.dof = 2.0 * static_cast<double>(pairs.size()) - params;
  return q;
}

}  // namespace

void ProductScatter::reset(std::size_t products) {
  diff2_.assign(products, 0.0f);
  npairs_.assign(products, 0.0f);
}

void ProductScatter::add_pair(std::span<const cfloat> first, std::span<const cfloat> second) {
  // (re, im) pairs, as std::complex guarantees
  add_pair_items({reinterpret_cast<const float*>(first.data()), 2 * first.size()},
                 {reinterpret_cast<const float*>(second.data()), 2 * second.size()});
}

namespace {

// The vector loops of add_pair_items, from product e on; they return where
// the one-by-one rest begins. |d|^2 = d0^2 + d1^2 of each product's two
// parts (their order and a sign on either do not change it); a non-finite
// |d|^2 (a damaged value) adds nothing: its lane is masked to +0.
#if defined(__GNUC__) && __has_builtin(__builtin_shufflevector)
#define TALVA_VECTOR_SCATTER 1

// One step: products' items a, b (two floats each), their sums and counts;
// HALVES adds the squares q0, q1 of the two item vectors pairwise into
// each product's d0^2 + d1^2.
#define TALVA_SCATTER_STEP(VF, VI, HALVES)                                \
  {                                                                       \
    VF a0, a1, b0, b1, s, c;                                              \
    constexpr std::size_t bytes = sizeof(VF), lanes = bytes / 4;          \
    std::memcpy(&a0, a + 2 * e, bytes);                                   \
    std::memcpy(&a1, a + 2 * e + lanes, bytes);                           \
    std::memcpy(&b0, b + 2 * e, bytes);                                   \
    std::memcpy(&b1, b + 2 * e + lanes, bytes);                           \
    std::memcpy(&s, sum + e, bytes);                                      \
    std::memcpy(&c, count + e, bytes);                                    \
    const VF d0 = b0 - a0, d1 = b1 - a1;                                  \
    const VF q0 = d0 * d0, q1 = d1 * d1;                                  \
    const VF d2 = HALVES;                                                 \
    const VI keep = d2 <= std::numeric_limits<float>::max(); /* NaN: 0 */ \
    VI bits, one_bits;                                                    \
    const VF ones = VF{} + 1.0f;                                          \
    std::memcpy(&bits, &d2, bytes);                                       \
    std::memcpy(&one_bits, &ones, bytes);                                 \
    bits &= keep;                                                         \
    one_bits &= keep;                                                     \
    VF kept, counted;                                                     \
    std::memcpy(&kept, &bits, bytes);                                     \
    std::memcpy(&counted, &one_bits, bytes);                              \
    s += kept;                                                            \
    c += counted;                                                         \
    std::memcpy(sum + e, &s, bytes);                                      \
    std::memcpy(count + e, &c, bytes);                                    \
  }

// Four products per step in 16-byte vectors.
std::size_t scatter16(const float* a, const float* b, float* sum, float* count, std::size_t e, std::size_t n) {
  using v4f = float __attribute__((vector_size(16)));
  using v4i = std::int32_t __attribute__((vector_size(16)));
  for (; e + 4 <= n; e += 4)
    TALVA_SCATTER_STEP(v4f, v4i,
                       __builtin_shufflevector(q0, q1, 0, 2, 4, 6) + __builtin_shufflevector(q0, q1, 1, 3, 5, 7))
  return e;
}

#if defined(__x86_64__)
#define TALVA_AVX2_SCATTER 1
// Eight products per step in 32-byte vectors (AVX2).
[[gnu::target("avx2")]] std::size_t scatter32(const float* a, const float* b, float* sum, float* count, std::size_t e,
                                              std::size_t n) {
  using v8f = float __attribute__((vector_size(32)));
  using v8i = std::int32_t __attribute__((vector_size(32)));
  for (; e + 8 <= n; e += 8)
    TALVA_SCATTER_STEP(v8f, v8i,
                       __builtin_shufflevector(q0, q1, 0, 2, 4, 6, 8, 10, 12, 14) +
                           __builtin_shufflevector(q0, q1, 1, 3, 5, 7, 9, 11, 13, 15))
  return e;
}
#endif
#undef TALVA_SCATTER_STEP
#endif

}  // namespace

void ProductScatter::add_pair_items(std::span<const float> first, std::span<const float> second,
                                    talva::VectorWidth width) {
  const std::size_t n = std::min({first.size() / 2, second.size() / 2, diff2_.size()});
  const float* a = first.data();
  const float* b = second.data();
  float* sum = diff2_.data();
  float* count = npairs_.data();
  std::size_t e = 0;
#ifdef TALVA_VECTOR_SCATTER
#ifdef TALVA_AVX2_SCATTER
  if (talva::use_32_byte_vectors(width))
    e = scatter32(a, b, sum, count, e, n);
  else
#endif
    e = scatter16(a, b, sum, count, e, n);
#else
  (void)width;
#endif
  for (; e < n; ++e) {
    const float d0 = b[2 * e] - a[2 * e], d1 = b[2 * e + 1] - a[2 * e + 1];
    const float d2 = d0 * d0 + d1 * d1;
    if (!(d2 <= std::numeric_limits<float>::max())) continue;
    sum[e] += d2;
    count[e] += 1.0f;
  }
}

void ProductScatter::merge(const ProductScatter& other) {
  const std::size_t n = std::min(diff2_.size(), other.diff2_.size());
  for (std::size_t e = 0; e < n; ++e) {
    diff2_[e] += other.diff2_[e];
    npairs_[e] += other.npairs_[e];
  }
}

float ProductScatter::mean_variance(std::size_t l, std::size_t dumps) const {
  const std::size_t e = l - 1;
  if (npairs_[e] < 2.0f || dumps == 0) return 0.0f;
  // E|x(t+1) - x(t)|^2 = 2 var of one dump; a mean of n dumps has var / n
  const double nu = 2.0 * npairs_[e];
  const double var = static_cast<double>(diff2_[e]) / (2.0 * npairs_[e]) / static_cast<double>(dumps);
  return static_cast<float>(var * nu / (nu - 2.0));
}

namespace {
bool east(int a) { return a >= 1 && a <= 48; }
}  // namespace

double line_position(int a) {
  if (a >= 1 && a <= 44) return (a - 1) + kInnerOffsetBays;       // East bays, eastwards
  if (a >= 49 && a <= 92) return -((a - 49) + kInnerOffsetBays);  // West bays, westwards
  return 0.0;
}

void match_degenerate(std::span<cfloat> g, std::span<const cfloat> ref, std::span<const char> use) {
  std::vector<int> ants;
  for (std::size_t a = 0; a < g.size() && a < ref.size() && a < use.size(); ++a)
    if (use[a] && std::abs(g[a]) > 0.0f && std::abs(ref[a]) > 0.0f) ants.push_back(static_cast<int>(a) + 1);
  if (ants.empty()) return;
  // a dead antenna of either set (amplitude below a fifth of the median) says nothing of the scale
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<double> amps;
    for (int a : ants)
      amps.push_back(std::abs(pass == 0 ? ref[static_cast<std::size_t>(a - 1)] : g[static_cast<std::size_t>(a - 1)]));
    const double m = median(amps);
    std::erase_if(ants, [&](int a) {
      return std::abs(pass == 0 ? ref[static_cast<std::size_t>(a - 1)] : g[static_cast<std::size_t>(a - 1)]) < 0.2 * m;
    });
  }
  auto G = [&](int a) { return cdouble(g[static_cast<std::size_t>(a - 1)]); };
  auto R = [&](int a) { return cdouble(ref[static_cast<std::size_t>(a - 1)]); };
  double logs = 0.0;
  for (int a : ants) logs += std::log(std::abs(R(a))) - std::log(std::abs(G(a)));
  const double scale = std::exp(logs / static_cast<double>(ants.size()));
  // phase difference = phi0 + slope x. A first slope from antennas one bay
  // apart (so that a slope of many turns across the line is not aliased),
  // then least-squares fits to the differences wrapped about the current fit.
  auto unit = [&](int a) { return R(a) * std::conj(G(a)) / (std::abs(R(a)) * std::abs(G(a))); };
  std::vector<char> in(g.size() + 2, 0);
  for (int a : ants) in[static_cast<std::size_t>(a)] = 1;
  cdouble step = 0.0;
  for (int a : ants) {
    const int b = a + 1;  // the next bay out on the same arm
    if (!(b <= 44 || (b >= 50 && b <= 92)) || !in[static_cast<std::size_t>(b)]) continue;
    const double dx = line_position(b) - line_position(a);  // +1 East, -1 West
    step += dx > 0 ? unit(b) * std::conj(unit(a)) : unit(a) * std::conj(unit(b));
  }
  double slope = std::abs(step) > 0.0 ? std::arg(step) : 0.0;
  // one mean phase per arm: the cross-arm classes share no pair with the
  // same-arm ones, so a phase added to one arm's gains is free as well
  std::array<double, 2> phi{};
  for (int arm = 0; arm < 2; ++arm) {
    cdouble turn = 0.0;
    for (int a : ants)
      if (east(a) == (arm == 0)) turn += unit(a) * std::polar(1.0, -slope * line_position(a));
    phi[static_cast<std::size_t>(arm)] = std::abs(turn) > 0.0 ? std::arg(turn) : 0.0;
  }
  auto fit = [&](int a) { return phi[east(a) ? 0 : 1] + slope * line_position(a); };
  for (int pass = 0; pass < 3; ++pass) {
    // normal equations of y = phiE [east] + phiW [west] + slope x
    double ne = 0, nw = 0, sxe = 0, sxw = 0, sxx = 0, sye = 0, syw = 0, sxy = 0;
    for (int a : ants) {
      const double x = line_position(a);
      const double y = std::arg(unit(a) * std::polar(1.0, -fit(a)));
      if (east(a))
        ne += 1, sxe += x, sye += y;
      else
        nw += 1, sxw += x, syw += y;
      sxx += x * x;
      sxy += x * y;
    }
    // eliminate the arm phases: slope from the x-residuals about each arm's mean
    double sxx_c = sxx, sxy_c = sxy;
    if (ne > 0) sxx_c -= sxe * sxe / ne, sxy_c -= sxe * sye / ne;
    if (nw > 0) sxx_c -= sxw * sxw / nw, sxy_c -= sxw * syw / nw;
    const double db = sxx_c > 1e-12 ? sxy_c / sxx_c : 0.0;
    if (ne > 0) phi[0] += (sye - db * sxe) / ne;
    if (nw > 0) phi[1] += (syw - db * sxw) / nw;
    slope += db;
  }
  for (std::size_t a = 0; a < g.size(); ++a) {
    const int ant = static_cast<int>(a) + 1;
    const cdouble z = cdouble(g[a]) * scale * std::polar(1.0, fit(ant));
    g[a] = cfloat(static_cast<float>(z.real()), static_cast<float>(z.imag()));
  }
}

IntervalSolution solve_interval(const IntervalData& data, const SolveOptions& opt, talva::Output& out) {
  IntervalSolution sol;
  const std::size_t n = static_cast<std::size_t>(std::max(data.n, 0));
  sol.antenna_flag.assign(n, 0);
  sol.antenna_chi2dof.assign(n, 0.0);
  sol.pairs_of.assign(n, 0);
  if (n == 0 || data.S.size() < n * n || data.V.size() < n * n) return sol;
  std::vector<std::int32_t> S(data.S.begin(), data.S.begin() + static_cast<std::ptrdiff_t>(n * n));
  std::vector<cfloat> start(opt.start.begin(), opt.start.end());
  const int rounds = opt.flagging ? std::max(opt.max_rounds, 1) : 1;
  for (int round = 1; round <= rounds; ++round) {
    sol.rounds = round;
    if (!solve_once(data, S, opt, start, sol, out)) {
      sol.solved = false;
      return sol;
    }
    sol.solved = true;
    bool weighted = false;
    const std::vector<Pair> pairs = pairs_of(data, S, weighted);
    sol.weighted = weighted;
    const Quality q = assess(pairs, sol, data.n, data.nclass, opt.model);
    sol.chi2 = q.chi2;
    sol.dof = q.dof;
    const double per_pair = q.dof > 0 ? q.dof / static_cast<double>(pairs.size()) : 2.0;  // DoF of one pair
    std::vector<double> ant_values, gain_amps;
    for (std::size_t a = 0; a < n; ++a) {
      sol.pairs_of[a] = static_cast<int>(q.ant_count[a]);
      sol.antenna_chi2dof[a] = q.ant_count[a] > 0 ? q.ant_chi2[a] / (q.ant_count[a] * per_pair) : 0.0;
      if (q.ant_count[a] > 0) {
        ant_values.push_back(sol.antenna_chi2dof[a]);
        gain_amps.push_back(std::abs(sol.gains[a]));
      }
    }
    if (!opt.flagging || round == rounds) break;

    // Outliers: antennas by chi2/DoF, gain amplitude and noise; then pairs.
    const double ant_median = median(ant_values), amp_median = median(gain_amps);
    std::vector<double> noise_all;
    std::vector<std::vector<double>> noise_of(n);
    for (const Pair& p : pairs) {
      noise_all.push_back(1.0 / p.w);
      noise_of[static_cast<std::size_t>(p.i - 1)].push_back(1.0 / p.w);
      noise_of[static_cast<std::size_t>(p.j - 1)].push_back(1.0 / p.w);
    }
    const double noise_median = median(noise_all);
    bool changed = false;
    for (std::size_t a = 0; a < n; ++a) {
      if (q.ant_count[a] == 0) continue;
      std::string why;
      const double amp = std::abs(sol.gains[a]);
      const double noise = weighted ? median(noise_of[a]) / noise_median : 1.0;
      if (sol.antenna_chi2dof[a] > opt.antenna_limit * ant_median)
        why = "chi2/DoF " + fixed(sol.antenna_chi2dof[a], 2) + ", median " + fixed(ant_median, 2);
      else if (amp < opt.dead_limit * amp_median)
        why = "gain amplitude " + fixed(amp, 4) + ", median " + fixed(amp_median, 4) + " (dead)";
      else if (noise > opt.noisy_limit)
        why = "noise " + fixed(noise, 2) + " times the median (noisy)";
      if (why.empty()) continue;
      sol.antenna_flag[a] = 1;
      sol.flag_reasons.push_back("antenna " + std::to_string(a + 1) + " flagged: " + why);
      for (int b = 1; b <= data.n; ++b) {
        S[at(data.n, static_cast<int>(a) + 1, b)] = 0;
        S[at(data.n, b, static_cast<int>(a) + 1)] = 0;
      }
      changed = true;
    }
    const double pair_median = median(q.pair_chi2);
    // chi2 / 2 of one pair, with variances of nu degrees of freedom, follows
    // F(2, nu): P(F > x) = (1 + 2x / nu)^(-nu / 2) (nu infinite: exp(-x))
    const double alpha = opt.pair_false_alarm / static_cast<double>(std::max<std::size_t>(pairs.size(), 1));
    const double tail = data.nu > 0 ? 0.5 * data.nu * (std::pow(alpha, -2.0 / data.nu) - 1.0) : -std::log(alpha);
    const double pair_threshold = std::max(opt.pair_limit * pair_median, 2.0 * tail * std::max(sol.chi2dof(), 1.0));
    for (std::size_t p = 0; p < pairs.size(); ++p) {
      const Pair& pr = pairs[p];
      if (sol.antenna_flag[static_cast<std::size_t>(pr.i - 1)] || sol.antenna_flag[static_cast<std::size_t>(pr.j - 1)])
        continue;
      if (!(q.pair_chi2[p] > pair_threshold)) continue;
      sol.flagged_pairs.push_back({pr.i, pr.j});
      sol.flag_reasons.push_back("pair " + std::to_string(pr.i) + "-" + std::to_string(pr.j) + " flagged: chi2 " +
                                 fixed(q.pair_chi2[p], 1) + ", median " + fixed(pair_median, 2));
      S[at(data.n, pr.i, pr.j)] = 0;
      changed = true;
    }
    if (!changed) break;
    start = sol.gains;  // the next solution starts where this one ended
    for (std::size_t a = 0; a < n; ++a)
      if (sol.antenna_flag[a]) start[a] = {0.0f, 0.0f};
  }
  for (std::size_t a = 0; a < n; ++a)
    if (sol.antenna_flag[a]) sol.gains[a] = {0.0f, 0.0f};
  return sol;
}

}  // namespace talva::calib
