// gainsolve: complex antenna gains from an archive of a point-like calibrator.
//
// Averages every correlation over the dump range, arranges the averages as an
// antenna-by-antenna matrix, solves V(i, j) = g(i) U conj(g(j)) by redundant
// least squares with U = calflx (times the average meridian-distance gain
// with mdcorr), and writes the gains file, "phase_dmp.log" and the MD data
// file. The files are written only after a successful solve.
//
// With interval=, model=, refgains= or gnstable= the run also solves each
// interval of the dump range on its own (the point model, or the redundant
// model whose class visibilities are solved with the gains), judges every
// fit by chi2/DoF against the noise of each product from its dump-to-dump
// differences, flags outlying antennas and pairs, prints a fit table and
// writes the time-variable gains table.
#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "array/rejections.h"
#include "array/s_matrix.h"
#include "calib/gains_solver.h"
#include "calib/gains_table.h"
#include "calib/interval_solve.h"
#include "calib/mdgain.h"
#include "convert/gains.h"
#include "miriad/key.h"
#include "programs/gainsolve/calgains_files.h"
#include "programs/gainsolve/intervals.h"
#include "util/fmt.h"
#include "util/interrupt.h"
#include "util/output_file.h"
#include "util/stop.h"

using talva::archive::ArchiveReader;
using talva::archive::Dump;
using talva::array::accumulate_products;
using talva::array::c_layout_common_t;
using talva::array::check_layout_covers_;
using talva::array::kMaxProducts;
using talva::array::kNumAntennas;
using talva::array::load_badants_;
using talva::array::load_badbslns_;
using talva::array::load_corr_layout_file_;
using talva::array::mat;
using talva::array::ProductTable;
using talva::array::setup_s_matrix_;
using talva::array::talva_antenna_rejections_t;
using talva::array::talva_bsln_rejections_t;
using talva::calib::find_mdgain_;
using talva::calib::load_mdtable_;
using talva::calib::lsqrs_gains_solver_;

