// skyimage: the peak of a sky image (FITS, sine projection, as WSClean and
// CASA write them) and a grey-scale picture with contours, axes in
// arcminutes from the phase centre (east to the left).
//
//   skyimage in=IMAGE.fits [npeaks=N] [device=sky.png/png] [box=HALFWIDTH_ARCMIN]
//
// Prints the image size and pixel, the phase centre, and the N brightest
// local maxima (default 1), each with its value (Jy/beam) and position:
// the offsets east and north of the phase centre (arcminutes) and the J2000
// right ascension and declination. The peak is refined between pixels by a
// Gaussian through the pixel and its neighbours along each axis (exact for a
// restored point source whose beam's axes lie along the image axes).
#include <cpgplot.h>
#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "array/sky.h"
#include "miriad/key.h"
#include "picture.h"
#include "sky_format.h"
#include "tools/skyimage/image_limits.h"
#include "util/interrupt.h"
#include "util/plot_file.h"
#include "util/plotdev.h"
#include "util/stop.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadPerDeg = kPi / 180.0;
// Colour indices of the picture.
constexpr int kContourColour = 2, kNegativeColour = 4, kMarkColour = 5, kBeamColour = 15;

struct Image {
  long nx = 0, ny = 0;
  std::vector<float> pix;                     // x fastest
  double crpix[2]{}, cdelt[2]{}, crval[2]{};  // degrees
  std::string ctype[2];
  double bmaj = 0, bmin = 0, bpa = 0;  // the restoring beam, degrees (bmaj 0: none in the header)
  float at(long i, long j) const { return pix[static_cast<std::size_t>(j * nx + i)]; }
};

[[noreturn]] void fits_fail(const std::string& path, int status) {
  char text[FLEN_STATUS];
  fits_get_errstatus(status, text);
  talva::stop("skyimage: " + path + ": " + text);
}

