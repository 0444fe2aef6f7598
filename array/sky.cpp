#include "array/sky.h"

#include <star/pal.h>

#include <cmath>

namespace talva::sky {

namespace {

double tt_mjd(double jd) {
  const double mjd = jd - kMjdToJd;
  return mjd + palDtt(mjd) / 86400.0;
}

// The (u, v, w) axes of the direction (ra, dec): u east, v north, w towards it.
std::array<std::array<double, 3>, 3> uvw_axes(double ra, double dec) {
  const double sa = std::sin(ra), ca = std::cos(ra), sd = std::sin(dec), cd = std::cos(dec);
  return {{{-sa, ca, 0.0}, {-sd * ca, -sd * sa, cd}, {cd * ca, cd * sa, sd}}};
}

double dot(const std::array<double, 3>& a, const std::array<double, 3>& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

}  // namespace

double SiderealClock::last(double jd) {
  const double mjd = jd - kMjdToJd;
  const double day = std::floor(mjd);
  const double tt = mjd + palDtt(mjd) / 86400.0;  // the equation of the equinoxes wants TT
  const double hour = std::floor(tt * 24.0);
  if (!have_ || hour != hour_) {
    hour_ = hour;
    eqeq0_ = palEqeqx(hour / 24.0);
    eqeq1_ = palEqeqx((hour + 1.0) / 24.0);
    have_ = true;
  }
  const double f = tt * 24.0 - hour;
  const double eqeq = eqeq0_ + (eqeq1_ - eqeq0_) * f;
  return palDranrm(palGmsta(day, mjd - day) + eqeq + kLongitude);
}

Place apparent_place(double ra2000, double dec2000, double jd) {
  Place p;
  palMap(ra2000, dec2000, 0.0, 0.0, 0.0, 0.0, 2000.0, tt_mjd(jd), &p.ra, &p.dec);
  return p;
}

Uvw east_west_uvw(double ha, double dec, double b) {
  const double sh = std::sin(ha), ch = std::cos(ha);
  return {ch * b, sh * std::sin(dec) * b, -sh * std::cos(dec) * b};
}

Uvw EastWestUvw::operator()(double ha, double dec, double b) {
  if (!have_ || ha != ha_ || dec != dec_) {
    have_ = true;
    ha_ = ha;
    dec_ = dec;
    sh_ = std::sin(ha);
    ch_ = std::cos(ha);
    sd_ = std::sin(dec);
    cd_ = std::cos(dec);
  }
  return {ch_ * b, sh_ * sd_ * b, -sh_ * cd_ * b};
}

std::array<double, 3> direction_cosines(double ra, double dec, double ra0, double dec0) {
  double s[3];
  palDcs2c(ra, dec, s);
  const std::array<double, 3> v{s[0], s[1], s[2]};
  const auto ax = uvw_axes(ra0, dec0);
  return {dot(v, ax[0]), dot(v, ax[1]), dot(v, ax[2])};
}

Place offset_position(double l, double m, double ra0, double dec0) {
  const auto ax = uvw_axes(ra0, dec0);
  const double n = std::sqrt(1.0 - l * l - m * m);
  double v[3];
  for (int k = 0; k < 3; ++k) v[k] = l * ax[0][k] + m * ax[1][k] + n * ax[2][k];
  Place p;
  palDcc2s(v, &p.ra, &p.dec);
  p.ra = palDranrm(p.ra);
  return p;
}

void J2000Frame::set_date(double jd, const Place& apparent) {
  if (jd == jd_) return;
  jd_ = jd;
  double pn[3][3];  // frame of date = pn x J2000
  palPrenut(2000.0, tt_mjd(jd), pn);
  // The apparent frame's u, v, w axes, expressed in J2000: pn^T times the axes of date.
  const auto app = uvw_axes(apparent.ra, apparent.dec);
  const auto j2000 = uvw_axes(ra_, dec_);
  // Row r of date_to_j2000_: the J2000 axis r in the apparent (u, v, w) basis,
  // so that a baseline b = u e_u + v e_v + w e_w of date has J2000 coordinate
  // r = sum_k b_k (e_k . pn J_r).
  for (int r = 0; r < 3; ++r) {
    double jr[3] = {j2000[static_cast<std::size_t>(r)][0], j2000[static_cast<std::size_t>(r)][1],
                    j2000[static_cast<std::size_t>(r)][2]};
    double jd_date[3];
    palDmxv(pn, jr, jd_date);  // the J2000 axis in the frame of date
    const std::array<double, 3> v{jd_date[0], jd_date[1], jd_date[2]};
    for (int k = 0; k < 3; ++k)
      date_to_j2000_[static_cast<std::size_t>(r)][static_cast<std::size_t>(k)] =
          dot(app[static_cast<std::size_t>(k)], v);
  }
}

Uvw J2000Frame::to_j2000(const Uvw& a) const {
  const auto& m = date_to_j2000_;
  return {m[0][0] * a.u + m[0][1] * a.v + m[0][2] * a.w, m[1][0] * a.u + m[1][1] * a.v + m[1][2] * a.w,
          m[2][0] * a.u + m[2][1] * a.v + m[2][2] * a.w};
}

std::array<double, 3> itrf_position(double east) {
  constexpr double a = 6378137.0, f = 1.0 / 298.257223563;  // WGS84
  const double e2 = f * (2.0 - f);
  const double sl = std::sin(kLatitude), cl = std::cos(kLatitude);
  const double sg = std::sin(kLongitude), cg = std::cos(kLongitude);
  const double nu = a / std::sqrt(1.0 - e2 * sl * sl);
  return {(nu + kAltitude) * cl * cg - east * sg, (nu + kAltitude) * cl * sg + east * cg,
          (nu * (1.0 - e2) + kAltitude) * sl};
}

}  // namespace talva::sky
