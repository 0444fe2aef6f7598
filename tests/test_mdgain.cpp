// Site geometry, meridian-distance gains and tables, phase calibration files.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "calib/mdgain.h"
#include "support/testsupport.h"
#include "util/stop.h"

using talva::calib::find_mdgain_;
using talva::calib::find_tilt_md_;
using talva::calib::load_mdtable_;
using talva::calib::load_phasecal_;
using talva::calib::mdgain_;
using talva::calib::Site;
using talva::calib::tltgain_;

namespace tt = talva::test;

namespace {

constexpr float kLatitude = -0.61735f;

Site set_site(float tltmin, float mdmax) { return {kLatitude, tltmin, 3.1415927f - tltmin, mdmax}; }

float deg(float d) { return d / 57.29578f; }

}  // namespace

TEST(TiltAndMd, MeridianAndZenith) {
  const Site site = set_site(0.1f, 1.2f);
  float az = 0, el = 0, tilt = 0, md = 9;
  int err = -1;
  talva::StringOutput out;
  // at the zenith: tilt pi/2, elevation pi/2, no meridian distance
  find_tilt_md_(site, 0.0f, kLatitude, az, el, tilt, md, err, out);
  EXPECT_EQ(err, 0);
  EXPECT_NEAR(tilt, 1.5707964f, 1e-6f);
  EXPECT_EQ(md, 0.0f);
  EXPECT_NEAR(el, 1.5707964f, 1e-5f);
  // on the meridian: tilt = pi/2 - dec + latitude, md = 0; elevation drops by the offset
  for (float dec : {-1.2f, -0.9f, 0.0f, 0.3f}) {
    md = 5;
    find_tilt_md_(site, 0.0f, dec, az, el, tilt, md, err, out);
    EXPECT_EQ(err, 0) << dec;
    EXPECT_NEAR(tilt, 1.5707964f - dec + kLatitude, 2e-6f) << dec;
    EXPECT_EQ(md, 0.0f) << dec;
    EXPECT_NEAR(el, 1.5707964f - std::fabs(dec - kLatitude), 1e-5f) << dec;
  }
  // east and west of the meridian: md changes sign, tilt does not
  float tilt_e = 0, md_e = 0, tilt_w = 0, md_w = 0;
  find_tilt_md_(site, -0.4f, -0.8f, az, el, tilt_e, md_e, err, out);
  EXPECT_EQ(err, 0);
  find_tilt_md_(site, 0.4f, -0.8f, az, el, tilt_w, md_w, err, out);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(out.text(), "");  // within the limits nothing is printed
  EXPECT_FLOAT_EQ(tilt_e, tilt_w);
  EXPECT_FLOAT_EQ(md_e, -md_w);
  EXPECT_NEAR(md_w, std::asin(-std::sin(0.4) * std::cos(-0.8)), 1e-6);
}

TEST(TiltAndMd, LimitsSetTheErrorAndPrint) {
  const Site site = set_site(0.8f, 0.3f);
  float az = 0, el = 0, tilt = 0, md = 0.25f;
  int err = 0;
  // tilt beyond tltmax: md is not touched and the message shows the previous value
  auto [out, msg] =
      tt::run_recorded([&](talva::Output& o) { find_tilt_md_(site, 0.0f, -1.5f, az, el, tilt, md, err, o); });
  EXPECT_EQ(err, 1);
  EXPECT_EQ(md, 0.25f);
  EXPECT_EQ(out.substr(0, 10), "tlt, f, md");
  EXPECT_EQ(out.size(), 10u + 30u + 1u);
  EXPECT_EQ(out.substr(30, 11), "     0.250\n");
  // meridian distance beyond mdmax
  std::tie(out, msg) =
      tt::run_recorded([&](talva::Output& o) { find_tilt_md_(site, 0.6f, -0.6f, az, el, tilt, md, err, o); });
  EXPECT_EQ(err, 1);
  EXPECT_NEAR(md, std::asin(-std::sin(0.6) * std::cos(0.6)), 1e-6);
  EXPECT_EQ(out, "tlt, f, md     1.646    -0.466    -0.485\n");
  // within the limits nothing is printed
  std::tie(out, msg) =
      tt::run_recorded([&](talva::Output& o) { find_tilt_md_(site, 0.1f, -0.6f, az, el, tilt, md, err, o); });
  EXPECT_EQ(err, 0);
  EXPECT_EQ(out, "");
}

