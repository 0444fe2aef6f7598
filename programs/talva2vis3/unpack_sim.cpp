// Simulation unpackers: visibilities that a point source offset from the
// phase centre by (dhr, ddec) would give in the mode's element layout,
// timed by the archive's dumps. The dump's correlations are not used.
#include <array>
#include <cmath>

#include "calib/mdgain.h"
#include "programs/talva2vis3/modes.h"
#include "programs/talva2vis3/records.h"
#include "programs/talva2vis3/unpackers.h"
#include "programs/talva2vis3/uv_output.h"
#include "util/gauss.h"

namespace {

struct SimGeometry {
  float cH, sH;
  float psi;  // phase gradient: source offset projected on the east-west line
};

SimGeometry geometry(float ha) {
  const auto& tc = talva_common_;
  SimGeometry g{std::cos(ha), std::sin(ha), 0.0f};
  g.psi = g.cH * tc.dhr - g.sH * tc.sindec * tc.ddec;
  return g;
}

// Gain factor of the element responses.
float gain_factor() {
  const auto& tc = talva_common_;
  return mdgain_(tc.md, tc.srcang, tc.dx, 0.0f) * tc.ampscale * tc.unity * tc.dx * std::cos(tc.md);
}

std::complex<float> unit_phasor(double phi) {
  return {static_cast<float>(std::cos(phi)), static_cast<float>(std::sin(phi))};
}

// Element responses E(k), k = 1..nelem, at [k-1].
void element_responses(const SimGeometry& g, std::array<std::complex<float>, kMaxElements>& E) {
  const auto& tc = talva_common_;
  const float A = gain_factor();
  for (int k = 1; k <= tc.nelem; ++k) {
    const double phi = tc.xpos[static_cast<std::size_t>(k - 1)] * static_cast<double>(kTwoPi) * g.psi;
    E[static_cast<std::size_t>(k - 1)] = A * unit_phasor(phi);
  }
}

// Simulation records have v = -sin H sindec spacing (the data modes: +).
void write_sim(const SimGeometry& g, double spacing, double time, double baseline, std::complex<float> data) {
  // The flat model of the simulations: u and v as written, w = 0.
  const RecordGeometry flat{0.0f, spacing, false};
  const auto& tc = talva_common_;
  const float vfac = -g.sH * tc.sindec;
  write_uv_record(static_cast<double>(g.cH) * spacing / tc.sfreq, static_cast<double>(vfac) * spacing / tc.sfreq,
                  time, baseline, data, flat);
}

// Every element pair: talva1c, talva2a, talva3a, talva3b.
int element_pairs(float ha, double time) {
  const auto& tc = talva_common_;
  const SimGeometry g = geometry(ha);
  std::array<std::complex<float>, kMaxElements> E{};
  element_responses(g, E);
  int n = 0;
  for (int k1 = 1; k1 <= tc.nelem - 1; ++k1)
    for (int k2 = k1 + 1; k2 <= tc.nelem; ++k2) {
      const double spacing = tc.xpos[static_cast<std::size_t>(k2 - 1)] - tc.xpos[static_cast<std::size_t>(k1 - 1)];
      write_sim(g, spacing, time, 65536.0 + 2048.0 * k1 + k2,
                E[static_cast<std::size_t>(k1 - 1)] * std::conj(E[static_cast<std::size_t>(k2 - 1)]));
      ++n;
    }
  return n;
}

}  // namespace

int mode_talva1c(float ha, double time) { return element_pairs(ha, time); }
int mode_talva2a(float ha, double time) { return element_pairs(ha, time); }
int mode_talva3a(float ha, double time) { return element_pairs(ha, time); }
int mode_talva3b(float ha, double time) { return element_pairs(ha, time); }

int mode_talva1b(float ha, double time) {
  const auto& tc = talva_common_;
  const SimGeometry g = geometry(ha);
  std::array<std::complex<float>, kMaxElements> E{};
  element_responses(g, E);
  const int units = (tc.nelem + 3) / 4;
  constexpr int kBeams = 7;  // fan beams m = -3..3
  std::array<float, kMaxElements> xu{};
  std::array<std::array<std::complex<float>, kBeams>, kMaxElements> B{};
  std::array<std::complex<float>, kBeams> steer{};
  for (int m = -3; m <= 3; ++m) {
    const float phi = -(kTwoPi * std::cos(tc.md) * tc.dx) * static_cast<float>(m) * tc.fanstep;
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
    for (int m = 0; m < kBeams; ++m) B[static_cast<std::size_t>(u - 1)][static_cast<std::size_t>(m)] = steer[static_cast<std::size_t>(m)] * esum;
  }
  int n = 0;
  for (int u1 = 1; u1 <= units - 1; ++u1)
    for (int u2 = u1 + 1; u2 <= units; ++u2) {
      std::complex<float> sum{0.0f, 0.0f};
      for (int m = 0; m < kBeams; ++m)
        sum += B[static_cast<std::size_t>(u1 - 1)][static_cast<std::size_t>(m)] *
               std::conj(B[static_cast<std::size_t>(u2 - 1)][static_cast<std::size_t>(m)]);
      const float spacing = xu[static_cast<std::size_t>(u2 - 1)] - xu[static_cast<std::size_t>(u1 - 1)];
      write_sim(g, spacing, time, 65536.0 + 2048.0 * u1 + u2, sum);
      ++n;
    }
  return n;
}

int mode_talva2b(float ha, double time) {
  const auto& tc = talva_common_;
  const SimGeometry g = geometry(ha);
  const float A = gain_factor();
  for (int k = 0; k < tc.nbase; ++k) {
    const double theta = tc.cblen[static_cast<std::size_t>(k)] * static_cast<double>(kTwoPi) * g.psi;
    write_sim(g, tc.cblen[static_cast<std::size_t>(k)], time, tc.bcode[static_cast<std::size_t>(k)],
              A * unit_phasor(theta));
  }
  return tc.nbase;
}

int mode_talva1d(float ha, double time) {
  auto& tc = talva_common_;
  const SimGeometry g = geometry(ha);
  for (int k = 0; k < tc.nbase; ++k) {
    const float n = talva::gauss_(tc.seed);  // a fresh deviate for every record
    const double theta = tc.cblen[static_cast<std::size_t>(k)] * static_cast<double>(kTwoPi) * g.psi +
                         static_cast<double>(n * (tc.noiselev * kTwoPi));
    write_sim(g, tc.cblen[static_cast<std::size_t>(k)], time, tc.bcode[static_cast<std::size_t>(k)],
              static_cast<float>(tc.nred[static_cast<std::size_t>(k)]) * unit_phasor(theta));
  }
  return tc.nbase;
}

int unpack_simulation(int imode, float ha, double time) {
  switch (imode) {
    case kTalva1b: return mode_talva1b(ha, time);
    case kTalva1c: return mode_talva1c(ha, time);
    case kTalva1d: return mode_talva1d(ha, time);
    case kTalva2a: return mode_talva2a(ha, time);
    case kTalva2b: return mode_talva2b(ha, time);
    case kTalva3a: return mode_talva3a(ha, time);
    case kTalva3b: return mode_talva3b(ha, time);
    default: return 0;
  }
}
