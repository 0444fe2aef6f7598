// skyimage's check of a FITS header before any pixel is allocated or drawn.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tools/skyimage/image_limits.h"

using talva::skyimage::image_header_problem;
using talva::skyimage::ImageHeader;

namespace {

// A sound 512 x 512 image of 10" pixels at RA 180, Dec -45.
ImageHeader sound() {
  ImageHeader h;
  h.nx = h.ny = 512;
  h.crpix[0] = h.crpix[1] = 257;
  h.cdelt[0] = -10.0 / 3600.0;
  h.cdelt[1] = 10.0 / 3600.0;
  h.crval[0] = 180.0;
  h.crval[1] = -45.0;
  return h;
}

}  // namespace

TEST(SkyimageHeader, RefusedBeforeAllocationWithTheReason) {
  struct Row {
    const char* name;
    void (*change)(ImageHeader&);
    long long data_bytes;
    const char* problem;  ///< part of the message; "" for a sound header
  };
  const Row rows[] = {
      {"sound", [](ImageHeader&) {}, 512 * 512 * 4, ""},
      {"size unknown", [](ImageHeader&) {}, -1, ""},
      {"2147483647 squared", [](ImageHeader& h) { h.nx = h.ny = 2147483647; }, 2880, "NAXIS1 = 2147483647 pixels"},
      {"one axis too long", [](ImageHeader& h) { h.ny = 16385; }, -1, "NAXIS2 = 16385 pixels: 3 to 16384"},
      {"plane too large", [](ImageHeader& h) { h.nx = h.ny = 16384; }, -1, "at most 67108864"},
      {"2 x 3", [](ImageHeader& h) { h.nx = 2; }, -1, "NAXIS1 = 2 pixels"},
      {"file shorter than the pixels", [](ImageHeader&) {}, 512 * 512 * 4 - 1, "claims 1048576 bytes"},
      {"doubles in a float-sized file", [](ImageHeader& h) { h.bitpix = -64; }, 512 * 512 * 4, "claims 2097152"},
      {"bitpix 0", [](ImageHeader& h) { h.bitpix = 0; }, -1, "BITPIX = 0"},
      {"zero pixel size", [](ImageHeader& h) { h.cdelt[1] = 0; }, -1, "CDELT2 = 0.000000 is no pixel size"},
      {"huge pixel size", [](ImageHeader& h) { h.cdelt[0] = 1e10; }, -1, "beyond the sky"},
      {"edge just beyond the sky", [](ImageHeader& h) { h.cdelt[0] = 0.23; }, -1, "beyond the sky"},  // 256.5 px
      {"NaN reference pixel", [](ImageHeader& h) { h.crpix[0] = std::nan(""); }, -1, "CRPIX1"},
      {"reference pixel far away", [](ImageHeader& h) { h.crpix[1] = 2e6; }, -1, "CRPIX2"},
      {"declination 91", [](ImageHeader& h) { h.crval[1] = 91; }, -1, "CRVAL2"},
      {"infinite RA", [](ImageHeader& h) { h.crval[0] = INFINITY; }, -1, "CRVAL1"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ImageHeader h = sound();
    r.change(h);
    const std::string p = image_header_problem(h, r.data_bytes);
    if (std::string(r.problem).empty()) {
      EXPECT_EQ(p, "");
    } else {
      EXPECT_NE(p.find(r.problem), std::string::npos) << p;
    }
  }
}

// The restoring beam (BMAJ, BMIN, BPA in degrees) is drawn only when it is
// one: widths above 0 and at most 90 degrees, a finite position angle.
TEST(SkyimageHeader, BeamRefusedWhenItCannotBeDrawn) {
  struct Row {
    double bmaj, bmin, bpa;
    const char* starts;  // "" when accepted
  };
  const double nan = std::nan("");
  const Row rows[] = {
      {0.0167, 0.0086, 4.0, ""},     {1.0, 1.0, -180.0, ""},      {0.0, 0.01, 0.0, "BMAJ = "},
      {-0.01, 0.01, 0.0, "BMAJ = "}, {nan, 0.01, 0.0, "BMAJ = "}, {1e30, 0.01, 0.0, "BMAJ = "},
      {0.01, 0.0, 0.0, "BMIN = "},   {0.01, 0.01, nan, "BPA = "}, {0.01, 0.01, 1e9, "BPA = "},
  };
  for (const Row& r : rows) {
    const std::string problem = talva::skyimage::beam_problem(r.bmaj, r.bmin, r.bpa);
    EXPECT_EQ(problem.rfind(r.starts, 0), 0u) << problem;
    EXPECT_EQ(problem.empty(), std::string(r.starts).empty()) << problem;
  }
}