TEST(MdGain, SincSquaredAndTilt) {
  EXPECT_EQ(mdgain_(0.3f, 0.7f, 2.0f, 0.7f), 1.0f);
  EXPECT_NEAR(mdgain_(0.0f, 0.5f, 1.0f, 0.0f), 0.405285f, 1e-6f);
  // symmetric about the offset, and a null at x = pi
  EXPECT_EQ(mdgain_(0.2f, 0.1f + 0.3f, 1.5f, 0.1f), mdgain_(0.2f, 0.1f - 0.3f, 1.5f, 0.1f));
  EXPECT_LT(mdgain_(0.0f, 1.0f, 1.0f, 0.0f), 1e-12f);
  // off the meridian the beam widens by 1/cos(md)
  EXPECT_GT(mdgain_(0.8f, 0.2f, 1.0f, 0.0f), mdgain_(0.0f, 0.2f, 1.0f, 0.0f));
  EXPECT_EQ(tltgain_(0.0f, 3.0f), 1.0f);
  EXPECT_NEAR(tltgain_(0.8f, 1.0f), std::exp(-1.0f), 1e-7f);
}

TEST(MdTable, BracketingMeanWithoutInterpolation) {
  const std::vector<float> table = {0.0f, 1.0f, 10.0f, 0.8f, 20.0f, 0.5f};
  float gain = -1;
  find_mdgain_(3, table, deg(5.0f), gain);
  EXPECT_FLOAT_EQ(gain, 0.9f);
  find_mdgain_(3, table, deg(15.0f), gain);
  EXPECT_FLOAT_EQ(gain, 0.65f);
  find_mdgain_(3, table, deg(-15.0f), gain);
  EXPECT_FLOAT_EQ(gain, 0.65f);
  find_mdgain_(3, table, deg(30.0f), gain);
  EXPECT_FLOAT_EQ(gain, 0.5f);
  // exactly on an entry: the first bracketing pair
  find_mdgain_(3, table, deg(10.0f), gain);
  EXPECT_TRUE(gain == 0.9f || gain == 0.65f) << gain;
  const std::vector<float> from2 = {2.0f, 0.7f, 4.0f, 0.6f};
  find_mdgain_(2, from2, deg(1.0f), gain);
  EXPECT_FLOAT_EQ(gain, 0.7f);
  // one entry at the value itself: no pair brackets it, gain left as it was
  const std::vector<float> one = {0.0f, 0.3f};
  gain = -2;
  find_mdgain_(1, one, 0.0f, gain);
  EXPECT_EQ(gain, -2.0f);
  // n beyond the table's storage does not read past it
  find_mdgain_(50, table, deg(30.0f), gain);
  EXPECT_FLOAT_EQ(gain, 0.5f);
  find_mdgain_(0, table, deg(30.0f), gain);
  EXPECT_FLOAT_EQ(gain, 0.5f);
}

