#pragma once
// gainsolve's solution intervals: the products of each interval collected
// while the archive is read, then solved one by one, with the fit table.
#include <complex>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "array/layout.h"
#include "array/rejections.h"
#include "calib/gains_table.h"
#include "calib/interval_solve.h"

namespace talva::gainsolve {

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
  talva::calib::IntervalData data;  ///< empty while `sums` holds what it is made of
  double jd_start = 0, jd_end = 0;
  int dumps = 0;
  int first_dump = 0, last_dump = 0;  ///< dump numbers, counted from 1
  /// What `data` is made of (IntervalCollector::build): each product's sum
  /// and count of finite values over the interval, and its scatter.
  struct Sums {
    std::vector<std::complex<float>> sums;
    std::vector<std::int32_t> counts;
    talva::calib::ProductScatter scatter;
  };
  std::optional<Sums> sums;
};

/// Sorts the dumps of the range into intervals of `minutes` (0: one) counted
/// from the first dump used, and keeps each interval's means and noise. The
/// noise comes from pairs of successive dumps: the first 16 pairs of an
/// interval and then every 8th (enough for the weights, and a long interval
/// does not read every dump twice).
class IntervalCollector {
 public:
  explicit IntervalCollector(double minutes) : minutes_(minutes) {}
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
  /// Called with each interval as it closes (before the next dump is taken).
  /// With `deferred`, the interval's data are not made: the hook's receiver
  /// makes them with build() (from any thread), and the collector keeps the
  /// interval's times and counts only.
  void on_close(std::function<void(const Collected&)> hook, bool deferred) {
    on_close_ = std::move(hook);
    deferred_ = deferred;
  }
  /// Makes c.data from c.sums (then dropped); reads only what start() set.
  void build(Collected& c) const;
  /// Variance of the whole range's mean of product l (for the whole-range
  /// fit; the differences across interval boundaries are left out).
  float whole_variance(std::size_t l, int dumps) const {
    return whole_.mean_variance(l, static_cast<std::size_t>(dumps));
  }

 private:
  void close(std::span<const std::complex<float>> sums, std::span<const std::int32_t> used);
  double minutes_;
  int nbsln_ = 0, nclass_ = 0;
  std::vector<std::int32_t> S_;
  struct UsedPair {
    int p, a;
    std::int32_t l;  // product index, 0: none
  };
  std::vector<UsedPair> used_pairs_;  // the pairs of S_, in the order of the matrix
  talva::calib::ProductScatter current_, whole_;
  std::vector<float> first_;                    // the items of a pair's first dump
  std::vector<std::complex<float>> open_sums_;  // the run's sums when the interval opened
  std::vector<std::int32_t> open_used_;
  int in_interval_ = 0;  // dumps of the open interval so far
  Collected open_;
  bool is_open_ = false;
  std::vector<Collected> intervals_;
  std::function<void(const Collected&)> on_close_;
  bool deferred_ = false;
};

/// The intervals' solutions in order, each solve starting from the previous
/// solution (the first from the options' `start`; an antenna flagged in one
/// interval starts the next from unity).
class IntervalChain {
 public:
  explicit IntervalChain(const talva::calib::SolveOptions& opt) : opt_(opt) {}
  talva::calib::IntervalSolution solve(const Collected& c);

 private:
  talva::calib::SolveOptions opt_;
  std::vector<talva::calib::cfloat> previous_;
};

/// An IntervalChain on a thread of its own, fed with each interval as it
/// closes, so that the solutions are made while the archive is still read.
/// The solutions are those of the chain run afterwards, to the bit; nothing
/// is printed from the thread, which takes no signal. Without a second
/// thread each interval is solved as it is posted. The options' spans must
/// outlive it.
class BackgroundChain {
 public:
  /// Intervals posted without their data get them from `collector`'s build().
  BackgroundChain(const talva::calib::SolveOptions& opt, const IntervalCollector& collector);
  ~BackgroundChain();  ///< a chain not taken stops after the solve in hand
  BackgroundChain(const BackgroundChain&) = delete;
  BackgroundChain& operator=(const BackgroundChain&) = delete;
  /// Queues a copy of the interval.
  void post(const Collected& c);
  /// Waits for every posted interval and returns their solutions in order
  /// (rethrows what a solve threw).
  std::vector<talva::calib::IntervalSolution> take();

 private:
  void work();
  IntervalChain chain_;
  const IntervalCollector& collector_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Collected> queue_;
  std::vector<talva::calib::IntervalSolution> solved_;
  std::exception_ptr failure_;
  bool closed_ = false, cancelled_ = false;
  std::thread worker_;  // none: each interval solved as it is posted
};

/// Solves every interval with an IntervalChain.
std::vector<talva::calib::IntervalSolution> solve_intervals(const std::vector<Collected>& intervals,
                                                            const talva::calib::SolveOptions& opt);

/// Prints the fit table of the intervals' solutions and returns the gains table.
talva::calib::GainsTable report_intervals(const std::vector<Collected>& intervals,
                                          const std::vector<talva::calib::IntervalSolution>& solutions,
                                          const std::string& model, double minutes);

/// Prints the fit line of one solution (the whole range) and its flags.
void print_fit(const std::string& label, const talva::calib::IntervalSolution& sol);

}  // namespace talva::gainsolve
