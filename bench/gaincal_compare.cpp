// Compares a time-variable gains table with the simulator's true gains
// (bench/gaincal_scene.sh): per interval, the rms gain error once the
// quantities redundancy leaves free are matched to the truth, and the rms
// error as the table stands (overall phase only removed), which includes
// what the reference set the free quantities to.
//   gaincal_compare TRUE.table SOLVED.table [REF.gains OUT.table]
// With REF.gains, also writes OUT.table: the true gains of every dump with
// the free quantities set to those of REF.gains, the best a solution
// referenced to REF.gains can do.
#include <cmath>
#include <cstdio>
#include <vector>

#include "calib/gains_table.h"
#include "calib/interval_solve.h"
#include "convert/gains.h"
#include "util/output_file.h"
#include "util/stop.h"

int main(int argc, char** argv) {
  return talva::run_main([&] {
    if (argc != 3 && argc != 5) talva::stop("usage: gaincal_compare TRUE.table SOLVED.table [REF.gains OUT.table]");
    const auto truth = talva::calib::read_gains_table(argv[1], 96);
    const auto solved = talva::calib::read_gains_table(argv[2], 96);
    talva::calib::GainsAt at;
    double sum_free = 0, sum_all = 0;
    int n = 0;
    for (const auto& b : solved.intervals) {
      talva::calib::gains_at(truth, 0.5 * (b.jd_start + b.jd_end), at);
      std::vector<char> use(96, 0);
      for (std::size_t a = 0; a < 96; ++a)
        use[a] = !b.flag[a] && !at.flag[a] && std::abs(b.gains[a]) > 0 &&
                 talva::calib::line_position(static_cast<int>(a) + 1) != 0;
      std::vector<std::complex<float>> g = b.gains;
      talva::calib::match_degenerate(g, at.gains, use);
      // as it stands: the overall phase alone turned to the truth's
      std::complex<double> turn = 0;
      for (std::size_t a = 0; a < 96; ++a)
        if (use[a]) turn += std::complex<double>(at.gains[a]) * std::conj(std::complex<double>(b.gains[a]));
      turn /= std::abs(turn);
      double e_free = 0, e_all = 0;
      int m = 0;
      for (std::size_t a = 0; a < 96; ++a) {
        if (!use[a]) continue;
        e_free += std::norm(std::complex<double>(g[a]) - std::complex<double>(at.gains[a]));
        e_all += std::norm(std::complex<double>(b.gains[a]) * turn - std::complex<double>(at.gains[a]));
        ++m;
      }
      sum_free += e_free / m;
      sum_all += e_all / m;
      ++n;
    }
    std::printf("%d intervals: rms gain error %.5f with the free quantities matched to the truth, %.5f as solved\n", n,
                std::sqrt(sum_free / n), std::sqrt(sum_all / n));
    if (argc == 5) {
      std::vector<std::complex<float>> ref(96);
      talva::StdoutOutput out;
      talva::convert::load_gains_(argv[3], 96, ref, true, out);
      auto best = truth;
      for (auto& b : best.intervals) {
        std::vector<char> use(96, 0);
        for (std::size_t a = 0; a < 96; ++a)
          use[a] = !b.flag[a] && talva::calib::line_position(static_cast<int>(a) + 1) != 0;
        talva::calib::match_degenerate(b.gains, ref, use);
      }
      talva::OutputFile file(argv[4]);
      for (const auto& l : talva::calib::gains_table_lines(best)) file.line(l);
      file.commit();
    }
    return 0;
  });
}