namespace {

using talva::ListLine;
using cx = std::complex<float>;

constexpr int kNant = kNumAntennas;  // 96 antennas of the redundant array
constexpr int kRecordLimit = 5000;   // record count at which the limit message is printed
constexpr int kMdCapacity = 5000;    // entries of the meridian-distance gain table

struct Settings {
  std::string infile;
  std::string corlfile;
  std::string gnsfile;
  int refant = 1;
  std::string antrejct;
  std::string rejects;
  int r1 = 1;
  int r2 = -1;
  std::string mdfile;
  bool mdcorr = false;
  float calflx = 1.0f;
  float interval = 0.0f;  ///< minutes; 0: one solution for the whole range
  std::string model = "point";
  std::string refgains;
  std::string gnstable;
  /// Whether the run solves intervals, judges the fits and prints the fit table.
  bool intervals() const { return interval > 0.0f || model != "point" || !refgains.empty() || !gnstable.empty(); }
};

Settings read_keywords(int argc, char** argv) {
  Settings s;
  talva::miriad::keyini(
      argc, argv,
      "solves one complex gain per antenna from an archive of a point-like calibrator; writes the gains "
      "file for talva2vis3, phase_dmp.log for talva2vis and an MD data file",
      "infile=cal.arc corlfile=lay.txt gnsfile=cal.gains calflx=10");
  talva::miriad::keya("infile", s.infile, " ", talva::miriad::required("the calibrator archive"));
  talva::miriad::keya("corlfile", s.corlfile, " ", talva::miriad::required("the correlator layout file"));
  talva::miriad::keya("gnsfile", s.gnsfile, "gains.log",
                      "gains file to write; also names the MD data file (NAME.md_dat)");
  talva::miriad::keyi("refant", s.refant, 1, "reference antenna (1-96; 0: the first active one; -1: no referencing)");
  talva::miriad::keya("antrejct", s.antrejct, " ", "rejected antennas: numbers 1-96; none: no rejects");
  talva::miriad::keya("rejects", s.rejects, " ", "rejected products: a count, then product indices; none: no rejects");
  talva::miriad::keyi("reclim", s.r1, 1, "first and last dump to use, counted from 1 (last <= 1: to the end)");
  talva::miriad::keyi("reclim", s.r2, -1);
  talva::miriad::keya("mdfile", s.mdfile, " ", "meridian-distance gain table, read with mdcorr=t");
  talva::miriad::keyl("mdcorr", s.mdcorr, false, "scale the model by the average meridian-distance gain");
  talva::miriad::keyr("calflx", s.calflx, 1.0f, "flux of the calibrator (the model amplitude), correlator units");
  talva::miriad::keyr("interval", s.interval, 0.0f, "solution interval, minutes (0: one solution for the whole range)");
  talva::miriad::keya("model", s.model, "point",
                      "point: every class visibility calflx; redundant: the class visibilities solved with the gains");
  talva::miriad::keya("refgains", s.refgains, " ",
                      "gains file (a calibrator's solution) whose amplitude, phase and phase slope the redundant "
                      "solutions take");
  talva::miriad::keya("gnstable", s.gnstable, " ", "time-variable gains table to write (one block per interval)");
  talva::miriad::keyfin();
  talva::miriad::keyrange("interval", s.interval, 0.0, 1.0e6);
  s.model = talva::trim_right(s.model);
  if (s.model != "point" && s.model != "redundant") talva::stop("model must be point or redundant, not " + s.model);
  s.refgains = talva::trim_right(s.refgains);
  s.gnstable = talva::trim_right(s.gnstable);
  if (!s.refgains.empty() && s.model != "redundant") talva::stop("refgains is read only with model=redundant");
  talva::miriad::keyrange("refant", s.refant, -1, kNant);  // 0: the first active antenna; -1: no phase reference
  s.r1 = std::max(s.r1, 1);
  s.infile = talva::trim_right(s.infile);
  s.gnsfile = talva::trim_right(s.gnsfile);
  if (s.gnsfile.empty()) talva::stop("gnsfile: no name given for the gains file");
  // the model amplitude squares into |g|^2: a flux of 0 or below has no solution
  if (!(s.calflx > 0.0f)) talva::stop("calflx must be a positive flux, not " + talva::list_real(s.calflx));
  return s;
}

/// Sums and averages of the correlations over the dump range.
struct Averages {
  std::vector<cx> cx1 = std::vector<cx>(kMaxProducts);                       // per product index (entry [l-1])
  std::vector<std::int32_t> used = std::vector<std::int32_t>(kMaxProducts);  // finite values summed into cx1
  int n = 0;                                                                 // dumps used
  float tilt = 0.0f;                                                         // average MD tilt, radians
  float gain = 1.0f;                                                         // average MD gain
};

/// With `collector`, `on_header` is called once the product table is read
/// and every dump of the range goes to the collector as well.
Averages average_archive(const Settings& s, const c_layout_common_t& layout, std::span<const float> md_table,
                         int md_count, std::vector<std::int32_t>& antnum, int& nbsln,
                         talva::gainsolve::IntervalCollector* collector, const std::function<void(int)>& on_header) {
  Averages avg;
  talva::StdoutOutput out;
  ArchiveReader archive(s.infile, out);
  nbsln = archive.file_header().nbsln;
  std::copy(archive.file_header().antnum.begin(), archive.file_header().antnum.end(), antnum.begin());
  check_layout_covers_(layout, nbsln, s.corlfile);
  if (collector != nullptr) on_header(nbsln);

  float gain_sum = 0.0f;
  float tilt_sum = 0.0f;
  int md_dumps = 0, damaged_md = 0;
  talva::archive::UndatedDumps undated;  // with intervals
  int j = 0;
  while (const std::optional<Dump> dump = archive.next()) {
    talva::stop_if_interrupted(": no file written");
    ++j;
    if (j < s.r1) continue;
    if (s.r2 > 1 && j > s.r2) break;
    // intervals are counted in time: a dump with no possible date has no place among them
    if (collector != nullptr && !dump->header.time_problem.empty()) {
      undated.left_out(j, dump->header.time_problem, out);
      continue;
    }
    ++avg.n;
    // a non-finite correlation (a damaged archive) stays out of its product's mean
    if (collector != nullptr) collector->dump(j, dump->header.jd, dump->vis, avg.cx1, avg.used);
    accumulate_products(layout, dump->vis, avg.cx1, avg.used);
    if (s.mdcorr) {
      const float md = dump->header.md_rad;
      if (std::isfinite(md)) {
        // a pointing the table does not bracket counts with gain 1
        float g = 1.0f;
        find_mdgain_(md_count, md_table, md, g);
        gain_sum += g;
        tilt_sum += md;
        ++md_dumps;
      } else {
        ++damaged_md;  // a damaged header (MD sine outside -1..1) stays out of the MD averages
      }
    }
    if (avg.n == kRecordLimit) (ListLine() << " Reached MX record limit").print();
  }
  if (undated.count() > 10) talva::put_line(undated.summary());  // the first ten were named
  talva::stop_if_interrupted(": no file written");
  if (collector != nullptr) collector->finish(avg.cx1, avg.used);

  (ListLine() << " records read" << avg.n).print();
  if (avg.n == 0) {
    talva::stop("no dump in the record range " + std::to_string(s.r1) + " to " +
                (s.r2 > 1 ? std::to_string(s.r2) : std::string("end")) + ": no gains solved, no file written");
  }
  for (int l = 1; l <= nbsln; ++l) {
    if (avg.used[l - 1] > 0) avg.cx1[l - 1] /= static_cast<float>(avg.used[l - 1]);
  }
  if (s.mdcorr) {
    if (damaged_md > 0) {
      talva::put_line(" " + std::to_string(damaged_md) +
                      " dumps with an MD tilt sine outside -1..1 (damaged header) left out of the MD averages");
    }
    if (md_dumps == 0) talva::stop("no dump with a valid MD tilt: no gains solved, no file written");
    avg.gain = gain_sum / static_cast<float>(md_dumps);
    avg.tilt = tilt_sum / static_cast<float>(md_dumps);
    (ListLine() << "Average md_tilt=" << avg.tilt << " Average mdgain=" << avg.gain).print();
    (ListLine() << "md_tilt=" << avg.tilt << s.r1 << s.r2).print();
  }
  return avg;
}

/// True when antenna a (1-based) has a non-zero entry in its row or column of S.
bool active(std::span<std::int32_t> S, int a) {
  for (int k = 1; k <= kNant; ++k) {
    if (mat(S, kNant, a, k) != 0 || mat(S, kNant, k, a) != 0) return true;
  }
  return false;
}

int run(int argc, char** argv) {
  const Settings s = read_keywords(argc, argv);
  talva::StdoutOutput out;

  // The three files are one set: each has a temporary from now on (so a
  // name that cannot be written, or two names for one file, stop the run
  // before any work), and they replace the earlier files together.
  namespace cg = talva::calgains;
  talva::OutputSet outputs;
  for (const std::string* in : {&s.infile, &s.corlfile, &s.antrejct, &s.rejects}) outputs.input(*in);
  if (s.mdcorr) outputs.input(s.mdfile);
  talva::OutputFile& gains_file = outputs.add(s.gnsfile);
  talva::OutputFile& phase_file = outputs.add(cg::kPhaseFile);
  talva::OutputFile& md_file = outputs.add(cg::mdt_file_name(s.gnsfile));
  talva::OutputFile* table_file = s.gnstable.empty() ? nullptr : &outputs.add(s.gnstable);

  const c_layout_common_t layout = load_corr_layout_file_(s.corlfile, out);
  const talva_antenna_rejections_t bad_antennas = load_badants_(s.antrejct, out);
  const talva_bsln_rejections_t bad_products = load_badbslns_(s.rejects, out);
  std::vector<float> md_table(2 * kMdCapacity);
  int md_count = 0;
  if (s.mdcorr) load_mdtable_(kMdCapacity, s.mdfile, md_count, md_table, out);

  std::vector<cx> refgains;
  if (!s.refgains.empty()) {
    refgains.resize(kNant);
    talva::convert::load_gains_(s.refgains, kNant, refgains, true, out);
  }

  std::vector<std::int32_t> antnum(kMaxProducts);
  int nbsln = 0;
  std::optional<talva::gainsolve::IntervalCollector> collector;
  if (s.intervals()) collector.emplace(static_cast<double>(s.interval));
  // The intervals' solutions need nothing of the whole range when the model
  // flux is calflx itself (no MD gain) and each solve starts from the
  // reference gains (or, the point model, from nothing): they are then made
  // on a second thread while the archive is read.
  talva::calib::SolveOptions opt;
  opt.model = s.model == "redundant" ? talva::calib::GainModel::redundant : talva::calib::GainModel::point;
  opt.flux = s.calflx;
  opt.refant = s.refant;
  opt.refgains = refgains;
  opt.start = refgains;
  std::optional<talva::gainsolve::BackgroundChain> early;
  if (collector && !s.mdcorr && (opt.model == talva::calib::GainModel::point || !refgains.empty())) {
    talva::calib::SolveOptions quiet = opt;
    quiet.solver_lines = false;
    early.emplace(quiet, *collector);
    collector->on_close([&](const talva::gainsolve::Collected& c) { early->post(c); }, true);
  }
  std::optional<ProductTable> early_table;  // the collector's, from the header on
  const auto on_header = [&](int nb) {
    early_table.emplace(std::span<const std::int32_t>(antnum.data(), static_cast<std::size_t>(nb)));
    std::vector<std::int32_t> S0(kNant * kNant);
    int nclass = 0;
    talva::StringOutput quiet;  // the whole-range set-up below prints what the S matrix says
    setup_s_matrix_(S0, kNant, nclass, quiet);
    talva::gainsolve::select_pairs(S0, *early_table, bad_antennas, bad_products, {}, false);
    collector->start(*early_table, nb, std::move(S0), nclass);
  };
  const Averages avg =
      average_archive(s, layout, md_table, md_count, antnum, nbsln, collector ? &*collector : nullptr, on_header);
  const ProductTable table(std::span<const std::int32_t>(antnum.data(), static_cast<std::size_t>(nbsln)));

  std::vector<std::int32_t> S(kNant * kNant);
  int m = 0;
  setup_s_matrix_(S, kNant, m, out);

  // Leave out rejected pairs, used pairs without a correlation of their own
  // in the dump (code not in the product table, or the last table entry whose
  // item lies past the block: their value would be another product's), and
  // pairs with no finite value in the whole range.
  talva::gainsolve::select_pairs(S, table, bad_antennas, bad_products, avg.used, true);
  std::vector<cx> V(kNant * kNant);
  std::vector<float> var(collector ? kNant * kNant : 0);
  for (int p = 1; p <= kNant; ++p) {
    for (int a = 1; a <= kNant; ++a) {
      if (mat(std::span<std::int32_t>(S), kNant, p, a) == 0) continue;
      const std::int32_t l = table.usable_index(p, a);
      // the average belongs to (smaller, larger): conjugate for p > a
      const cx c = avg.cx1[l - 1];
      mat(std::span<cx>(V), kNant, p, a) = (p < a) ? c : std::conj(c);
      if (collector)
        mat(std::span<float>(var), kNant, p, a) =
            collector->whole_variance(static_cast<std::size_t>(l), avg.used[l - 1]);
    }
  }

  // A calibrator without signal (all zero, or no finite value) would solve
  // to (0,0) gains that zero every dataset they are applied to.
  if (std::none_of(V.begin(), V.end(), [](const cx& v) { return v != cx(0.0f, 0.0f); })) {
    talva::stop(s.infile +
                ": no used pair has a nonzero finite correlation in the dump range (all zero or not "
                "finite): no gains solved, no file written");
  }

  const float model = s.calflx * avg.gain;
  if (!(model > 0.0f) || !std::isfinite(model)) {
    talva::stop("model amplitude calflx x mdgain = " + talva::list_real(model) +
                " is not a positive flux: no gains solved, no file written");
  }
  const std::vector<cx> U(static_cast<std::size_t>(std::max(m, 1)), cx(model, 0.0f));

  int refant = s.refant;
  (ListLine() << "Solving For Gains: refant=" << refant).print();
  if (refant >= 1 && refant <= kNant && !active(S, refant)) {
    talva::stop("refant " + std::to_string(refant) + " is in no used pair: no gains solved, no file written");
  }
  std::vector<cx> gains(kNant);
  std::optional<talva::calib::GainsTable> gains_table;
  if (!collector) {
    if (!lsqrs_gains_solver_({kNant, S, V, U, {}}, gains, refant, out))
      talva::stop("no gain solution: no file written");
  } else {
    opt.flux = model;
    opt.refant = refant;
    // the whole range: the gains file, as before, now judged and cleaned
    double nu = 0.0;  // the whole range's noise: the intervals' pairs together
    for (const auto& c : collector->intervals()) nu += c.data.nu;
    talva::calib::IntervalData whole{kNant, m, S, V, var, nu};
    const talva::calib::IntervalSolution sol = talva::calib::solve_interval(whole, opt, out);
    if (!sol.solved) talva::stop("no gain solution: no file written");
    gains = sol.gains;
    talva::gainsolve::print_fit("whole range (gains file)", sol);
    std::vector<talva::calib::IntervalSolution> solutions;
    if (early) {
      solutions = early->take();
    } else {
      opt.solver_lines = false;
      if (opt.start.empty()) opt.start = sol.gains;  // the intervals start from the whole range's solution
      solutions = talva::gainsolve::solve_intervals(collector->intervals(), opt);
    }
    gains_table =
        talva::gainsolve::report_intervals(collector->intervals(), solutions, s.model, static_cast<double>(s.interval));
  }
  for (const cx& g : gains) {
    if (!std::isfinite(g.real()) || !std::isfinite(g.imag())) {
      talva::stop("the gain solution is not finite: no file written");
    }
  }

  for (const std::string& line : cg::gains_lines(gains)) gains_file.line(line);
  for (const std::string& line : cg::phase_lines(gains)) phase_file.line(line);
  md_file.line(cg::mdt_line(avg.tilt, avg.gain));
  if (table_file != nullptr)
    for (const std::string& line : talva::calib::gains_table_lines(*gains_table)) table_file->line(line);
  talva::stop_if_interrupted(": no file written");
  outputs.commit();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return talva::run_main([&] { return run(argc, argv); });
}