Image read_image(const std::string& path) {
  fitsfile* f = nullptr;
  int status = 0;
  if (fits_open_image(&f, path.c_str(), READONLY, &status)) fits_fail(path, status);
  Image im;
  int naxis = 0;
  long naxes[4] = {1, 1, 1, 1};
  fits_get_img_dim(f, &naxis, &status);
  fits_get_img_size(f, 4, naxes, &status);
  if (status == 0 && (naxis < 2 || naxes[0] < 3 || naxes[1] < 3)) {
    fits_close_file(f, &status);
    talva::stop("skyimage: " + path + ": not an image of at least 3 x 3 pixels");
  }
  im.nx = naxes[0];
  im.ny = naxes[1];
  for (int a = 0; a < 2 && status == 0; ++a) {
    char key[16], value[FLEN_VALUE];
    std::snprintf(key, sizeof key, "CRPIX%d", a + 1);
    fits_read_key(f, TDOUBLE, key, &im.crpix[a], nullptr, &status);
    std::snprintf(key, sizeof key, "CDELT%d", a + 1);
    fits_read_key(f, TDOUBLE, key, &im.cdelt[a], nullptr, &status);
    std::snprintf(key, sizeof key, "CRVAL%d", a + 1);
    fits_read_key(f, TDOUBLE, key, &im.crval[a], nullptr, &status);
    std::snprintf(key, sizeof key, "CTYPE%d", a + 1);
    fits_read_key(f, TSTRING, key, value, nullptr, &status);
    if (status == 0) im.ctype[a] = value;
  }
  if (status == 0) {
    // Sizes and coordinates checked before the pixels are allocated.
    talva::skyimage::ImageHeader h;
    h.nx = im.nx;
    h.ny = im.ny;
    fits_get_img_type(f, &h.bitpix, &status);
    for (int a = 0; a < 2; ++a) h.crpix[a] = im.crpix[a], h.cdelt[a] = im.cdelt[a], h.crval[a] = im.crval[a];
    LONGLONG head = 0, data = 0, end = 0;
    fits_get_hduaddrll(f, &head, &data, &end, &status);
    std::error_code ec;
    const auto file_bytes = std::filesystem::file_size(path, ec);
    const long long data_bytes = ec || status != 0 ? -1 : static_cast<long long>(file_bytes) - data;
    const std::string problem = status == 0 ? talva::skyimage::image_header_problem(h, data_bytes) : "";
    if (!problem.empty()) {
      fits_close_file(f, &status);
      talva::stop("skyimage: " + path + ": " + problem);
    }
  }
  if (status == 0) {
    // The restoring beam, when the imager wrote it (WSClean and CASA do).
    int beam_status = 0;
    double beam[3] = {0, 0, 0};
    const char* beam_key[3] = {"BMAJ", "BMIN", "BPA"};
    bool beam_given = true;
    for (int k = 0; k < 3 && beam_given; ++k) {
      fits_read_key(f, TDOUBLE, beam_key[k], &beam[k], nullptr, &beam_status);
      beam_given = beam_status == 0;
    }
    if (beam_given) {
      if (const std::string problem = talva::skyimage::beam_problem(beam[0], beam[1], beam[2]); !problem.empty()) {
        fits_close_file(f, &status);
        talva::stop("skyimage: " + path + ": " + problem);
      }
      im.bmaj = beam[0], im.bmin = beam[1], im.bpa = beam[2];
    }
  }
  if (status == 0) {
    im.pix.resize(static_cast<std::size_t>(im.nx * im.ny));
    long first[4] = {1, 1, 1, 1};
    int anynul = 0;
    float nul = 0.0f;
    fits_read_pix(f, TFLOAT, first, im.nx * im.ny, &nul, im.pix.data(), &anynul, &status);
  }
  if (status != 0) fits_fail(path, status);
  fits_close_file(f, &status);
  if (im.ctype[0].rfind("RA---SIN", 0) != 0 || im.ctype[1].rfind("DEC--SIN", 0) != 0)
    talva::stop("skyimage: " + path + ": the axes are " + im.ctype[0] + ", " + im.ctype[1] +
                "; RA---SIN and DEC--SIN are needed");
  for (float& v : im.pix)
    if (!std::isfinite(v)) v = 0.0f;
  return im;
}

// Offset (pixels) and height of the extremum through (-1, a), (0, b), (1, c):
// a Gaussian when all three are positive, else a parabola.
void refine(double a, double b, double c, double& offset, double& peak) {
  offset = 0.0;
  peak = b;
  if (a > 0 && b > 0 && c > 0) {
    a = std::log(a), b = std::log(b), c = std::log(c);
    const double d = a - 2 * b + c;
    if (d < 0) {
      offset = std::clamp(0.5 * (a - c) / d, -0.5, 0.5);
      peak = std::exp(b - 0.25 * (a - c) * offset);
    }
  } else {
    const double d = a - 2 * b + c;
    if (d < 0) {
      offset = std::clamp(0.5 * (a - c) / d, -0.5, 0.5);
      peak = b - 0.25 * (a - c) * offset;
    }
  }
}

