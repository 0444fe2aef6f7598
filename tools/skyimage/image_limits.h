#pragma once
// What skyimage accepts of a FITS image header, checked before any pixel is
// allocated or drawn: a header of a few kilobytes may claim any size, and a
// huge pixel size would make the picture's axes endless.
#include <cmath>
#include <cstdint>
#include <string>

namespace talva::skyimage {

/// Pixels along one axis, and in the plane read (64 Mi floats: 256 MB).
inline constexpr long kMaxAxisPixels = 16384;
inline constexpr std::int64_t kMaxPlanePixels = std::int64_t{1} << 26;

/// The header values skyimage uses; angles in degrees.
struct ImageHeader {
  long nx = 0, ny = 0;
  int bitpix = -32;  ///< bits per pixel (negative: floating point)
  double crpix[2]{}, cdelt[2]{}, crval[2]{};
};

/// Empty when the header describes an image skyimage can read and draw in
/// bounded time; else what is wrong ("NAXIS1 = 2147483647 pixels: at most
/// 16384"). `data_bytes`: the bytes of the file after the header (-1: unknown).
inline std::string image_header_problem(const ImageHeader& h, long long data_bytes) {
  const char* axis_name[2] = {"1", "2"};
  const long n[2] = {h.nx, h.ny};
  for (int a = 0; a < 2; ++a) {
    if (n[a] < 3 || n[a] > kMaxAxisPixels)
      return "NAXIS" + std::string(axis_name[a]) + " = " + std::to_string(n[a]) + " pixels: 3 to " +
             std::to_string(kMaxAxisPixels) + " are read";
  }
  const std::int64_t plane = std::int64_t{h.nx} * h.ny;
  if (plane > kMaxPlanePixels)
    return std::to_string(h.nx) + " x " + std::to_string(h.ny) + " pixels: at most " + std::to_string(kMaxPlanePixels) +
           " are read";
  const int bytes_per_pixel = std::abs(h.bitpix) / 8;
  if (bytes_per_pixel == 0) return "BITPIX = " + std::to_string(h.bitpix) + " is no FITS pixel type";
  if (data_bytes >= 0 && plane * bytes_per_pixel > data_bytes)
    return "the header claims " + std::to_string(plane * bytes_per_pixel) + " bytes of pixels, the file holds " +
           std::to_string(data_bytes);
  for (int a = 0; a < 2; ++a) {
    const std::string k = axis_name[a];
    if (!std::isfinite(h.crpix[a]) || std::abs(h.crpix[a]) > 1e6)
      return "CRPIX" + k + " = " + std::to_string(h.crpix[a]) + " is not a pixel position";
    if (!std::isfinite(h.cdelt[a]) || h.cdelt[a] == 0.0)
      return "CDELT" + k + " = " + std::to_string(h.cdelt[a]) + " is no pixel size";
    // A sine projection holds direction cosines up to 1: both image edges
    // must lie within the unit circle.
    for (double edge : {0.5, static_cast<double>(n[a]) + 0.5}) {
      const double cosine = (edge - h.crpix[a]) * h.cdelt[a] * (3.14159265358979323846 / 180.0);
      if (!(std::abs(cosine) <= 1.0))
        return "CDELT" + k + " = " + std::to_string(h.cdelt[a]) + " degrees with CRPIX" + k + " = " +
               std::to_string(h.crpix[a]) + " puts the image edge beyond the sky (direction cosine " +
               std::to_string(cosine) + ")";
    }
  }
  if (!std::isfinite(h.crval[0]) || h.crval[0] < -360.0 || h.crval[0] > 360.0)
    return "CRVAL1 = " + std::to_string(h.crval[0]) + " is no right ascension in degrees";
  if (!std::isfinite(h.crval[1]) || h.crval[1] < -90.0 || h.crval[1] > 90.0)
    return "CRVAL2 = " + std::to_string(h.crval[1]) + " is no declination in degrees";
  return "";
}

/// Empty when BMAJ, BMIN (full widths) and BPA (position angle), all in
/// degrees, describe a beam that can be drawn; else what is wrong.
inline std::string beam_problem(double bmaj, double bmin, double bpa) {
  const double value[3] = {bmaj, bmin, bpa};
  const char* name[3] = {"BMAJ", "BMIN", "BPA"};
  for (int k = 0; k < 2; ++k)
    if (!std::isfinite(value[k]) || value[k] <= 0.0 || value[k] > 90.0)
      return std::string(name[k]) + " = " + std::to_string(value[k]) + " is no beam width (0 to 90 degrees)";
  if (!std::isfinite(bpa) || std::abs(bpa) > 360.0)
    return "BPA = " + std::to_string(bpa) + " is no position angle (-360 to 360 degrees)";
  return "";
}

}  // namespace talva::skyimage
