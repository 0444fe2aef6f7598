#pragma once
// Sky geometry of the east-west array: the site, sidereal time, apparent
// places of date, and the (u, v, w) of a baseline along the east-west line.
//
// The archive's sign convention (ARCHITECTURE.md, "Sky convention"), which
// the simulator writes: the correlation of the pair oriented (a, b) is
//   g(a) conj(g(b)) sum F exp(-2 pi i (u l + v m + w (n - 1)))
// where (u, v, w) is the projection of position(b) - position(a) (East
// positive, the East arm at positive positions) in the apparent frame of
// date and (l, m, n) the source's direction cosines about the apparent phase
// centre. An east-west baseline of length B (east positive) at hour angle H
// gives u = cos H B, v = sin H sin(dec) B, w = -sin H cos(dec) B. The
// converters' records and MeasurementSet rows hold the opposite sign of the
// phase for their own (u, v, w), which run from the western antenna to the
// eastern one: the same sky.
#include <array>

namespace talva::sky {

/// Site latitude and longitude, radians (the single-precision values widened).
inline constexpr double kLatitude = static_cast<double>(-0.61735f);
inline constexpr double kLongitude = static_cast<double>(2.607929f);
/// Height of the site, metres: the array description gives none.
inline constexpr double kAltitude = 0.0;
inline constexpr double kMjdToJd = 2400000.5;
/// Speed of light, metres per nanosecond.
inline constexpr double kMetresPerNanosecond = 0.299792458;

struct Uvw {
  double u = 0, v = 0, w = 0;
};

/// Local apparent sidereal time (radians, 0 .. 2 pi) at the site longitude,
/// UT1 taken as UTC. The equation of the equinoxes (nutation, costly) moves
/// by less than 1e-6 rad a day: it is evaluated on the whole hours of TT and
/// interpolated in between (error below 1e-10 rad), the two values of the
/// current hour kept in the clock, so the result is a function of the time alone.
class SiderealClock {
 public:
  /// `jd`: UTC Julian date.
  double last(double jd);

 private:
  bool have_ = false;
  double hour_ = 0, eqeq0_ = 0, eqeq1_ = 0;
};

/// Geocentric apparent right ascension and declination of date (radians) of
/// the J2000 position (ra, dec) at the UTC Julian date `jd`: precession,
/// nutation, annual aberration and light deflection.
struct Place {
  double ra = 0, dec = 0;
};
Place apparent_place(double ra2000, double dec2000, double jd);

/// (u, v, w) of an east-west baseline `b` (any length unit, east positive)
/// at hour angle `ha` towards declination `dec` (radians).
Uvw east_west_uvw(double ha, double dec, double b);

/// east_west_uvw, to the bit, for many baselines at few hour angles: the
/// sines and cosines of the last hour angle and declination are kept.
class EastWestUvw {
 public:
  Uvw operator()(double ha, double dec, double b);

 private:
  bool have_ = false;
  double ha_ = 0, dec_ = 0, sh_ = 0, ch_ = 0, sd_ = 0, cd_ = 0;
};

/// Direction cosines (l, m, n) of (ra, dec) about the centre (ra0, dec0), radians.
std::array<double, 3> direction_cosines(double ra, double dec, double ra0, double dec0);

/// The position whose direction cosines about (ra0, dec0) are (l, m) (east,
/// north; l^2 + m^2 < 1): the inverse of the sine projection.
Place offset_position(double l, double m, double ra0, double dec0);

/// Turns (u, v, w) of the apparent frame of date into the J2000 frame: the
/// baseline vector is rotated by the inverse precession-nutation matrix and
/// projected on the (u, v, w) axes of the J2000 phase centre.
class J2000Frame {
 public:
  J2000Frame(double ra2000, double dec2000) : ra_(ra2000), dec_(dec2000) {}
  /// Sets the date (UTC Julian date) and the apparent phase centre of date.
  void set_date(double jd, const Place& apparent);
  /// (u, v, w) in the J2000 frame of a baseline whose apparent-frame
  /// coordinates are `app`.
  Uvw to_j2000(const Uvw& app) const;

 private:
  double ra_, dec_;
  double jd_ = -1.0;
  std::array<std::array<double, 3>, 3> date_to_j2000_{};  ///< rows: the J2000 u, v, w axes in the frame of date
};

/// Earth-centred (ITRF) position, metres, of a point `east` metres east of
/// the site along the local east direction (WGS84 ellipsoid, height kAltitude).
std::array<double, 3> itrf_position(double east);

}  // namespace talva::sky
