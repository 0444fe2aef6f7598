#pragma once
// How skyimage draws a sky image, as numbers: the noise of the image, the
// grey scale's range and stretch, the contour levels, the restoring beam's
// outline and the labels of the grey-scale wedge. The drawing itself
// (skyimage.cpp) only hands these to the plot library.
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace talva::skyimage {

/// The noise of an image: 1.4826 times the median absolute deviation from
/// the median of the finite pixels (the rms of Gaussian noise, hardly moved
/// by the few pixels of compact sources); 0 for no finite pixel.
double robust_rms(std::span<const float> pixels);

/// A logarithmic grey scale from `lo` (white) to `hi` (black):
/// level(v) = log(1 + a x) / log(1 + a), x = (v - lo) / (hi - lo) clipped to
/// 0..1, so that a source a few times the noise is a light grey while the
/// peak is black.
struct GreyScale {
  double lo = 0.0, hi = 1.0;
  double a = 100.0;  ///< the stretch: about the dynamic range
  /// 0 (white) .. 1 (black).
  float level(double v) const;
};

/// The grey scale for an image of noise `rms` and brightest pixel `peak`:
/// from -rms to the peak, the stretch the peak's signal-to-noise ratio
/// (kept within 10 .. 10000). Without noise (rms 0) or without a positive
/// peak a fixed stretch of 100 over the image's range [min, max].
GreyScale grey_scale(double rms, double peak, double min, double max);

/// Contour levels of an image: positive levels from 3 rms (a tenth of the
/// peak when there is no noise or the peak is below 3 rms) up to below the
/// peak, each `factor` times the last, the factor the smallest power of 2
/// that keeps at most kMaxContours levels; `negative` is -3 rms (0: none).
struct Contours {
  std::vector<double> levels;
  double factor = 2.0;
  double base = 0.0;      ///< the lowest level
  double negative = 0.0;  ///< 0: no negative contour
};
inline constexpr int kMaxContours = 5;
Contours contour_levels(double rms, double peak);

/// The outline of the restoring beam of full widths `bmaj` and `bmin` at
/// position angle `bpa_deg` (north through east) around (east, north):
/// `n` points (east, north) in the units of bmaj, the first repeated last.
std::vector<std::pair<double, double>> beam_ellipse(double bmaj, double bmin, double bpa_deg, double east, double north,
                                                    int n = 64);

/// A labelled tick of the grey-scale wedge: `value` (Jy/beam) at `position`
/// 0..1 along the wedge (its grey level).
struct WedgeTick {
  double value = 0.0;
  float position = 0.0f;
  std::string label;
};
/// Round values (0 and 1, 2, 5 times powers of ten) within the scale's
/// range, at least `min_gap` apart along the wedge.
std::vector<WedgeTick> wedge_ticks(const GreyScale& g, float min_gap = 0.07f);

/// The picture's caption: the contour levels in units of the base and the
/// rms, and the beam (arcseconds; none when bmaj is 0).
std::string picture_caption(const Contours& c, double rms, double bmaj_arcsec, double bmin_arcsec, double bpa_deg);

}  // namespace talva::skyimage
