// skyimage's texts of a place: right ascension wrapped into one day, no
// negative zero, each field rounded at the precision it is printed with.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "sky_format.h"

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kRadPerHour = kPi / 12.0;
constexpr double kRadPerDeg = kPi / 180.0;
constexpr double kRadPerArcsec = kRadPerDeg / 3600.0;

TEST(SkyimageFormat, RightAscensionRoundsToTheMillisecondAndWrapsIntoOneDay) {
  struct Case {
    double hours;
    const char* text;
  };
  const Case cases[] = {
      {0.0, "00:00:00.000"},
      {24.0, "00:00:00.000"},                    // a whole turn
      {24.0 - 0.0004 / 3600.0, "00:00:00.000"},  // rounds up to 24 h
      {-0.0004 / 3600.0, "00:00:00.000"},        // just below zero
      {-1.0, "23:00:00.000"},                    // a negative angle
      {5.5, "05:30:00.000"},
      {5.5 + 0.0012 / 3600.0, "05:30:00.001"},
      {1.0 - 0.0004 / 3600.0, "01:00:00.000"},  // seconds carry into minutes and hours
      {12.0 + 59.0 / 60.0 + 59.9996 / 3600.0, "13:00:00.000"},
      {23.0 + 59.0 / 60.0 + 59.9994 / 3600.0, "23:59:59.999"},
      {25.25, "01:15:00.000"},
  };
  for (const Case& c : cases) EXPECT_EQ(talva::skyimage::format_ra(c.hours * kRadPerHour), c.text) << c.hours;
}

TEST(SkyimageFormat, DeclinationRoundsToTheHundredthOfAnArcsecondWithOneSign) {
  struct Case {
    double arcsec;
    const char* text;
  };
  const Case cases[] = {
      {0.0, "+00:00:00.00"},
      {-0.0, "+00:00:00.00"},
      {-0.004, "+00:00:00.00"},  // rounds to zero: no negative zero
      {-0.006, "-00:00:00.01"},
      {-45.0 * 3600.0 - 0.01, "-45:00:00.01"},
      {-45.0 * 3600.0 + 0.004, "-45:00:00.00"},
      {30.0 * 3600.0 - 0.004, "+30:00:00.00"},  // carries through seconds and minutes
      {59.996, "+00:01:00.00"},
      {89.0 * 3600.0 + 59.0 * 60.0 + 59.994, "+89:59:59.99"},
      {-(12.0 * 3600.0 + 34.0 * 60.0 + 56.785), "-12:34:56.79"},
  };
  for (const Case& c : cases) EXPECT_EQ(talva::skyimage::format_dec(c.arcsec * kRadPerArcsec), c.text) << c.arcsec;
}

TEST(SkyimageFormat, OffsetsNeverPrintANegativeZero) {
  EXPECT_EQ(talva::skyimage::format_offset(-0.0), "   0.000");
  EXPECT_EQ(talva::skyimage::format_offset(-0.0004), "   0.000");
  EXPECT_EQ(talva::skyimage::format_offset(-0.0006), "  -0.001");
  EXPECT_EQ(talva::skyimage::format_offset(20.0004), "  20.000");
  EXPECT_EQ(talva::skyimage::format_offset(-15.1896), " -15.190");
  EXPECT_EQ(talva::skyimage::format_offset(123.4567), " 123.457");
}

}  // namespace
