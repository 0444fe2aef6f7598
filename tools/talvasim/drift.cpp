#include "drift.h"

#include <cmath>

#include "simulate.h"
#include "util/stop.h"
#include "util/textin.h"

namespace talva::talvasim {

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr int kWaves = 3;
constexpr double kShortest = 3 * 3600.0, kLongest = 12 * 3600.0;  // periods, seconds
constexpr std::uint64_t kDriftStream = 0xBB67AE8584CAA73Bull;     // a stream of its own
}  // namespace

std::vector<BadAntenna> parse_bad_antennas(const std::vector<std::string>& items) {
  std::vector<BadAntenna> out;
  bool dead = true;
  for (const std::string& item : items) {
    if (item == "dead" || item == "noisy") {
      dead = item == "dead";
      continue;
    }
    std::int32_t a = 0;
    if (!talva::parse_int32(item, a) || a < 1 || a > kAntennas)
      talva::stop("badants: " + item + " is neither dead, noisy nor an antenna 1-96");
    out.push_back({a, dead});
  }
  return out;
}

GainDrift::GainDrift(const Settings& s, std::vector<std::complex<float>> base)
    : base_(std::move(base)), dead_(kAntennas, 0), noisy_(kAntennas, 0) {
  phase_rad_ = s.gaindrift[0] * kPi / 180.0;
  amp_frac_ = s.gaindrift[1];
  for (const BadAntenna& b : s.badants) (b.dead ? dead_ : noisy_)[static_cast<std::size_t>(b.antenna - 1)] = 1;
  active_ = phase_rad_ != 0.0 || amp_frac_ != 0.0 || !s.badants.empty();
  Random rng(s.seed ^ kDriftStream);
  // each sinusoid carries a third of the variance: rms of the sum = the rms asked
  const double weight = std::sqrt(2.0 / kWaves);
  auto waves = [&] {
    std::vector<Wave> w;
    for (int k = 0; k < kWaves; ++k)
      w.push_back({kShortest + (kLongest - kShortest) * rng.uniform(), 2 * kPi * rng.uniform(), weight});
    return w;
  };
  for (int a = 0; a < kAntennas; ++a) {
    phase_waves_.push_back(waves());
    amp_waves_.push_back(waves());
  }
}

void GainDrift::gains(const Settings& s, int n, std::vector<std::complex<float>>& g) const {
  const double t = n * s.dt;
  auto sum = [t](const std::vector<Wave>& w) {
    double v = 0.0;
    for (const Wave& x : w) v += x.weight * std::sin(2 * kPi * t / x.period_s + x.phase);
    return v;
  };
  g.resize(base_.size());
  for (std::size_t a = 0; a < base_.size(); ++a) {
    if (dead_[a]) {
      g[a] = {0.0f, 0.0f};
      continue;
    }
    const std::complex<double> d = std::polar(1.0 + amp_frac_ * sum(amp_waves_[a]), phase_rad_ * sum(phase_waves_[a]));
    const std::complex<double> x = std::complex<double>(base_[a]) * d;
    g[a] = {static_cast<float>(x.real()), static_cast<float>(x.imag())};
  }
}

void GainDrift::record(double jd, const std::vector<std::complex<float>>& g, talva::calib::GainsTable& table) const {
  talva::calib::GainsInterval b;
  b.jd_start = b.jd_end = jd;
  b.dumps = 1;
  b.gains = g;
  b.chi2dof_antenna.assign(g.size(), 0.0);
  b.flag.assign(dead_.begin(), dead_.end());
  table.intervals.push_back(std::move(b));
}

}  // namespace talva::talvasim
