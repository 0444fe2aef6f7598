#pragma once
// Antenna gain tables of the converter.
#include <complex>
#include <span>
#include <string>

#include "calib/gains_table.h"
#include "util/output.h"

namespace talva::convert {

/// Reads the gains file (lines "antenna (re,im) ..." in free format; further
/// items ignored) into gains[a-1] for antennas 1..nant. Every gain starts at
/// (0, 0); lines for antennas outside 1..nant are dropped; a later line for
/// an antenna replaces an earlier one. A missing file or a line without a
/// number and a complex value stops the program naming file and line; so
/// does a gain that is not finite or whose amplitude is above kMaxGainAmplitude
/// (its products would overflow single precision and flag sound data). With
/// `applied` (a data mode), a file without a nonzero gain for an antenna
/// 1..nant stops too (the dataset would be all zeros). An nant above
/// gains.size() is cut to it, with a message on `out`.
void load_gains_(const std::string& gnsfile, int nant, std::span<std::complex<float>> gains, bool applied,
                 talva::Output& out);

/// The largest gain amplitude accepted: gain products and the orvex weights
/// (amplitude to the fourth power) stay far inside single precision.
inline constexpr float kMaxGainAmplitude = 1e9f;

/// Phase of z in radians, in [-pi, pi] (single precision); 0 for (0, 0).
float z2phase_(std::complex<float> z);

/// A gains table followed dump by dump (gnstable=): the gains interpolated to
/// the dump's time and what the interval holding it leaves out. Both
/// converters' data unpackers apply it through this one object.
class DumpGains {
 public:
  /// `table` null: no table, nothing left out.
  explicit DumpGains(const talva::calib::GainsTable* table) : table_(table) {}
  bool active() const { return table_ != nullptr; }
  /// Interpolates the table to Julian date jd (calib::gains_at).
  void move_to(double jd);
  /// Whether jd lies within the table's first and last interval (one second of grace).
  bool covers(double jd) const;
  /// Antenna a's gain at the last move_to, a = 1..96.
  std::complex<float> gain(int a) const { return at_.gains[static_cast<std::size_t>(a - 1)]; }
  std::span<const std::complex<float>> gains() const { return at_.gains; }
  /// Whether the pair (i, j), in either order, is left out at the last
  /// move_to: either antenna or the pair flagged. False without a table.
  bool left_out(int i, int j) const;
  /// Antenna a's phase correction, radians: minus the phase of its gain, so
  /// that a pair's correlation g(i) conj(g(j)) V turned by
  /// phase_correction(i) - phase_correction(j) keeps the phase of V.
  float phase_correction(int a) const { return -z2phase_(gain(a)); }

 private:
  const talva::calib::GainsTable* table_;
  talva::calib::GainsAt at_;
};

}  // namespace talva::convert
