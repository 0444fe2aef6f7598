// Site geometry of a pointing, meridian-distance gains and the MD table.
#include "calib/mdgain.h"

#include <star/pal.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "util/constants.h"
#include "util/fmt.h"
#include "util/textin.h"

namespace talva::calib {

namespace {
constexpr float kHalfPi = 1.5707964f;
constexpr float kDegPerRad = talva::kTableDegPerRad;
using talva::kPi;
constexpr std::size_t kRecordLength = 128;
}  // namespace

Site Site::with_limits(float tltmin, float mdmax) { return {talva::kLatitude, tltmin, kPi - tltmin, mdmax}; }

void find_tilt_md_(const Site& site, float ha, float dec, float& az, float& el, float& tilt, float& md, int& err,
                   talva::Output& out) {
  err = 0;
  double daz = 0.0, del = 0.0;
  palDe2h(static_cast<double>(ha), static_cast<double>(dec), static_cast<double>(site.latitude), &daz, &del);
  az = static_cast<float>(daz);
  el = static_cast<float>(del);
  const float cd = static_cast<float>(std::cos(static_cast<double>(dec)));
  const float sd = static_cast<float>(std::sin(static_cast<double>(dec)));
  const float ch = static_cast<float>(std::cos(static_cast<double>(ha)));
  const float sh = static_cast<float>(std::sin(static_cast<double>(ha)));
  const float across = cd * ch;
  tilt = kHalfPi - static_cast<float>(std::atan2(static_cast<double>(sd), static_cast<double>(across))) + site.latitude;
  float f = across;
  bool broken = tilt < site.tltmin || tilt > site.tltmax;
  if (!broken) {
    f = -sh * cd;
    if (std::fabs(f) > 1.0f) {
      broken = true;
    } else {
      md = static_cast<float>(std::asin(static_cast<double>(f)));
      broken = std::fabs(md) > site.mdmax;
    }
  }
  if (broken) {
    err = 1;
    // after a tilt failure md is the caller's previous value
    out.line("tlt, f, md" + talva::fmt_f(tilt, 10, 3) + talva::fmt_f(f, 10, 3) + talva::fmt_f(md, 10, 3));
  }
}

float mdgain_(float md, float angle, float width, float offset) {
  const float cmd = static_cast<float>(std::cos(static_cast<double>(md)));
  const float x = (angle - offset) * (cmd * width * kPi);
  if (x == 0.0f) return 1.0f;
  const float s = static_cast<float>(std::sin(static_cast<double>(x)));
  const float r = s / x;
  return r * r;
}

float tltgain_(float offset, float scale) {
  const float t = offset / (0.8f / scale);
  return static_cast<float>(std::exp(-static_cast<double>(t * t)));
}

void load_mdtable_(int nmax, const std::string& file, int& n, std::span<float> table, talva::Output& out) {
  // the caller's table bounds the capacity as well as nmax
  const int capacity =
      static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::max(nmax, 0)), table.size() / 2));
  talva::TextInput in(talva::trim_right(file), "MD table");
  n = 0;
  std::string line;
  if (capacity < 1) {
    out.line("*** reached MX limit for mb_table with " + talva::fmt_i(nmax, 8));
  } else {
    while (in.next_line(line, kRecordLength)) {
      talva::FreeFormat values(line, &in);
      if (values.at_end()) in.fail("blank line; every line must hold a meridian distance and a gain");
      const float md = values.real32("meridian distance, degrees");
      const float gain = values.real32("gain");
      n = n + 1;
      table[static_cast<std::size_t>(2 * n - 2)] = md;
      table[static_cast<std::size_t>(2 * n - 1)] = gain;
      if (n >= capacity) {
        out.line("*** reached MX limit for mb_table with " + talva::fmt_i(nmax, 8));
        break;
      }
    }
  }
  out.line(talva::fmt_i(n, 6) + "  mdtable entries");
  // the table is read for mdcorr: without an entry no correction would be made
  if (n == 0) in.fail_file("no entry; the MD correction needs at least one");
}

void find_mdgain_(int n, std::span<const float> table, float md, float& gain) {
  const int count = std::min(n, static_cast<int>(table.size() / 2));
  if (count < 1) return;
  auto md_at = [&](int k) { return table[static_cast<std::size_t>(2 * k - 2)]; };
  auto gain_at = [&](int k) { return table[static_cast<std::size_t>(2 * k - 1)]; };
  const float a = std::fabs(md) * kDegPerRad;
  if (a < md_at(1)) {
    gain = gain_at(1);
  } else if (a > md_at(count)) {
    gain = gain_at(count);
  } else {
    // no interpolation: the mean of the two bracketing entries
    for (int k = 1; k <= count - 1; ++k) {
      if (md_at(k) <= a && a <= md_at(k + 1)) {
        gain = (gain_at(k) + gain_at(k + 1)) * 0.5f;
        return;
      }
    }
  }
}

}  // namespace talva::calib
