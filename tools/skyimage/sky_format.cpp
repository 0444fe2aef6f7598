#include "sky_format.h"

#include <cmath>
#include <cstdio>

namespace talva::skyimage {

namespace {

constexpr double kPi = 3.14159265358979323846;

// `units` (a whole number of the last field's steps) as "A:B:C.f" with
// `decimals` decimals in C; A has at least two digits.
std::string fields(long long units, int decimals) {
  long long per_second = 1;
  for (int k = 0; k < decimals; ++k) per_second *= 10;
  const long long a = units / (3600 * per_second);
  const long long b = units / (60 * per_second) % 60;
  const long long c = units / per_second % 60;
  const long long f = units % per_second;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld.%0*lld", a, b, c, decimals, f);
  return buf;
}

}  // namespace

std::string format_ra(double ra) {
  constexpr long long kDay = 24LL * 3600 * 1000;  // milliseconds of time
  long long ms = std::llround(ra * 12.0 / kPi * 3600.0 * 1000.0) % kDay;
  if (ms < 0) ms += kDay;
  return fields(ms, 3);
}

std::string format_dec(double dec) {
  const long long cs = std::llround(std::abs(dec) * 180.0 / kPi * 3600.0 * 100.0);
  return (dec < 0 && cs != 0 ? "-" : "+") + fields(cs, 2);
}

std::string format_offset(double arcmin) {
  double v = std::round(arcmin * 1000.0) / 1000.0;
  if (v == 0.0) v = 0.0;  // -0 becomes +0
  char buf[32];
  std::snprintf(buf, sizeof buf, "%8.3f", v);
  return buf;
}

}  // namespace talva::skyimage
