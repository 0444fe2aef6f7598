// Simulation unpackers: visibilities that a point source offset from the
// phase centre by (dhr, ddec) would give in the mode's element layout,
// timed by the archive's dumps. The dump's correlations are not used.
#include <algorithm>
#include <array>
#include <cmath>

#include "calib/mdgain.h"
#include "convert/unpackers.h"
#include "util/constants.h"
#include "util/gauss.h"

using talva::calib::mdgain_;

namespace talva::convert {

namespace {

using talva::kTwoPi;

// What every simulation step of one dump works with.
struct Sim {
  const ModeLayout& tc;  // element layout
  const SimulationInputs& in;
  float md;  // meridian distance of the dump, radians
  double sfreq;
  float sindec;
  double time;
  RecordSink& sink;
};

struct SimGeometry {
  float cH, sH;
  float psi;  // phase gradient: source offset projected on the east-west line
};

SimGeometry geometry(const Sim& sim, float ha) {
  SimGeometry g{std::cos(ha), std::sin(ha), 0.0f};
  g.psi = g.cH * sim.in.dhr - g.sH * sim.sindec * sim.in.ddec;
  return g;
}

// Gain factor of the element responses.
float gain_factor(const Sim& sim) {
  const float dx = sim.tc.dx;
  return mdgain_(sim.md, sim.in.srcang, dx, 0.0f) * sim.in.ampscale * sim.in.unity * dx * std::cos(sim.md);
}

std::complex<float> unit_phasor(double phi) {
  return {static_cast<float>(std::cos(phi)), static_cast<float>(std::sin(phi))};
}

// Element responses E(k), k = 1..nelem, at [k-1].
void element_responses(const Sim& sim, const SimGeometry& g, std::array<std::complex<float>, kMaxElements>& E) {
  const auto& tc = sim.tc;
  const float A = gain_factor(sim);
  for (int k = 1; k <= tc.nelem; ++k) {
    const double phi = tc.xpos[static_cast<std::size_t>(k - 1)] * static_cast<double>(kTwoPi) * g.psi;
    E[static_cast<std::size_t>(k - 1)] = A * unit_phasor(phi);
  }
}

// Simulation records have v = -sin H sindec spacing (the data modes: +).
// Record k (1-based) of the dump.
void write_sim(const Sim& sim, const SimGeometry& g, double spacing, talva::miriad::Baseline antennas,
               std::complex<float> data, int k) {
  const float vfac = -g.sH * sim.sindec;
  // The flat model of the simulations: u and v as written, w = 0.
  sim.sink.record(UvRecord::make(static_cast<double>(g.cH) * spacing, static_cast<double>(vfac) * spacing, sim.time,
                                 antennas, data, k)
                      .geometry(0.0f, spacing, false));
}

// Every element pair: talva1c, talva2a, talva3a, talva3b.
void element_pairs(const Sim& sim, float ha) {
  const auto& tc = sim.tc;
  const SimGeometry g = geometry(sim, ha);
  std::array<std::complex<float>, kMaxElements> E{};
  element_responses(sim, g, E);
  int n = 0;
  for (int k1 = 1; k1 <= tc.nelem - 1; ++k1)
    for (int k2 = k1 + 1; k2 <= tc.nelem; ++k2) {
      const double spacing = tc.xpos[static_cast<std::size_t>(k2 - 1)] - tc.xpos[static_cast<std::size_t>(k1 - 1)];
      ++n;
      write_sim(sim, g, spacing, talva::miriad::Baseline{k1, k2},
                E[static_cast<std::size_t>(k1 - 1)] * std::conj(E[static_cast<std::size_t>(k2 - 1)]), n);
    }
}

// talva1b: units of four elements, summed over seven fan beams.
void units_with_fan_beams(const Sim& sim, float ha) {
  const auto& tc = sim.tc;
  const SimGeometry g = geometry(sim, ha);
  std::array<std::complex<float>, kMaxElements> E{};
  element_responses(sim, g, E);
  const int units = (tc.nelem + 3) / 4;
  constexpr int kBeams = 7;  // fan beams m = -3..3
  std::array<float, kMaxElements> xu{};
  std::array<std::array<std::complex<float>, kBeams>, kMaxElements> B{};
  std::array<std::complex<float>, kBeams> steer{};
  for (int m = -3; m <= 3; ++m) {
    const float phi = -(kTwoPi * std::cos(sim.md) * tc.dx) * static_cast<float>(m) * tc.fanstep;
    steer[static_cast<std::size_t>(m + 3)] = {std::cos(phi), std::sin(phi)};
  }
  for (int u = 1; u <= units; ++u) {
    float xsum = 0.0f;
    std::complex<float> esum{0.0f, 0.0f};
    for (int k = 4 * (u - 1) + 1; k <= 4 * u && k <= tc.nelem; ++k) {
      xsum += static_cast<float>(tc.xpos[static_cast<std::size_t>(k - 1)]);
      esum += E[static_cast<std::size_t>(k - 1)];
    }
    xu[static_cast<std::size_t>(u - 1)] = xsum * 0.25f;
    for (int m = 0; m < kBeams; ++m)
      B[static_cast<std::size_t>(u - 1)][static_cast<std::size_t>(m)] = steer[static_cast<std::size_t>(m)] * esum;
  }
  int n = 0;
  for (int u1 = 1; u1 <= units - 1; ++u1)
    for (int u2 = u1 + 1; u2 <= units; ++u2) {
      std::complex<float> sum{0.0f, 0.0f};
      for (int m = 0; m < kBeams; ++m)
        sum += B[static_cast<std::size_t>(u1 - 1)][static_cast<std::size_t>(m)] *
               std::conj(B[static_cast<std::size_t>(u2 - 1)][static_cast<std::size_t>(m)]);
      const float spacing = xu[static_cast<std::size_t>(u2 - 1)] - xu[static_cast<std::size_t>(u1 - 1)];
      ++n;
      write_sim(sim, g, spacing, talva::miriad::Baseline{u1, u2}, sum, n);
    }
}

// talva2b: one record per unique baseline of the compressed table.
void unique_baselines(const Sim& sim, float ha) {
  const auto& tc = sim.tc;
  const SimGeometry g = geometry(sim, ha);
  const float A = gain_factor(sim);
  for (int k = 0; k < tc.nbase; ++k) {
    const double theta = tc.cblen[static_cast<std::size_t>(k)] * static_cast<double>(kTwoPi) * g.psi;
    write_sim(sim, g, tc.cblen[static_cast<std::size_t>(k)], tc.bcode[static_cast<std::size_t>(k)],
              A * unit_phasor(theta), k + 1);
  }
}

// talva1d: unique baselines with redundancy weights and phase noise.
void weighted_baselines_with_noise(const Sim& sim, float ha, std::int32_t& seed) {
  const auto& tc = sim.tc;
  const SimGeometry g = geometry(sim, ha);
  for (int k = 0; k < tc.nbase; ++k) {
    const float n = talva::gauss_(seed);  // a fresh deviate for every record
    const double theta = tc.cblen[static_cast<std::size_t>(k)] * static_cast<double>(kTwoPi) * g.psi +
                         static_cast<double>(n * (sim.in.noiselev * kTwoPi));
    write_sim(sim, g, tc.cblen[static_cast<std::size_t>(k)], tc.bcode[static_cast<std::size_t>(k)],
              static_cast<float>(tc.nred[static_cast<std::size_t>(k)]) * unit_phasor(theta), k + 1);
  }
}

}  // namespace

void SimulationUnpacker::unpack(const DumpContext& dump, RecordSink& sink) {
  const Sim sim{layout_, sim_, dump.md, sfreq_, sindec_, dump.time, sink};
  switch (layout_.imode) {
    case kTalva1b:
      units_with_fan_beams(sim, dump.ha);
      break;
    case kTalva1c:
    case kTalva2a:
    case kTalva3a:
    case kTalva3b:
      element_pairs(sim, dump.ha);
      break;
    case kTalva1d:
      weighted_baselines_with_noise(sim, dump.ha, seed_);
      break;
    case kTalva2b:
      unique_baselines(sim, dump.ha);
      break;
    default:
      break;
  }
}

std::vector<double> SimulationUnpacker::positions() const {
  const ModeLayout& tc = layout_;
  const int nelem = std::clamp(tc.nelem, 0, kMaxElements);
  std::vector<double> y;
  switch (tc.imode) {
    case kTalva1b:
      // Unit positions as the unpacker forms them: four elements summed as floats, times 0.25.
      for (int u = 1; u <= (nelem + 3) / 4; ++u) {
        float sum = 0.0f;
        for (int k = 4 * (u - 1) + 1; k <= 4 * u && k <= nelem; ++k) sum += static_cast<float>(tc.x(k));
        y.push_back(sum * 0.25f);
      }
      break;
    case kTalva1d:
    case kTalva2b: {
      const int nbase = std::clamp(tc.nbase, 0, kMaxBaselines);
      for (int k = 0; k < nbase; ++k) {
        const auto [a, b, wide] = tc.bcode[static_cast<std::size_t>(k)];
        if (b < 1) continue;
        if (static_cast<std::size_t>(b) > y.size()) y.resize(static_cast<std::size_t>(b), 0.0);
        if (a == 1) y[static_cast<std::size_t>(b - 1)] = tc.cblen[static_cast<std::size_t>(k)];
      }
      break;
    }
    default:  // talva1c, talva2a, talva3a, talva3b: every element pair
      for (int k = 1; k <= nelem; ++k) y.push_back(tc.x(k));
      break;
  }
  return y;
}

}  // namespace talva::convert