TEST(MdTable, LoadingCapacityAndErrors) {
  tt::TempDir dir;
  const std::string path = dir.file("md.tbl");
  tt::write_file(path, "0 1.0\n10, 0.8 comment\n20 0.5\n30 0.3\n40 0.1\n");
  std::vector<float> table(10000, -1.0f);
  int n = -1;
  auto [out, msg] = tt::run_recorded([&](talva::Output& o) { load_mdtable_(5000, path, n, table, o); });
  EXPECT_EQ(msg, "");
  EXPECT_EQ(out, "     5  mdtable entries\n");
  EXPECT_EQ(n, 5);
  EXPECT_EQ(table[2], 10.0f);
  EXPECT_EQ(table[3], 0.8f);
  EXPECT_EQ(table[10], -1.0f);

  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_mdtable_(3, path, n, table, o); });
  EXPECT_EQ(out, "*** reached MX limit for mb_table with        3\n     3  mdtable entries\n");
  EXPECT_EQ(n, 3);
  // a capacity larger than the caller's storage is cut to the storage
  std::vector<float> small(4, -1.0f);
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_mdtable_(5000, path, n, small, o); });
  EXPECT_EQ(msg, "");
  EXPECT_EQ(n, 2);
  EXPECT_NE(out.find("reached MX limit"), std::string::npos);

  tt::write_file(path, "0 1.0\n\n20 0.5\n");
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_mdtable_(5000, path, n, table, o); });
  EXPECT_EQ(msg.rfind(path + ", line 2: ", 0), 0u) << msg;
  tt::write_file(path, "0 1.0\n5\n");
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_mdtable_(5000, path, n, table, o); });
  EXPECT_EQ(msg.rfind(path + ", line 2: ", 0), 0u) << msg;
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_mdtable_(5000, dir.file("none"), n, table, o); });
  EXPECT_NE(msg.find(dir.file("none")), std::string::npos) << msg;
}

TEST(PhaseCal, LoadsDegreesAsRadians) {
  tt::TempDir dir;
  const std::string path = dir.file("phases.cal");
  tt::write_file(path, "gainsolve run of 3C 273     \n1 90.0\n\n96, -45\n5 0 trailing\n7\n\n");
  std::vector<float> phases(96, 0.125f);
  int status = -1;
  auto [out, msg] = tt::run_recorded([&](talva::Output& o) { load_phasecal_(path, 96, phases, status, o); });
  EXPECT_EQ(msg, "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "Phase cal data derived from gainsolve run of 3C 273\n");
  EXPECT_EQ(phases[0], 90.0f / 57.29578f);
  EXPECT_EQ(phases[95], -45.0f / 57.29578f);
  EXPECT_EQ(phases[4], 0.0f);
  EXPECT_EQ(phases[6], 0.125f);  // a missing phase at the end ends the file
  EXPECT_EQ(phases[1], 0.125f);  // unlisted antennas keep the caller's value
}

TEST(PhaseCal, InvalidAntennaAndMalformedLines) {
  tt::TempDir dir;
  const std::string path = dir.file("phases.cal");
  std::vector<float> phases(96, 0.0f);
  int status = 0;
  tt::write_file(path, "title\n0 57.29578\n");
  auto [out, msg] = tt::run_recorded([&](talva::Output& o) { load_phasecal_(path, 96, phases, status, o); });
  EXPECT_EQ(msg, "Invalid ant/phs at record    0       1.0   2");
  tt::write_file(path, "title\n1 10\n97 10\n");
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_phasecal_(path, 96, phases, status, o); });
  EXPECT_EQ(msg, "Invalid ant/phs at record   97       0.2   3");
  // nmax larger than the caller's table: the table bounds it
  tt::write_file(path, "title\n11 10\n");
  std::tie(out, msg) =
      tt::run_recorded([&](talva::Output& o) { load_phasecal_(path, 96, std::span(phases).first(10), status, o); });
  EXPECT_EQ(msg.rfind("Invalid ant/phs", 0), 0u) << msg;
  tt::write_file(path, "title\n1 1x0\n2 3\n");
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_phasecal_(path, 96, phases, status, o); });
  EXPECT_EQ(msg.rfind(path + ", line 2: ", 0), 0u) << msg;
  tt::write_file(path, "title\n4\n2 3\n");
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_phasecal_(path, 96, phases, status, o); });
  EXPECT_EQ(msg.rfind(path + ", line 2: ", 0), 0u) << msg;
  tt::write_file(path, "");
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_phasecal_(path, 96, phases, status, o); });
  EXPECT_NE(msg.find(path), std::string::npos) << msg;
}
