#pragma once
// The time-variable gains table: one block per solution interval.
//
// Text, one item per line, '#' lines are comments:
//   interval K JD1 JD2 D X   K: block number, JD1 and JD2 the Julian dates of
//                            the interval's first and last dump, D dumps, X its chi2/DoF
//   A (re,im) C F            one line per antenna A = 1..n: complex gain,
//                            chi2/DoF of its pairs, flag F (1: antenna left out)
//   pair I J                 a pair left out (I, J as the solution oriented them)
//   end                      closes the block
// Blocks follow in time. gainsolve writes it (gnstable=); the converter
// reads it and interpolates the gains to each dump.
#include <complex>
#include <string>
#include <utility>
#include <vector>

namespace talva::calib {

struct GainsInterval {
  double jd_start = 0, jd_end = 0;  ///< first and last dump, Julian date
  int dumps = 0;
  double chi2dof = 0;
  std::vector<std::complex<float>> gains;  ///< [a-1]
  std::vector<double> chi2dof_antenna;     ///< [a-1]
  std::vector<char> flag;                  ///< [a-1], 1: left out
  std::vector<std::pair<int, int>> pairs;  ///< pairs left out
};

struct GainsTable {
  int nant = 0;
  std::vector<std::string> comments;  ///< written after the format's own header, each as "# text"
  std::vector<GainsInterval> intervals;
};

/// The lines of the table's file.
std::vector<std::string> gains_table_lines(const GainsTable& table);

/// Reads a table of antennas 1..nant; a missing file, a malformed line, an
/// antenna outside 1..nant, a block out of time order or without its end, or a
/// table without a block stops the program naming the file and line.
GainsTable read_gains_table(const std::string& path, int nant);

/// Gains, antenna flags and flagged pairs at one time.
struct GainsAt {
  std::vector<std::complex<float>> gains;  ///< [a-1]
  std::vector<char> flag;                  ///< [a-1]
  std::vector<std::pair<int, int>> pairs;
  int interval = -1;  ///< block whose flags apply (0-based)
};

/// Gains at Julian date jd: between two interval centres each antenna's
/// amplitude is interpolated linearly and its phase along the shorter arc;
/// before the first centre and after the last the nearest block's gains. The
/// flags are those of the block holding jd (between blocks: the nearer one);
/// an antenna flagged in a neighbouring block keeps the gain of this one.
void gains_at(const GainsTable& table, double jd, GainsAt& at);

}  // namespace talva::calib
