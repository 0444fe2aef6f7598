// Amplitude and phase, phase wrapping, rotation and statistics of correlations.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "calib/cx2amp.h"

using talva::calib::Accumulated;
using talva::calib::cx2amp_;
using talva::calib::fix_phase_;
using talva::calib::get_stats_;
using talva::calib::MeanRms;
using talva::calib::rlim2amp_;
using talva::calib::rotate_vis_;
using talva::calib::Rotation;

TEST(AmplitudePhase, KeyValuesAndBothEndsOfTheInterval) {
  float amp = -1, ph = -1;
  rlim2amp_(3.0f, 4.0f, amp, ph);
  EXPECT_EQ(amp, 5.0f);
  EXPECT_FLOAT_EQ(ph, 0.9272952f);
  rlim2amp_(0.0f, 0.0f, amp, ph);
  EXPECT_EQ(amp, 0.0f);
  EXPECT_EQ(ph, 0.0f);
  rlim2amp_(-1.0f, 0.0f, amp, ph);
  EXPECT_EQ(ph, 3.1415927f);
  rlim2amp_(-1.0f, -0.0f, amp, ph);
  EXPECT_EQ(ph, -3.1415927f);
  cx2amp_({0.0f, -2.0f}, amp, ph);
  EXPECT_EQ(amp, 2.0f);
  EXPECT_EQ(ph, -1.5707964f);
}

TEST(AmplitudePhase, FixPhaseWrapsOnce) {
  const std::pair<float, float> cases[] = {{190.0f, -170.0f}, {-190.0f, 170.0f},  {180.0f, 180.0f}, {-180.0f, -180.0f},
                                           {540.0f, 180.0f},  {-540.0f, -180.0f}, {45.0f, 45.0f},   {180.5f, -179.5f}};
  for (auto [in, want] : cases) {
    float p = in;
    fix_phase_(p);
    EXPECT_EQ(p, want) << in;
  }
}

TEST(Rotation, TurnsByTheAngle) {
  std::complex<float> c(1.0f, 0.0f);
  rotate_vis_(c, 1.5707964f);
  EXPECT_NEAR(c.real(), 0.0f, 1e-7f);
  EXPECT_NEAR(c.imag(), 1.0f, 1e-7f);
  c = {1.0f, 0.0f};
  rotate_vis_(c, 3.1415927f);
  EXPECT_NEAR(c.real(), -1.0f, 1e-7f);
  EXPECT_NEAR(c.imag(), 0.0f, 1e-6f);
  // a rotation keeps the amplitude and adds the angle to the phase
  c = {0.3f, -0.4f};
  rotate_vis_(c, 0.7f);
  float amp, ph;
  cx2amp_(c, amp, ph);
  EXPECT_NEAR(amp, 0.5f, 1e-6f);
  EXPECT_NEAR(ph, std::atan2(-0.4f, 0.3f) + 0.7f, 1e-6f);
}

TEST(Statistics, MeanAndRmsOfThreeQuantities) {
  // element 2 (1-based) carries the data
  const std::vector<float> sum1 = {0, 6}, sum2 = {0, 6}, sumsq1 = {0, 20}, sumsq2 = {0, 18}, sum3 = {0, -4},
                           sumsq3 = {0, 10}, count = {5, 2};
  const std::array<Accumulated, 3> three{{{sum1, sumsq1}, {sum2, sumsq2}, {sum3, sumsq3}}};
  auto st = get_stats_(2, three, count);
  EXPECT_EQ(st[0].mean, 3.0f);
  EXPECT_EQ(st[0].rms, 1.0f);
  EXPECT_EQ(st[1].mean, 3.0f);
  EXPECT_EQ(st[1].rms, 0.0f);
  EXPECT_EQ(st[2].mean, -2.0f);
  EXPECT_EQ(st[2].rms, 1.0f);
  // a negative rounding residue is passed through, not turned into NaN
  const std::vector<float> s = {0.3f}, sq = {0.03f}, c1 = {3.0f};
  st = get_stats_(1, {{{s, sq}, {s, sq}, {s, sq}}}, c1);
  EXPECT_FALSE(std::isnan(st[0].rms));
  EXPECT_LE(std::fabs(st[0].rms), 1e-6f);
  // no samples (or a count that is not a number): all zero
  const std::vector<float> zero = {0.0f}, nan = {std::numeric_limits<float>::quiet_NaN()}, big = {100.0f};
  for (const auto* cnt : {&zero, &nan}) {
    st = get_stats_(1, {{{big, big}, {big, big}, {big, big}}}, *cnt);
    for (const MeanRms& m : st) EXPECT_EQ(m.mean + m.rms, 0.0f);
  }
  // an element outside the arrays gives zeros instead of reading past them
  EXPECT_EQ(get_stats_(3, three, count)[0].mean, 0.0f);
  EXPECT_EQ(
      get_stats_(2, {{{sum1, sumsq1}, {sum2, std::span<const float>(sumsq2).first(1)}, {sum3, sumsq3}}}, count)[0].mean,
      0.0f);
}
