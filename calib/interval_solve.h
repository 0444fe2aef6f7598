#pragma once
// Gain solutions of one interval of data, with their fit quality.
//
// An interval's correlations are averaged per product; the noise of each mean
// comes from the dump-to-dump scatter. The solver takes them as an n x n
// matrix (column-major, 1-based (i, j) at [(i-1) + (j-1)*n], oriented as the
// S matrix) and solves either the point model (every class visibility the
// calibrator's flux: the solver of gains_solver.h, unchanged) or the
// redundant model (gains and class visibilities together). The fit is
// judged by chi-squared per degree of freedom, per interval and per antenna;
// antennas and pairs that stand far out are flagged and the interval is
// solved again without them.
#include <complex>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "util/output.h"
#include "util/vector_width.h"

namespace talva::calib {

using cfloat = std::complex<float>;

enum class GainModel { point, redundant };

/// The noise of each product from the differences of pairs of successive
/// dumps (so that a slowly changing sky does not count as noise). Pairs
/// share no dump, so each adds two independent degrees of freedom.
/// Products are indexed 1..size, entry [l-1].
class ProductScatter {
 public:
  explicit ProductScatter(std::size_t products = 0) { reset(products); }
  /// Forgets every sum (a new interval).
  void reset(std::size_t products);
  /// Adds the differences of two successive dumps' values (product l at
  /// [l-1] of each); a product whose |difference|^2 is not finite (a damaged
  /// value in either dump) is left out.
  void add_pair(std::span<const cfloat> first, std::span<const cfloat> second);
  /// The same from two dumps' items as the archive holds them (two floats
  /// per product, product l at [2l-2], [2l-1], in either order and with
  /// either sign of a part): the same sums to the bit, with either vector
  /// width.
  void add_pair_items(std::span<const float> first, std::span<const float> second,
                      talva::VectorWidth width = talva::VectorWidth::best);
  /// Adds the sums of another interval's pairs.
  void merge(const ProductScatter& other);
  /// Pairs of product l added.
  std::size_t pairs(std::size_t l) const { return static_cast<std::size_t>(npairs_[l - 1]); }
  /// Variance E|noise|^2 (complex, both parts) of a mean of `dumps` values of
  /// product l, scaled by nu / (nu - 2), nu = 2 pairs, so that its inverse
  /// (a chi2 weight) is unbiased; 0 with fewer than two pairs.
  float mean_variance(std::size_t l, std::size_t dumps) const;

 private:
  // single precision, counts exact below 2^24: a pair of finite dumps is one
  // branch-free pass
  std::vector<float> diff2_, npairs_;
};

/// One interval's data as the solver takes them.
struct IntervalData {
  int n = 0;                    ///< antennas (matrix order)
  int nclass = 0;               ///< spacing classes
  std::vector<std::int32_t> S;  ///< class of each modelled pair, 0: not used
  std::vector<cfloat> V;        ///< mean correlation of each modelled pair
  std::vector<float> var;       ///< its variance E|noise|^2; empty or 0: unknown (unit weight)
  double nu = 0;                ///< degrees of freedom of the variances (0: exact)
};

struct SolveOptions {
  GainModel model = GainModel::point;
  float flux = 1.0f;                 ///< point model: every class visibility
  int refant = 1;                    ///< reference antenna as the solver takes it (-1, 0, 1..n)
  std::span<const cfloat> refgains;  ///< redundant: degenerate quantities taken from these; empty: the rule
  std::span<const cfloat> start;     ///< redundant: starting gains; empty: the point solution with `flux`
  bool flagging = true;              ///< flag outlying antennas and pairs and solve again
  float antenna_limit = 5.0f;        ///< antenna flagged above this times the median chi2/DoF of the antennas
  float pair_limit = 25.0f;          ///< pair flagged above this times the median chi2 of the pairs, and
  double pair_false_alarm = 1e-3;    ///< above the chi2 that noise alone exceeds with this chance in the interval
  float dead_limit = 0.2f;           ///< antenna flagged dead below this times the median gain amplitude
  float noisy_limit = 4.0f;          ///< antenna flagged noisy above this times the median noise of the pairs
  bool solver_lines = true;          ///< the point solver's progress lines go to `out`
  int max_rounds = 3;                ///< solutions in all, the first included
};

struct IntervalSolution {
  bool solved = false;
  std::vector<cfloat> gains;                       ///< [a-1]; (0, 0) for antennas in no pair or flagged
  std::vector<cfloat> classes;                     ///< [k-1], the model's class visibilities
  double chi2 = 0, dof = 0;                        ///< of the final fit (weights 1/var)
  std::vector<double> antenna_chi2dof;             ///< [a-1]; 0 for antennas in no pair
  std::vector<int> pairs_of;                       ///< [a-1]: pairs of the antenna in the final fit
  std::vector<char> antenna_flag;                  ///< [a-1]: 1 flagged by this solution
  std::vector<std::pair<int, int>> flagged_pairs;  ///< (i, j) as oriented in S, pairs of flagged antennas excluded
  std::vector<std::string> flag_reasons;           ///< one line per flag: what and why
  std::string fixed;                               ///< redundant: how the degenerate quantities were fixed
  int rounds = 0;                                  ///< solutions made
  int iterations = 0;                              ///< redundant: sweeps of the last solution
  bool weighted = false;                           ///< noise estimates were available
  double chi2dof() const { return dof > 0 ? chi2 / dof : 0.0; }
};

/// Solves one interval. Antennas rejected beforehand are simply absent from
/// S. Messages (and, with solver_lines, the point solver's lines) go to `out`.
IntervalSolution solve_interval(const IntervalData& data, const SolveOptions& opt, talva::Output& out);

/// Position of antenna a (1-based) along the east-west line, in bays, as the
/// S matrix orders the array (the eastern antenna of a pair first); 0 for
/// antennas in no class. Any degeneracy of the line's phase is linear in it.
double line_position(int a);

/// Makes g agree with ref in the quantities a redundant east-west line cannot
/// fix: the mean log amplitude, the phase slope along the line and the mean
/// phase of each arm (the cross-arm classes share no pair with the same-arm
/// ones, so each arm's phase is free), over the antennas where both are
/// non-zero and `use`[a-1] != 0.
void match_degenerate(std::span<cfloat> g, std::span<const cfloat> ref, std::span<const char> use);

/// Expected sum over antennas of |gain error|^2 of an unbiased redundant
/// solution with the noise of `data` (the Cramer-Rao bound), after the
/// degenerate quantities are removed; g and U the true gains and classes.
double redundant_error_bound(const IntervalData& data, std::span<const cfloat> g, std::span<const cfloat> U);

}  // namespace talva::calib
