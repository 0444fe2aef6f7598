#include "programs/gainsolve/intervals.h"

#include <pthread.h>
#include <sched.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <system_error>

#include "array/s_matrix.h"
#include "util/fmt.h"
#include "util/quiet_thread.h"

using talva::array::getvis;
using talva::array::kNumAntennas;
using talva::array::mat;
using talva::array::ProductTable;
using talva::array::rejected_ant_;
using talva::array::rejected_bsln_;
using talva::array::set_antnum_;
using talva::array::talva_antenna_rejections_t;
using talva::array::talva_bsln_rejections_t;
using talva::calib::cfloat;

namespace talva::gainsolve {

namespace {

constexpr int kNant = kNumAntennas;
constexpr double kMinutesPerDay = 1440.0;
constexpr int kAllPairs = 16;                  // an interval's first pairs of dumps, all used for its noise
constexpr int kPairStep = 8;                   // then every 8th pair
constexpr double kGraceMinutes = 0.01 / 60.0;  // 10 ms: a Julian date near 2.45e6 holds 40 us

// printf's "%*.*f"
std::string fixed(double v, int width, int decimals) { return talva::fixed(v, decimals, width); }

/// "antennas 17, 60; pairs 7-60" (empty when nothing was flagged).
std::string flag_names(const talva::calib::IntervalSolution& sol) {
  std::string ants, pairs;
  for (std::size_t a = 0; a < sol.antenna_flag.size(); ++a)
    if (sol.antenna_flag[a]) ants += (ants.empty() ? "" : ",") + std::to_string(a + 1);
  for (const auto& [i, j] : sol.flagged_pairs)
    pairs += (pairs.empty() ? "" : ",") + std::to_string(i) + "-" + std::to_string(j);
  std::string out;
  if (!ants.empty()) out += "antennas " + ants;
  if (!pairs.empty()) out += (out.empty() ? "" : "; ") + std::string("pairs ") + pairs;
  return out;
}

}  // namespace

void select_pairs(std::span<std::int32_t> S, const ProductTable& table, const talva_antenna_rejections_t& antennas,
                  const talva_bsln_rejections_t& products, std::span<const std::int32_t> used, bool report) {
  for (int p = 1; p <= kNant; ++p) {
    for (int a = 1; a <= kNant; ++a) {
      std::int32_t& entry = mat(S, kNant, p, a);
      if (p == a || entry == 0) continue;
      if (rejected_ant_(antennas, p) || rejected_ant_(antennas, a)) {
        entry = 0;
        continue;
      }
      const std::int32_t l = table.usable_index(p, a);
      if (l == 0) {
        if (report) {
          const std::int32_t code = set_antnum_(p, a);
          if (table.index_of(code) == 0) {
            talva::put_line(talva::fmt_i(code, 6) + " not found in antenna number set");
          } else {
            talva::put_line(talva::fmt_i(code, 6) + " has no correlation in the dump: pair left out");
          }
        }
        entry = 0;
        continue;
      }
      if (rejected_bsln_(products, l)) {
        entry = 0;
        continue;
      }
      if (!used.empty() && used[static_cast<std::size_t>(l - 1)] == 0) {
        if (report)
          talva::put_line(talva::fmt_i(set_antnum_(p, a), 6) +
                          " has no finite correlation in the range: pair left out");
        entry = 0;
      }
    }
  }
}

void IntervalCollector::start(const ProductTable& table, int nbsln, std::vector<std::int32_t> S, int nclass) {
  nbsln_ = nbsln;
  nclass_ = nclass;
  S_ = std::move(S);
  whole_.reset(static_cast<std::size_t>(nbsln));
  current_.reset(static_cast<std::size_t>(nbsln));
  used_pairs_.clear();
  for (int a = 1; a <= kNant; ++a)
    for (int p = 1; p <= kNant; ++p)
      if (mat(std::span<std::int32_t>(S_), kNant, p, a) != 0) used_pairs_.push_back({p, a, table.usable_index(p, a)});
}

void IntervalCollector::dump(int number, double jd, std::span<const float> vis,
                             std::span<const std::complex<float>> sums, std::span<const std::int32_t> used) {
  // a dump exactly one interval after the first opens the next (the dates
  // round in their last bits: 10 ms of grace)
  if (is_open_ && minutes_ > 0.0 && (jd - open_.jd_start) * kMinutesPerDay >= minutes_ - kGraceMinutes)
    close(sums, used);
  if (!is_open_) {
    open_ = Collected{};
    open_.jd_start = jd;
    open_.first_dump = number;
    current_.reset(static_cast<std::size_t>(nbsln_));
    open_sums_.assign(sums.begin(), sums.begin() + nbsln_);
    open_used_.assign(used.begin(), used.begin() + nbsln_);
    in_interval_ = 0;
    is_open_ = true;
  }
  open_.jd_end = jd;
  open_.last_dump = number;
  ++open_.dumps;
  const int pair = in_interval_ / 2;
  const bool second = in_interval_ % 2 == 1;
  ++in_interval_;
  if (pair >= kAllPairs && pair % kPairStep != 0) return;
  // the scatter needs |x(t+1) - x(t)|^2 only, which the items give as they
  // are: no product is unpacked
  const std::size_t items = std::min(vis.size(), 2 * static_cast<std::size_t>(nbsln_));
  if (second)
    current_.add_pair_items(first_, vis.first(items));
  else
    first_.assign(vis.begin(), vis.begin() + static_cast<std::ptrdiff_t>(items));
}

void IntervalCollector::finish(std::span<const std::complex<float>> sums, std::span<const std::int32_t> used) {
  if (is_open_) close(sums, used);
}

void IntervalCollector::close(std::span<const std::complex<float>> sums, std::span<const std::int32_t> used) {
  is_open_ = false;
  whole_.merge(current_);
  // the interval's sums and counts: the run's at its end less those at its start
  Collected::Sums& own = open_.sums.emplace();
  const auto n = static_cast<std::size_t>(nbsln_);
  own.sums.resize(n);
  own.counts.resize(n);
  for (std::size_t e = 0; e < n; ++e) {
    own.sums[e] = sums[e] - open_sums_[e];
    own.counts[e] = used[e] - open_used_[e];
  }
  own.scatter = std::move(current_);
  // the noise's degrees of freedom: two per pair of dumps
  const int pairs = open_.dumps / 2;
  open_.data.nu =
      2.0 * (std::min(pairs, kAllPairs) + std::max(0, (pairs - 1) / kPairStep - (kAllPairs - 1) / kPairStep));
  if (!deferred_) build(open_);
  intervals_.push_back(std::move(open_));
  open_ = Collected{};
  if (on_close_) on_close_(intervals_.back());
  if (deferred_) intervals_.back().sums.reset();  // the receiver has its own copy
}

void IntervalCollector::build(Collected& c) const {
  if (!c.sums) return;
  const Collected::Sums& own = *c.sums;
  talva::calib::IntervalData& d = c.data;
  d.n = kNant;
  d.nclass = nclass_;
  d.S = S_;
  d.V.assign(kNant * kNant, {0.0f, 0.0f});
  d.var.assign(kNant * kNant, 0.0f);
  for (const auto& [p, a, l] : used_pairs_) {
    std::int32_t& entry = mat(std::span<std::int32_t>(d.S), kNant, p, a);
    const auto e = static_cast<std::size_t>(l - 1);
    const std::int32_t count = l == 0 ? 0 : own.counts[e];
    if (count == 0) {
      entry = 0;  // no finite value in the interval
      continue;
    }
    // the mean belongs to (smaller, larger): conjugate for p > a
    const std::complex<float> s = own.sums[e];
    const cfloat m(s.real() / static_cast<float>(count), s.imag() / static_cast<float>(count));
    mat(std::span<cfloat>(d.V), kNant, p, a) = p < a ? m : std::conj(m);
    mat(std::span<float>(d.var), kNant, p, a) =
        own.scatter.mean_variance(static_cast<std::size_t>(l), static_cast<std::size_t>(count));
  }
  c.sums.reset();
}

namespace {

// The solving thread runs on the cores the reader is not on (when the run
// may use more than one): woken beside the reader, the scheduler would
// otherwise often put it on the reader's core, where the two take turns.
// The reading thread stays free to move; a busy core only slows the solving.
void keep_off_this_cpu(std::thread& worker) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  const int here = sched_getcpu();
  if (here < 0 || sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  CPU_CLR(here, &allowed);
  if (CPU_COUNT(&allowed) > 0) pthread_setaffinity_np(worker.native_handle(), sizeof allowed, &allowed);
}

}  // namespace

talva::calib::IntervalSolution IntervalChain::solve(const Collected& c) {
  talva::calib::SolveOptions o = opt_;
  if (!previous_.empty()) o.start = previous_;
  talva::NullOutput quiet;  // the solver's lines stay off in intervals
  talva::calib::IntervalSolution sol = talva::calib::solve_interval(c.data, o, quiet);
  if (sol.solved) {
    previous_ = sol.gains;
    // a flagged antenna starts the next interval from unity, not from zero
    for (std::size_t a = 0; a < previous_.size(); ++a)
      if (sol.antenna_flag[a]) previous_[a] = {0.0f, 0.0f};
  }
  return sol;
}

BackgroundChain::BackgroundChain(const talva::calib::SolveOptions& opt, const IntervalCollector& collector)
    : chain_(opt), collector_(collector) {
  try {
    worker_ = talva::quiet_thread([this] { work(); });
  } catch (const std::system_error&) {
    // no second thread: each interval is solved as it is posted
    return;
  }
  keep_off_this_cpu(worker_);
}

BackgroundChain::~BackgroundChain() {
  {
    const std::lock_guard lock(mutex_);
    closed_ = cancelled_ = true;
  }
  ready_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void BackgroundChain::post(const Collected& c) {
  if (!worker_.joinable()) {
    Collected own = c;
    collector_.build(own);
    solved_.push_back(chain_.solve(own));
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(c);
  }
  ready_.notify_all();
}

void BackgroundChain::work() {
  for (;;) {
    Collected c;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [&] { return !queue_.empty() || closed_; });
      if (cancelled_ || queue_.empty() || failure_) return;
      c = std::move(queue_.front());
      queue_.pop_front();
    }
    try {
      collector_.build(c);
      talva::calib::IntervalSolution sol = chain_.solve(c);
      const std::lock_guard lock(mutex_);
      solved_.push_back(std::move(sol));
    } catch (...) {
      const std::lock_guard lock(mutex_);
      failure_ = std::current_exception();
      return;
    }
  }
}