// The picture: grey scale (logarithmic, white at -rms, black at the peak),
// contours from 3 rms, every listed peak marked with its number, the
// restoring beam in the lower left corner, a wedge with the grey scale's
// values in Jy/beam, axes in arcminutes from the phase centre.
void draw(const Image& im, const std::string& path, const std::string& device, double box,
          const std::vector<std::pair<double, double>>& marks, double rms) {
  // Plot coordinates: x = arcminutes west, y = arcminutes north of the
  // reference pixel, so that east lies to the left; the x labels name the
  // east offsets. Pixel (i, j), 1-based, lies at (-(i - crpix1) cdelt1, (j - crpix2) cdelt2).
  const float sx = static_cast<float>(-im.cdelt[0] * 60.0), sy = static_cast<float>(im.cdelt[1] * 60.0);
  const float t[6] = {static_cast<float>(-im.crpix[0]) * sx, sx, 0.0f, static_cast<float>(-im.crpix[1]) * sy, 0.0f, sy};
  float hx = static_cast<float>(std::abs(sx) * static_cast<float>(im.nx) / 2.0f);
  float hy = static_cast<float>(std::abs(sy) * static_cast<float>(im.ny) / 2.0f);
  if (box > 0) hx = std::min(hx, static_cast<float>(box)), hy = std::min(hy, static_cast<float>(box));
  const auto [mn, mx] = std::minmax_element(im.pix.begin(), im.pix.end());
  const talva::skyimage::GreyScale grey = talva::skyimage::grey_scale(rms, *mx, *mn, *mx);
  const talva::skyimage::Contours contours = talva::skyimage::contour_levels(rms, *mx);
  // A picture file is drawn aside and replaces an earlier one when complete.
  if (const std::string warning = talva::no_display_warning(device); !warning.empty()) {
    std::printf("%s\n", warning.c_str());
    return;
  }
  std::string problem;
  talva::PlotFiles files(device, problem);
  if (files.device().empty() || cpgbeg(0, files.device().c_str(), 1, 1) != 1) {
    std::printf(" Warning: cannot open plot device %s%s; no picture\n", device.c_str(),
                problem.empty() ? "" : (" (" + problem + ")").c_str());
    return;
  }
  cpgscr(0, 1.0f, 1.0f, 1.0f);  // white paper, black ink
  cpgscr(1, 0.0f, 0.0f, 0.0f);
  cpgscr(kContourColour, 0.85f, 0.1f, 0.1f);
  cpgscr(kNegativeColour, 0.1f, 0.3f, 0.9f);
  cpgscr(kMarkColour, 0.0f, 0.55f, 0.85f);
  cpgscr(kBeamColour, 0.55f, 0.55f, 0.55f);
  cpgpage();
  cpgeras();
  cpgsvp(0.09f, 0.80f, 0.11f, 0.86f);
  cpgwnad(-hx, hx, -hy, hy);  // equal scales
  // Grey scale: the pixels turned into grey levels 0 (white) .. 1 (black),
  // handed over as 1 - level from 0 (the ink, colour 1) to 1 (the paper,
  // colour 0): the plot library draws a grey scale whose ink value lies
  // below its paper value.
  const int nx = static_cast<int>(im.nx), ny = static_cast<int>(im.ny);
  std::vector<float> level(im.pix.size());
  std::transform(im.pix.begin(), im.pix.end(), level.begin(), [&](float v) { return 1.0f - grey.level(v); });
  cpggray(level.data(), nx, ny, 1, nx, 1, ny, 0.0f, 1.0f, t);
  std::vector<float> pos(contours.levels.begin(), contours.levels.end());
  cpgsci(kContourColour);
  cpgcont(im.pix.data(), nx, ny, 1, nx, 1, ny, pos.data(), static_cast<int>(pos.size()), t);
  if (contours.negative != 0.0) {
    const float neg[1] = {static_cast<float>(contours.negative)};
    cpgsci(kNegativeColour);
    cpgsls(2);
    cpgcont(im.pix.data(), nx, ny, 1, nx, 1, ny, neg, 1, t);
    cpgsls(1);
  }
  // Every listed peak: a circle around it (of twice the beam, at least 5 % of
  // the picture's half-width; without a beam 10 %) and its number (the
  // order printed) at its upper left.
  const double ring = im.bmaj > 0.0 ? std::max(2.0 * im.bmaj * 60.0, 0.05 * hx) : 0.1 * hx;
  cpgsci(kMarkColour);
  cpgslw(2);
  for (std::size_t k = 0; k < marks.size(); ++k) {
    const double x = -marks[k].first, y = marks[k].second;
    if (std::abs(x) > hx || std::abs(y) > hy) continue;
    std::vector<float> cx, cy;
    for (const auto& [e, n] : talva::skyimage::beam_ellipse(2.0 * ring, 2.0 * ring, 0.0, -x, y)) {
      cx.push_back(static_cast<float>(-e));
      cy.push_back(static_cast<float>(n));
    }
    cpgline(static_cast<int>(cx.size()), cx.data(), cy.data());
    cpgptxt(static_cast<float>(x - 0.75 * ring), static_cast<float>(y + 0.75 * ring), 0.0f, 1.0f,
            std::to_string(k + 1).c_str());
  }
  cpgslw(1);
  // The restoring beam in the lower left corner (east is to the left), in
  // a box of its own.
  if (im.bmaj > 0.0) {
    const double a = im.bmaj * 60.0, b = im.bmin * 60.0, r = 0.5 * std::max(a, b);
    const double pad = std::max(0.5 * r, 0.015 * hx), side = 2.0 * (r + pad);
    const float bx1 = -hx, bx2 = static_cast<float>(-hx + side), by1 = -hy, by2 = static_cast<float>(-hy + side);
    cpgsci(0);
    cpgsfs(1);
    cpgrect(bx1, bx2, by1, by2);
    cpgsci(1);
    cpgsfs(2);
    cpgrect(bx1, bx2, by1, by2);
    const auto pts = talva::skyimage::beam_ellipse(a, b, im.bpa, hx - side / 2.0, -hy + side / 2.0);
    std::vector<float> ex, ey;
    for (const auto& [e, n] : pts) ex.push_back(static_cast<float>(-e)), ey.push_back(static_cast<float>(n));
    cpgsci(kBeamColour);
    cpgsfs(1);
    cpgpoly(static_cast<int>(ex.size()), ex.data(), ey.data());
    cpgsci(1);
    cpgline(static_cast<int>(ex.size()), ex.data(), ey.data());
  }
  cpgsci(1);
  // x axis: ticks without numbers, then the east offsets written at the ticks.
  float step = 1.0f;
  for (float s : {1.0f, 2.0f, 5.0f, 10.0f, 20.0f, 50.0f, 100.0f, 200.0f, 500.0f, 1000.0f, 2000.0f})
    if (2.0f * hx / s <= 8.0f) {
      step = s;
      break;
    }
  cpgbox("BCST", step, 5, "BCNSTV", 0.0f, 0);  // y numbers upright: clear of the x numbers
  // at most 2 hx / step + 1 <= 9 labels: the header check keeps hx below 1 radian
  for (float x = -std::floor(hx / step) * step; x <= hx; x += step) {
    char label[16];
    std::snprintf(label, sizeof label, "%g", static_cast<double>(x == 0.0f ? 0.0f : -x));
    cpgmtxt("B", 1.2f, (x + hx) / (2.0f * hx), 0.5f, label);
  }
  cpglab("offset east (arcmin)", "offset north (arcmin)", "");
  cpgmtxt("T", 2.0f, 0.5f, 0.5f, std::filesystem::path(path).filename().c_str());
  cpgsch(0.8f);
  const std::string caption =
      talva::skyimage::picture_caption(contours, rms, im.bmaj * 3600.0, im.bmin * 3600.0, im.bpa);
  cpgmtxt("T", 0.8f, 0.5f, 0.5f, caption.c_str());
  // The wedge, right of the picture: the grey levels with their values.
  float vx1 = 0, vx2 = 0, vy1 = 0, vy2 = 0;
  cpgqvp(0, &vx1, &vx2, &vy1, &vy2);
  cpgsvp(vx2 + 0.02f, vx2 + 0.05f, vy1, vy2);
  cpgswin(0.0f, 1.0f, 0.0f, 1.0f);
  constexpr int kSteps = 256;
  std::vector<float> ramp(2 * kSteps);
  for (int k = 0; k < kSteps; ++k) ramp[2 * k] = ramp[2 * k + 1] = 1.0f - static_cast<float>(k) / (kSteps - 1);
  const float tw[6] = {-0.5f, 1.0f, 0.0f, -0.5f / (kSteps - 1), 0.0f, 1.0f / (kSteps - 1)};
  cpggray(ramp.data(), 2, kSteps, 1, 2, 1, kSteps, 0.0f, 1.0f, tw);
  cpgbox("BC", 0.0f, 0, "BC", 0.0f, 0);
  for (const talva::skyimage::WedgeTick& tick : talva::skyimage::wedge_ticks(grey)) {
    const float xs[2] = {0.7f, 1.0f}, ys[2] = {tick.position, tick.position};
    cpgline(2, xs, ys);
    cpgmtxt("RV", 0.6f, tick.position, 0.0f, tick.label.c_str());
  }
  cpgsch(1.0f);
  cpgmtxt("R", 4.2f, 0.5f, 0.5f, "Jy/beam");
  cpgend();
  if (!files.publish(problem)) std::printf(" Warning: %s; the earlier picture is kept\n", problem.c_str());
}

