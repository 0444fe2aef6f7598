#pragma once
// Site geometry, meridian-distance gains and phase-calibration tables.
// Angles in radians unless stated; the tables and files hold degrees.
#include <cstdint>
#include <span>
#include <string>

#include "util/output.h"

namespace talva::calib {

/// The site and its pointing limits (radians), set up by a program from its keywords.
struct Site {
  float latitude = 0;  ///< -0.61735
  float tltmin = 0;
  float tltmax = 0;  ///< pi - tltmin
  float mdmax = 0;
  /// The array's site with arm-tilt limits tltmin .. pi - tltmin and MD limit mdmax.
  static Site with_limits(float tltmin, float mdmax);
};

/// Reads a phase-calibration file: a title line (echoed as "Phase cal data
/// derived from <title>" on `out`), then antenna number and phase in degrees
/// per line. phases[a-1] receives the phase in radians. status = 0.
void load_phasecal_(const std::string& file, int nmax, std::span<float> phases, int& status, talva::Output& out);

/// Azimuth, elevation, arm tilt and meridian distance of (ha, dec); err = 1
/// (with the message "('tlt, f, md', 3F10.3)" on `out`) when a site limit is broken.
void find_tilt_md_(const Site& site, float ha, float dec, float& az, float& el, float& tilt, float& md, int& err,
                   talva::Output& out);

/// (sin x / x)^2, x = pi * width * cos(md) * (angle - offset); 1 when x = 0.
float mdgain_(float md, float angle, float width, float offset);
/// exp(-(offset / (0.8 / scale))^2).
float tltgain_(float offset, float scale);

/// Reads an MD table (lines: md in degrees, gain) into table (pairs:
/// table[2k-2] = md(k), table[2k-1] = gain(k)); at most nmax entries. It is
/// read for the MD correction, so a table without an entry stops the program.
/// The count of entries (and a full table) is reported on `out`.
void load_mdtable_(int nmax, const std::string& file, int& n, std::span<float> table, talva::Output& out);
/// Gain for |md| (radians): the mean of the two bracketing entries, the end
/// values outside the table; left unchanged when no entry brackets it.
void find_mdgain_(int n, std::span<const float> table, float md, float& gain);

}  // namespace talva::calib
