#pragma once
// The three files gainsolve writes: the gains file read by the converter,
// the phase-calibration file "phase_dmp.log" and the meridian-distance data
// file. Each writer only builds the lines; the caller decides when and where
// they are written (all of them after a successful solve).
#include <cmath>
#include <complex>
#include <span>
#include <string>
#include <vector>

#include "util/constants.h"
#include "util/fmt.h"

namespace talva::calgains {

/// Degrees per radian of the programs.
using talva::kDegPerRad;

/// Name of the phase-calibration file, in the current directory.
inline constexpr const char* kPhaseFile = "phase_dmp.log";

/// Title line of "phase_dmp.log" (39 characters); load_phasecal_ echoes it
/// as the origin of the phases.
inline constexpr const char* kPhaseTitle = "gainsolve: minus the phase of each gain";

/// atan2(im, re) in degrees, single precision; 0 for (0, 0).
inline float gain_phase_deg(std::complex<float> g) {
  float rad = static_cast<float>(std::atan2(static_cast<double>(g.imag()), static_cast<double>(g.real())));
  return rad * kDegPerRad;
}

/// Lines of the gains file: i, gain(i), |gain(i)|, phase in degrees, for i = 1..n.
inline std::vector<std::string> gains_lines(std::span<const std::complex<float>> gains) {
  std::vector<std::string> out;
  out.reserve(gains.size());
  for (std::size_t k = 0; k < gains.size(); ++k) {
    const std::complex<float> g = gains[k];
    const float amp = std::sqrt(g.real() * g.real() + g.imag() * g.imag());
    ListLine line;
    line << static_cast<int>(k + 1) << g << amp << gain_phase_deg(g);
    out.push_back(line.str());
  }
  return out;
}

/// Lines of "phase_dmp.log": the title, then i and minus the gain phase in
/// degrees, wrapped into -180..180, for i = 1..n.
inline std::vector<std::string> phase_lines(std::span<const std::complex<float>> gains) {
  std::vector<std::string> out;
  out.reserve(gains.size() + 1);
  out.emplace_back(kPhaseTitle);  // as it stands: no list-directed leading blank
  for (std::size_t k = 0; k < gains.size(); ++k) {
    const std::complex<float> g = gains[k];
    float phi = 0.0f;
    if (g.real() != 0.0f || g.imag() != 0.0f) {
      phi = gain_phase_deg(g);
      if (phi > 180.0f) {
        phi -= 360.0f;
      } else if (phi < -180.0f) {
        phi += 360.0f;
      }
    }
    // + 0.0f: a phase of zero is written as 0, never as -0
    ListLine line;
    line << static_cast<int>(k + 1) << (-phi + 0.0f);
    out.push_back(line.str());
  }
  return out;
}

/// The one line of the MD data file: average MD tilt (radians) and average MD gain.
inline std::string mdt_line(float tilt, float gain) { return (ListLine() << tilt << gain).str(); }

/// Name of the MD data file: the gains file name up to and including the
/// first "." of its last path component, then "md_dat" ("md_dat" alone when
/// that component has no "."), in the gains file's directory. Dots in the
/// directory part do not count, so the file never lands outside it.
inline std::string mdt_file_name(const std::string& gnsfile) {
  const std::size_t slash = gnsfile.rfind('/');
  const std::size_t base = (slash == std::string::npos) ? 0 : slash + 1;
  const std::size_t dot = gnsfile.find('.', base);
  if (dot == std::string::npos) return gnsfile.substr(0, base) + "md_dat";
  return gnsfile.substr(0, dot + 1) + "md_dat";
}

}  // namespace talva::calgains
