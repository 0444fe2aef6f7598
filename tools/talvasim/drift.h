#pragma once
// Gains that change over the track, and bad antennas, for the simulator.
#include <algorithm>
#include <complex>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "calib/gains_table.h"

namespace talva::talvasim {

struct Settings;

/// A bad antenna: dead (no signal, only noise) or noisy (its pairs' noise
/// kNoisyFactor times the sigma of `noise`).
struct BadAntenna {
  int antenna = 0;
  bool dead = true;
};
inline constexpr double kNoisyFactor = 10.0;

/// Reads badants= items: "dead" or "noisy" sets the kind of the antenna
/// numbers that follow (dead at first). Stops on a number outside 1..96.
std::vector<BadAntenna> parse_bad_antennas(const std::vector<std::string>& items);

/// Gain drift of every antenna: three sinusoids of periods 3 to 12 hours
/// with seeded phases, for the phase (rms `phase_deg`) and the amplitude
/// (rms fraction `amp_frac`), so that the gain changes smoothly over hours.
class GainDrift {
 public:
  GainDrift(const Settings& s, std::vector<std::complex<float>> base);
  /// True when anything changes with time or an antenna is bad.
  bool active() const { return active_; }
  /// The gains of dump n (0-based): base gains times the drift; dead antennas 0.
  void gains(const Settings& s, int n, std::vector<std::complex<float>>& g) const;
  /// The factor of the noise sigma of the pair (i, j).
  double noise_factor(int i, int j) const {
    return noisy_[static_cast<std::size_t>(i - 1)] || noisy_[static_cast<std::size_t>(j - 1)] ? kNoisyFactor : 1.0;
  }
  /// Adds dump n's true gains (and dead antennas as flags) to `table`.
  void record(double jd, const std::vector<std::complex<float>>& g, talva::calib::GainsTable& table) const;

 private:
  struct Wave {
    double period_s, phase, weight;
  };
  std::vector<std::complex<float>> base_;
  std::vector<std::vector<Wave>> phase_waves_, amp_waves_;  // [a-1]
  std::vector<char> dead_, noisy_;
  double phase_rad_ = 0, amp_frac_ = 0;
  bool active_ = false;
};

/// Model values of the table's products (from the smaller to the larger
/// antenna) of a point source of `flux` at the phase centre, gains g.
template <typename Table>
void point_model(const Table& table, const std::vector<std::complex<float>>& g, double flux,
                 std::vector<std::complex<double>>& model) {
  for (std::size_t k = 0; k + 1 < table.size(); ++k) {
    const int i = std::min(table[k].a, table[k].b), j = std::max(table[k].a, table[k].b);
    const std::complex<double> gi(g[static_cast<std::size_t>(i) - 1]), gj(g[static_cast<std::size_t>(j) - 1]);
    model[k] = gi * flux * std::conj(gj);
  }
}

}  // namespace talva::talvasim
