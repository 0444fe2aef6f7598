#pragma once
// Global records shared by the converter drivers, the mode set-up and the
// mode unpackers (talva2vis3 and talva2vis).
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <ostream>

inline constexpr int kMaxElements = 360;     ///< capacity of xpos
inline constexpr int kMaxBaselines = 1440;   ///< capacity of cblen, bcode, nred
inline constexpr int kGainsCapacity = 540;   ///< antennas in the converter's gains array
inline constexpr int kPhaseCapacity = 360;   ///< antennas in the legacy phase table
inline constexpr int kListCapacity = 5000;   ///< rejection lists, MD table pairs

/// Reference wavelength, metres.
inline constexpr float kWavelength = 0.356f;
/// Degrees per radian of the programs (the single-precision 57.29578).
inline constexpr float kDegPerRad = 57.2957763671875f;
/// 2 pi as a single-precision value.
inline constexpr float kTwoPi = 6.2831855f;

/// Mode state: set up once (driver and setup_mode), read by the unpackers.
struct talva_common_t {
  double sfreq = 0;                              ///< sky frequency, GHz
  std::array<double, kMaxElements> xpos{};       ///< antenna (slot) positions, wavelengths
  std::array<double, kMaxBaselines> cblen{};     ///< compressed modes: spacing of unique baseline k
  std::array<double, kMaxBaselines> bcode{};     ///< compressed modes: 256 a + b of unique baseline k
  float md = 0;                                  ///< meridian distance of the current dump, radians
  float srcang = 0;                              ///< source angle of the simulations' sinc^2 gain
  float dx = 0;                                  ///< element spacing, wavelengths
  float unity = 0;                               ///< unit extent across the arm, wavelengths
  float ampscale = 0;                            ///< amplitude scale of the simulations
  float cosdec = 0;                              ///< cos of the J2000 phase-centre declination
  float sindec = 0;                              ///< sin of the J2000 phase-centre declination
  std::int32_t tno = 0;                          ///< open uv dataset
  std::int32_t nchan = 0;                        ///< channels per record (1)
  std::int32_t nelem = 0;                        ///< elements of the mode
  std::int32_t nbase = 0;                        ///< unique baselines of a compressed mode
  float fanstep = 0;                             ///< fan-beam phase step (talva1b)
  float dhr = 0;                                 ///< hour-angle offset of the simulated source, radians
  float ddec = 0;                                ///< declination offset of the simulated source, radians
  std::int32_t natwt = 0;                        ///< natural weighting (1 = on)
  std::array<std::int32_t, kMaxBaselines> nred{};  ///< compressed modes: weight of unique baseline k
  float noiselev = 0;                            ///< phase-noise level of talva1d
  std::int32_t seed = 0;                         ///< state of the Gaussian noise generator
};
extern talva_common_t talva_common_;

/// Debug switches of the unpackers, and the debug table they append to
/// (null when the table is not written).
struct dbg_common_t {
  bool dbgplt = false;
  std::int32_t blen = 10;
  std::ostream* table = nullptr;
};
extern dbg_common_t dbg_common_;

/// A value for the debug table: a non-finite one (a damaged archive) is
/// written as 0+0i, as the uv record is.
inline std::complex<float> debug_value(std::complex<float> z) {
  return std::isfinite(z.real()) && std::isfinite(z.imag()) ? z : std::complex<float>{};
}

/// The S matrix of the talva1a unpacker (96 x 96, column-major, see array/s_matrix.h).
struct talva1a_smatrix_t {
  std::array<std::int32_t, 96 * 96> s{};
};
extern talva1a_smatrix_t talva1a_smatrix_;

/// Gain products G(a, b) = g(a) conj(g(b)) of the talva1a unpacker (96 x 96, column-major).
struct talva1a_gainsarray_t {
  std::array<std::complex<float>, 96 * 96> g{};
};
extern talva1a_gainsarray_t talva1a_gainsarray_;