struct Peak {
  double value = 0;            // Jy/beam
  double east = 0, north = 0;  // arcminutes from the phase centre
  talva::sky::Place at;        // J2000
};

// The peak at the local maximum (bi, bj), refined between the pixels.
Peak measure(const Image& im, long bi, long bj) {
  double dx = 0, dy = 0, hx = im.at(bi, bj), hy = hx;
  if (bi > 0 && bi + 1 < im.nx) refine(im.at(bi - 1, bj), im.at(bi, bj), im.at(bi + 1, bj), dx, hx);
  if (bj > 0 && bj + 1 < im.ny) refine(im.at(bi, bj - 1), im.at(bi, bj), im.at(bi, bj + 1), dy, hy);
  Peak p;
  // Separable refinement: the height along x times the gain along y.
  p.value = im.at(bi, bj) != 0 ? hx * hy / im.at(bi, bj) : 0.0;
  // FITS pixels count from 1; (pixel - crpix) * cdelt is the direction cosine in degrees.
  const double l = (static_cast<double>(bi) + 1.0 + dx - im.crpix[0]) * im.cdelt[0] * kRadPerDeg;
  const double m = (static_cast<double>(bj) + 1.0 + dy - im.crpix[1]) * im.cdelt[1] * kRadPerDeg;
  p.at = talva::sky::offset_position(l, m, im.crval[0] * kRadPerDeg, im.crval[1] * kRadPerDeg);
  p.east = l / kRadPerDeg * 60.0;
  p.north = m / kRadPerDeg * 60.0;
  return p;
}

