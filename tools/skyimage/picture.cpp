#include "picture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "util/median.h"

namespace talva::skyimage {

namespace {

constexpr double kPi = 3.14159265358979323846;

double median_of(std::vector<float>& v) { return talva::median_in_place<double>(std::span<float>(v)); }

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

}  // namespace

double robust_rms(std::span<const float> pixels) {
  std::vector<float> v;
  v.reserve(pixels.size());
  for (float p : pixels)
    if (std::isfinite(p)) v.push_back(p);
  if (v.empty()) return 0.0;
  const double med = median_of(v);
  for (float& p : v) p = static_cast<float>(std::abs(p - med));
  return 1.4826 * median_of(v);
}

float GreyScale::level(double v) const {
  const double x = std::clamp((v - lo) / (hi - lo), 0.0, 1.0);
  return static_cast<float>(std::log1p(a * x) / std::log1p(a));
}

GreyScale grey_scale(double rms, double peak, double min, double max) {
  GreyScale g;
  if (rms > 0.0 && peak > rms) {
    g.lo = -rms;
    g.hi = peak;
    g.a = std::clamp(peak / rms, 10.0, 1e4);
  } else {
    g.lo = min;
    g.hi = max > min ? max : min + 1.0;
    g.a = 100.0;
  }
  return g;
}

Contours contour_levels(double rms, double peak) {
  Contours c;
  if (!(peak > 0.0)) return c;
  const bool from_noise = rms > 0.0 && 3.0 * rms < peak;
  c.base = from_noise ? 3.0 * rms : 0.1 * peak;
  c.negative = from_noise ? -c.base : 0.0;
  // The top level stays a little below the peak, so that it is a ring.
  const double top = 0.9 * peak;
  for (c.factor = 2.0;; c.factor *= 2.0) {
    c.levels.clear();
    for (double l = c.base; l <= top && static_cast<int>(c.levels.size()) <= kMaxContours; l *= c.factor)
      c.levels.push_back(l);
    if (static_cast<int>(c.levels.size()) <= kMaxContours) break;
  }
  if (c.levels.empty()) c.levels.push_back(c.base);
  return c;
}

std::vector<std::pair<double, double>> beam_ellipse(double bmaj, double bmin, double bpa_deg, double east, double north,
                                                    int n) {
  // The major axis points to position angle bpa (from north through east),
  // the minor axis 90 degrees further.
  const double pa = bpa_deg * kPi / 180.0, a = 0.5 * bmaj, b = 0.5 * bmin;
  const double s = std::sin(pa), c = std::cos(pa);
  std::vector<std::pair<double, double>> pts;
  n = std::max(n, 3);
  for (int k = 0; k <= n; ++k) {
    const double t = 2.0 * kPi * (k % n) / n;
    const double u = a * std::cos(t), w = b * std::sin(t);  // along the major and the minor axis
    pts.emplace_back(east + u * s + w * c, north + u * c - w * s);
  }
  return pts;
}

std::vector<WedgeTick> wedge_ticks(const GreyScale& g, float min_gap) {
  std::vector<double> values;
  const double top = std::max(std::abs(g.lo), std::abs(g.hi));
  if (top > 0.0) {
    for (int e = static_cast<int>(std::floor(std::log10(top))) - 8; e <= static_cast<int>(std::ceil(std::log10(top)));
         ++e)
      for (double m : {1.0, 2.0, 5.0}) {
        const double v = m * std::pow(10.0, e);
        if (v > g.lo && v <= g.hi) values.push_back(v);
      }
  }
  std::sort(values.begin(), values.end());
  // From the top down: the large values are the ones a reader looks for,
  // and the stretch crowds the small ones together; 0 is always kept.
  const bool zero = g.lo <= 0.0 && g.hi >= 0.0;
  const float zero_at = zero ? g.level(0.0) : -1.0f;
  std::vector<WedgeTick> ticks;
  for (auto it = values.rbegin(); it != values.rend(); ++it) {
    if (*it == 0.0) continue;
    const float p = g.level(*it);
    if (!ticks.empty() && ticks.back().position - p < min_gap) continue;
    if (zero && p - zero_at < min_gap) continue;
    ticks.push_back({*it, p, number(*it)});
  }
  if (zero) ticks.push_back({0.0, zero_at, "0"});
  std::reverse(ticks.begin(), ticks.end());
  return ticks;
}

std::string picture_caption(const Contours& c, double rms, double bmaj_arcsec, double bmin_arcsec, double bpa_deg) {
  std::string text;
  if (!c.levels.empty()) {
    const bool of_noise = c.negative != 0.0;
    const double unit = of_noise ? rms : c.base / 10.0;
    text = "contours";
    if (of_noise) text += " " + number(std::round(c.negative / unit * 10.0) / 10.0);
    for (double l : c.levels) text += " " + number(std::round(l / unit * 10.0) / 10.0);
    text += of_noise ? " x rms (" + number(std::round(rms * 1e5) / 1e2) + " mJy/beam)" : " % of the peak";
  }
  if (bmaj_arcsec > 0.0) {
    char beam[80];
    std::snprintf(beam, sizeof beam, "beam %.0f\" x %.0f\", PA %.0f deg", bmaj_arcsec, bmin_arcsec, bpa_deg);
    text += (text.empty() ? "" : "; ") + std::string(beam);
  }
  return text;
}

}  // namespace talva::skyimage
