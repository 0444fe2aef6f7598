// skyimage's picture as numbers: the noise, the grey scale, the contour
// levels, the beam's outline, the wedge's labels and the caption.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "picture.h"

namespace {

TEST(SkyimagePicture, RobustRmsIsTheNoiseNotTheSources) {
  std::mt19937 rng(5);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  std::vector<float> pix(40000);
  for (float& p : pix) p = 0.2f + noise(rng);  // an offset: deviations from the median count
  for (int k = 0; k < 200; ++k) pix[static_cast<std::size_t>(k) * 97] = 100.0f;  // compact sources
  pix[5] = std::numeric_limits<float>::quiet_NaN();
  pix[6] = std::numeric_limits<float>::infinity();
  EXPECT_NEAR(talva::skyimage::robust_rms(pix), 0.01, 0.0005);
  EXPECT_EQ(talva::skyimage::robust_rms(std::vector<float>(100, 3.0f)), 0.0);
  EXPECT_EQ(talva::skyimage::robust_rms(std::vector<float>(4, std::numeric_limits<float>::quiet_NaN())), 0.0);
  EXPECT_EQ(talva::skyimage::robust_rms({}), 0.0);
}

TEST(SkyimagePicture, GreyScaleRunsFromBelowTheNoiseToThePeakAndShowsFaintSources) {
  const double rms = 0.001, peak = 2.5;
  const talva::skyimage::GreyScale g = talva::skyimage::grey_scale(rms, peak, -0.01, peak);
  EXPECT_DOUBLE_EQ(g.lo, -rms);
  EXPECT_DOUBLE_EQ(g.hi, peak);
  EXPECT_FLOAT_EQ(g.level(-rms), 0.0f);
  EXPECT_FLOAT_EQ(g.level(-1.0), 0.0f);  // clipped: white
  EXPECT_FLOAT_EQ(g.level(peak), 1.0f);
  EXPECT_FLOAT_EQ(g.level(10.0), 1.0f);  // clipped: black
  float last = -1.0f;
  for (double v = -rms; v <= peak; v += peak / 1000.0) {
    EXPECT_GE(g.level(v), last) << v;
    last = g.level(v);
  }
  // a source of 5 rms shows as a clear grey; the noise stays light
  EXPECT_GT(g.level(5 * rms), 0.2f);
  EXPECT_LT(g.level(0.0), 0.15f);
  // a linear scale from the noise would leave the 5-rms source white
  EXPECT_LT((5 * rms + rms) / (peak + rms), 0.01);
  // no noise: over the image's range
  const talva::skyimage::GreyScale flat = talva::skyimage::grey_scale(0.0, 1.0, -0.5, 1.0);
  EXPECT_DOUBLE_EQ(flat.lo, -0.5);
  EXPECT_DOUBLE_EQ(flat.hi, 1.0);
  const talva::skyimage::GreyScale blank = talva::skyimage::grey_scale(0.0, 0.0, 0.0, 0.0);
  EXPECT_GT(blank.hi, blank.lo);
  EXPECT_TRUE(std::isfinite(blank.level(0.0)));
}

TEST(SkyimagePicture, ContourLevelsFromThreeRmsAtMostFiveBelowThePeak) {
  struct Case {
    double rms, peak;
    std::vector<double> levels;
    double negative;
  };
  const std::vector<Case> cases{
      {1.0, 3218.0, {3, 12, 48, 192, 768}, -3},  // high dynamic range: factor 4
      {1.0, 30.0, {3, 6, 12, 24}, -3},
      {1.0, 2.0, {0.2, 0.4, 0.8, 1.6}, 0},  // peak in the noise: tenths of the peak
      {0.0, 10.0, {1, 2, 4, 8}, 0},         // no noise
      {1.0, 0.0, {}, 0},
      {1.0, -5.0, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.peak);
    const talva::skyimage::Contours k = talva::skyimage::contour_levels(c.rms, c.peak);
    ASSERT_EQ(k.levels.size(), c.levels.size());
    for (std::size_t i = 0; i < c.levels.size(); ++i) EXPECT_NEAR(k.levels[i], c.levels[i], 1e-9 * c.peak);
    EXPECT_DOUBLE_EQ(k.negative, c.negative);
  }
  for (const double peak : {10.0, 1e3, 1e6, 1e12}) {
    const talva::skyimage::Contours k = talva::skyimage::contour_levels(1.0, peak);
    ASSERT_FALSE(k.levels.empty());
    EXPECT_LE(static_cast<int>(k.levels.size()), talva::skyimage::kMaxContours) << peak;
    EXPECT_LT(k.levels.back(), peak);
    for (std::size_t i = 1; i < k.levels.size(); ++i) EXPECT_DOUBLE_EQ(k.levels[i], k.levels[i - 1] * k.factor);
  }
}

TEST(SkyimagePicture, BeamOutlineHasItsWidthsAlongThePositionAngle) {
  struct Case {
    double bpa;
    double east_extent, north_extent;  // half widths along east and north
  };
  for (const Case& c : {Case{0, 0.5, 1.0}, Case{90, 1.0, 0.5}, Case{180, 0.5, 1.0}}) {
    const auto pts = talva::skyimage::beam_ellipse(2.0, 1.0, c.bpa, 10.0, -4.0, 360);
    ASSERT_EQ(pts.size(), 361u);
    EXPECT_EQ(pts.front(), pts.back());
    double e = 0, n = 0;
    for (const auto& [x, y] : pts) e = std::max(e, std::abs(x - 10.0)), n = std::max(n, std::abs(y + 4.0));
    EXPECT_NEAR(e, c.east_extent, 1e-4) << c.bpa;
    EXPECT_NEAR(n, c.north_extent, 1e-4) << c.bpa;
  }
  // position angle from north through east: at 45 degrees the major axis
  // points north-east (east and north both positive at its end)
  const auto pts = talva::skyimage::beam_ellipse(2.0, 0.5, 45.0, 0.0, 0.0, 8);
  EXPECT_NEAR(pts[0].first, std::sqrt(0.5), 1e-12);
  EXPECT_NEAR(pts[0].second, std::sqrt(0.5), 1e-12);
}

TEST(SkyimagePicture, WedgeTicksAreRoundValuesAtTheirGreyLevels) {
  const talva::skyimage::GreyScale g = talva::skyimage::grey_scale(0.00078, 2.5, -0.01, 2.5);
  const auto ticks = talva::skyimage::wedge_ticks(g, 0.07f);
  ASSERT_GE(ticks.size(), 5u);
  EXPECT_EQ(ticks.front().label, "0");
  EXPECT_EQ(ticks.back().label, "2");
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    EXPECT_FLOAT_EQ(ticks[i].position, g.level(ticks[i].value));
    EXPECT_GE(ticks[i].position, 0.0f);
    EXPECT_LE(ticks[i].position, 1.0f);
    if (i > 0) {
      EXPECT_GE(ticks[i].position - ticks[i - 1].position, 0.07f) << ticks[i].label;
      EXPECT_GT(ticks[i].value, ticks[i - 1].value);
    }
    if (ticks[i].value > 0) {
      const double mantissa = ticks[i].value / std::pow(10.0, std::floor(std::log10(ticks[i].value)));
      EXPECT_TRUE(std::abs(mantissa - 1) < 1e-9 || std::abs(mantissa - 2) < 1e-9 || std::abs(mantissa - 5) < 1e-9)
          << ticks[i].label;
    }
  }
}

TEST(SkyimagePicture, CaptionNamesTheLevelsTheNoiseAndTheBeam) {
  const double rms = 0.00078;
  EXPECT_EQ(talva::skyimage::picture_caption(talva::skyimage::contour_levels(rms, 2.51), rms, 60.2, 30.8, 4.0),
            "contours -3 3 12 48 192 768 x rms (0.78 mJy/beam); beam 60\" x 31\", PA 4 deg");
  EXPECT_EQ(talva::skyimage::picture_caption(talva::skyimage::contour_levels(0.0, 3.0), 0.0, 0.0, 0.0, 0.0),
            "contours 10 20 40 80 % of the peak");
  EXPECT_EQ(talva::skyimage::picture_caption(talva::skyimage::contour_levels(0.0, -1.0), 0.0, 45.0, 45.0, 0.0),
            "beam 45\" x 45\", PA 0 deg");
}

}  // namespace