// Local maxima (the largest value within 4 pixels), brightest first, at most n.
std::vector<Peak> peaks(const Image& im, int n) {
  constexpr long r = 4;
  std::vector<std::pair<float, std::pair<long, long>>> found;
  for (long j = 0; j < im.ny; ++j)
    for (long i = 0; i < im.nx; ++i) {
      const float v = im.at(i, j);
      if (!(v > 0.0f)) continue;
      bool top = true;
      for (long y = std::max(0L, j - r); top && y <= std::min(im.ny - 1, j + r); ++y)
        for (long x = std::max(0L, i - r); x <= std::min(im.nx - 1, i + r); ++x)
          if (im.at(x, y) > v || (im.at(x, y) == v && (y < j || (y == j && x < i)))) {
            top = false;
            break;
          }
      if (top) found.push_back({v, {i, j}});
    }
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<Peak> out;
  for (const auto& f : found) {
    if (static_cast<int>(out.size()) >= n) break;
    out.push_back(measure(im, f.second.first, f.second.second));
  }
  return out;
}

// The rms of the image off the sources: every pixel farther than
// kSourceRadius pixels from each listed peak (calibration errors stay in).
constexpr double kSourceRadius = 10.0;
double rms_off_sources(const Image& im, const std::vector<Peak>& list) {
  double sum = 0.0;
  long n = 0;
  for (long j = 0; j < im.ny; ++j)
    for (long i = 0; i < im.nx; ++i) {
      bool near = false;
      for (const Peak& p : list) {
        // the peak's pixel from its offsets (direction cosines, degrees per pixel)
        const double pi = p.east / 60.0 / im.cdelt[0] + im.crpix[0] - 1.0;
        const double pj = p.north / 60.0 / im.cdelt[1] + im.crpix[1] - 1.0;
        if (std::hypot(static_cast<double>(i) - pi, static_cast<double>(j) - pj) <= kSourceRadius) near = true;
      }
      const double v = im.at(i, j);
      if (near || !std::isfinite(v)) continue;
      sum += v * v;
      ++n;
    }
  return n > 0 ? std::sqrt(sum / static_cast<double>(n)) : 0.0;
}

}  // namespace