std::vector<talva::calib::IntervalSolution> BackgroundChain::take() {
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
  if (worker_.joinable()) worker_.join();
  if (failure_) std::rethrow_exception(failure_);
  return std::move(solved_);
}

void print_fit(const std::string& label, const talva::calib::IntervalSolution& sol) {
  talva::put_line(" " + label + ": chi2/DoF " + fixed(sol.chi2dof(), 0, 3) + " (" + fixed(sol.dof, 0, 0) + " DoF" +
                  (sol.weighted ? ")" : ", no noise estimate: unit weights)"));
  for (const std::string& r : sol.flag_reasons) talva::put_line("   " + r);
}

std::vector<talva::calib::IntervalSolution> solve_intervals(const std::vector<Collected>& intervals,
                                                            const talva::calib::SolveOptions& opt) {
  IntervalChain chain(opt);
  std::vector<talva::calib::IntervalSolution> solutions;
  for (const Collected& c : intervals) solutions.push_back(chain.solve(c));
  return solutions;
}

talva::calib::GainsTable report_intervals(const std::vector<Collected>& intervals,
                                          const std::vector<talva::calib::IntervalSolution>& solutions,
                                          const std::string& model, double minutes) {
  talva::calib::GainsTable table;
  table.nant = kNant;
  talva::put_line(" Fit quality per interval: model " + model +
                  ", noise of each product from the differences of successive dumps");
  talva::put_line(" interval  dumps   first    last  chi2/DoF  flagged");
  std::vector<std::vector<double>> per_antenna(kNant);
  std::map<std::string, int> flag_count;  // reason head -> intervals
  std::map<std::string, std::string> flag_first;
  std::string fixed_how;
  int failed = 0;
  for (std::size_t k = 0; k < intervals.size(); ++k) {
    const Collected& c = intervals[k];
    const talva::calib::IntervalSolution& sol = solutions[k];
    talva::calib::GainsInterval b;
    b.jd_start = c.jd_start;
    b.jd_end = c.jd_end;
    b.dumps = c.dumps;
    if (!sol.solved) {
      ++failed;
      b.gains.assign(kNant, {0.0f, 0.0f});
      b.chi2dof_antenna.assign(kNant, 0.0);
      b.flag.assign(kNant, 1);
      talva::put_line(talva::fmt_i(static_cast<long long>(k + 1), 9) + talva::fmt_i(c.dumps, 7) +
                      talva::fmt_i(c.first_dump, 8) + talva::fmt_i(c.last_dump, 8) +
                      "  no solution: every antenna flagged");
      table.intervals.push_back(std::move(b));
      continue;
    }
    fixed_how = sol.fixed;
    b.gains = sol.gains;
    b.chi2dof = sol.chi2dof();
    b.chi2dof_antenna = sol.antenna_chi2dof;
    b.flag = sol.antenna_flag;
    for (std::size_t a = 0; a < b.flag.size(); ++a)
      if (sol.pairs_of[a] == 0 && !b.flag[a]) b.flag[a] = 1;  // in no pair: no gain to apply
    b.pairs = sol.flagged_pairs;
    talva::put_line(talva::fmt_i(static_cast<long long>(k + 1), 9) + talva::fmt_i(c.dumps, 7) +
                    talva::fmt_i(c.first_dump, 8) + talva::fmt_i(c.last_dump, 8) + fixed(sol.chi2dof(), 10, 3) + "  " +
                    flag_names(sol));
    for (std::size_t a = 0; a < static_cast<std::size_t>(kNant); ++a)
      if (sol.pairs_of[a] > 0) per_antenna[a].push_back(sol.antenna_chi2dof[a]);
    for (const std::string& r : sol.flag_reasons) {
      const std::string head = r.substr(0, r.find(" flagged"));
      if (flag_count[head]++ == 0) flag_first[head] = r;
    }
    table.intervals.push_back(std::move(b));
  }
  if (!fixed_how.empty()) talva::put_line(" degenerate quantities: " + fixed_how);
  // per antenna: the median chi2/DoF over the intervals, six to a line
  talva::put_line(" antenna chi2/DoF, median over the intervals:");
  std::string line;
  int on_line = 0;
  for (int a = 1; a <= kNant; ++a) {
    std::vector<double> v = per_antenna[static_cast<std::size_t>(a - 1)];
    if (v.empty()) continue;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    line += talva::fmt_i(a, 5) + fixed(v[v.size() / 2], 7, 2);
    if (++on_line == 8) {
      talva::put_line(line);
      line.clear();
      on_line = 0;
    }
  }
  if (!line.empty()) talva::put_line(line);
  for (const auto& [head, count] : flag_count)
    talva::put_line(" " + head + " flagged in " + std::to_string(count) + " of " + std::to_string(intervals.size()) +
                    " intervals; first: " + flag_first[head].substr(flag_first[head].find(": ") + 2));
  if (failed > 0) talva::put_line(" " + std::to_string(failed) + " intervals without a solution");
  table.comments.push_back("model " + model + ", interval " + fixed(minutes, 0, 2) + " minutes" +
                           (fixed_how.empty() ? std::string() : "; degenerate quantities: " + fixed_how));
  return table;
}

}  // namespace talva::gainsolve
