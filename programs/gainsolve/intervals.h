#pragma once
// gainsolve's solution intervals: the products of each interval collected
// while the archive is read, then solved one by one, with the fit table.
#include <complex>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "array/layout.h"
#include "array/rejections.h"
#include "calib/gains_table.h"
#include "calib/interval_solve.h"

namespace gainsolve {

/// The pairs a solution may use: S with rejected antennas and products and
/// pairs without a correlation of their own in the dump cleared, and, when
/// `used` is given, pairs whose product had no finite value (used[l-1] = 0).
/// With `report`, each pair left out for want of a value is named on
/// standard output.
void select_pairs(std::span<std::int32_t> S, const talva::array::ProductTable& table,
                  const talva::array::talva_antenna_rejections_t& antennas,
                  const talva::array::talva_bsln_rejections_t& products, std::span<const std::int32_t> used,
                  bool report);

/// One interval's data, its times and dump count.
struct Collected {
  talva::calib::IntervalData data;
  double jd_start = 0, jd_end = 0;
  int dumps = 0;
  int first_dump = 0, last_dump = 0;  ///< dump numbers, counted from 1
};

/// Sorts the dumps of the range into intervals of `minutes` (0: one) counted
/// from the first dump used, and keeps each interval's means and noise. The
/// noise comes from pairs of successive dumps: the first 16 pairs of an
/// interval and then every 8th (enough for the weights, and a long interval
/// does not read every dump twice).
class IntervalCollector {
 public:
  IntervalCollector(double minutes, const talva::array::c_layout_common_t& layout)
      : minutes_(minutes), layout_(layout) {}
  /// The product table and the pairs in use (S after select_pairs).
  void start(const talva::array::ProductTable& table, int nbsln, std::vector<std::int32_t> S, int nclass);
  /// One dump of the range: its number, Julian date and correlations, and
  /// the run's sums and counts per product before this dump is added to them
  /// (an interval's sums are the differences of these at its ends).
  void dump(int number, double jd, std::span<const float> vis, std::span<const std::complex<float>> sums,
            std::span<const std::int32_t> used);
  /// Ends the last interval, with the run's final sums and counts.
  void finish(std::span<const std::complex<float>> sums, std::span<const std::int32_t> used);
  const std::vector<Collected>& intervals() const { return intervals_; }
  /// Variance of the whole range's mean of product l (for the whole-range
  /// fit; the differences across interval boundaries are left out).
  float whole_variance(std::size_t l, int dumps) const {
    return whole_.mean_variance(l, static_cast<std::size_t>(dumps));
  }

 private:
  void close(std::span<const std::complex<float>> sums, std::span<const std::int32_t> used);
  double minutes_;
  const talva::array::c_layout_common_t& layout_;
  const talva::array::ProductTable* table_ = nullptr;
  int nbsln_ = 0, nclass_ = 0;
  std::vector<std::int32_t> S_;
  talva::calib::ProductScatter current_, whole_;
  std::vector<talva::calib::cfloat> first_, second_;  // a pair of dumps' correlations by product
  std::vector<std::complex<float>> open_sums_;        // the run's sums when the interval opened
  std::vector<std::int32_t> open_used_;
  int in_interval_ = 0;  // dumps of the open interval so far
  Collected open_;
  bool is_open_ = false;
  std::vector<Collected> intervals_;
};

/// Solves every interval (each starting from the previous solution, the
/// first from `start`), prints the fit table and returns the gains table.
talva::calib::GainsTable solve_intervals(const std::vector<Collected>& intervals, talva::calib::SolveOptions opt,
                                         const std::string& model, double minutes);

/// Prints the fit line of one solution (the whole range) and its flags.
void print_fit(const std::string& label, const talva::calib::IntervalSolution& sol);

}  // namespace gainsolve