int main(int argc, char** argv) {
  return talva::run_main([&] {
    std::string in, device;
    double box = 0;
    int npeaks = 1;
    talva::miriad::keyini(
        argc, argv,
        "prints the brightest peaks of a FITS sky image and draws it in grey scale with contours, axes "
        "in arcminutes from the phase centre",
        "in=sky-image.fits npeaks=2 device=sky.png/png box=30");
    talva::miriad::keya("in", in, "", talva::miriad::required("the FITS image"));
    talva::miriad::keya("device", device, "", "plot device: NAME.png/png, NAME.ps/ps; none: no picture");
    talva::miriad::keyd("box", box, 0.0, "half-width of the picture, arcminutes (0: the whole image)");
    talva::miriad::keyi("npeaks", npeaks, 1, "number of peaks to print");
    talva::miriad::keyfin();
    if (npeaks < 1) talva::stop("skyimage: npeaks must be 1 or more");
    if (const auto picture = talva::plot_file_name(device)) {
      // A picture named as the image is refused before any work.
      talva::OutputSet names;
      names.input(in);
      names.claim(*picture, talva::Claim::IfPossible);
    }
    const Image im = read_image(in);
    talva::stop_if_interrupted();
    std::printf("image %ld x %ld pixels of %.2f\" x %.2f\"\n", im.nx, im.ny, std::abs(im.cdelt[0]) * 3600.0,
                std::abs(im.cdelt[1]) * 3600.0);
    std::printf("phase centre J2000  RA %s  Dec %s\n", talva::skyimage::format_ra(im.crval[0] * kRadPerDeg).c_str(),
                talva::skyimage::format_dec(im.crval[1] * kRadPerDeg).c_str());
    const std::vector<Peak> list = peaks(im, npeaks);
    if (list.empty()) std::printf("no positive peak\n");
    for (const Peak& p : list)
      std::printf("peak %9.4f Jy/beam at %s' east %s' north: J2000  RA %s  Dec %s\n", p.value,
                  talva::skyimage::format_offset(p.east).c_str(), talva::skyimage::format_offset(p.north).c_str(),
                  talva::skyimage::format_ra(p.at.ra).c_str(), talva::skyimage::format_dec(p.at.dec).c_str());
    // The noise: off the listed sources (sidelobes and calibration errors
    // included); without a source, that of the whole image.
    const double rms = list.empty() ? talva::skyimage::robust_rms(im.pix) : rms_off_sources(im, list);
    if (!list.empty()) {
      std::printf("rms %9.5f Jy/beam off the sources (beyond %.0f pixels of each peak); dynamic range %.1f\n", rms,
                  kSourceRadius, rms > 0 ? list[0].value / rms : 0.0);
    }
    if (!device.empty()) {
      std::vector<std::pair<double, double>> marks;
      for (const Peak& p : list) marks.emplace_back(p.east, p.north);
      draw(im, in, device, box, marks, rms);
    }
    return 0;
  });
}
