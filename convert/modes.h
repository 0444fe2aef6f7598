#pragma once
// Correlator modes: recognising the mode name, laying out the antenna
// positions and the unique-baseline table of the compressed modes.
// Lengths are in wavelengths.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "miriad/baseline.h"
#include "util/output.h"

namespace talva::convert {

inline constexpr int kMaxElements = 360;    ///< capacity of xpos
inline constexpr int kMaxBaselines = 1440;  ///< capacity of cblen, bcode, nred
inline constexpr int kGainsCapacity = 540;  ///< antennas in the converter's gains array
inline constexpr int kPhaseCapacity = 360;  ///< antennas in the legacy phase table
inline constexpr int kListCapacity = 5000;  ///< rejection lists, MD table pairs

/// Mode numbers (imode).
enum ModeNumber : int {
  kNoMode = 0,
  kTalva1a = 1,
  kTalva1b = 2,
  kTalva1c = 3,
  kTalva1d = 4,
  kTalva2a = 5,
  kTalva2b = 6,
  kTalva3a = 7,
  kTalva3b = 8,
  kOrvex = 9,
};

/// Whether imode is one of the two data modes (talva1a, orvex); the others simulate.
inline bool is_data_mode(int imode) { return imode == kTalva1a || imode == kOrvex; }

/// The element layout of a mode, as the mode set-up leaves it.
struct ModeLayout {
  int imode = kNoMode;
  int nunit = 0;                              ///< units (orvex, talva1a: set to their size)
  int nants = 0;                              ///< antenna count of the dataset
  std::int32_t nelem = 0;                     ///< elements of the mode
  std::int32_t nbase = 0;                     ///< unique baselines of a compressed mode
  float dx = 0;                               ///< element spacing, wavelengths
  float fanstep = 0;                          ///< fan-beam phase step (talva1b)
  std::array<double, kMaxElements> xpos{};    ///< element k at [k-1], wavelengths
  std::array<double, kMaxBaselines> cblen{};  ///< compressed modes: spacing of unique baseline k
  std::array<talva::miriad::Baseline, kMaxBaselines>
      bcode{};                                     ///< compressed modes: pseudo-pair of unique baseline k (256 a + b)
  std::array<std::int32_t, kMaxBaselines> nred{};  ///< compressed modes: weight of unique baseline k

  /// Position of element k (1-based).
  double x(int k) const { return xpos[static_cast<std::size_t>(k - 1)]; }
};

/// The mode value as the 20-character text the set-up works on (cut or blank-padded).
std::string mode_text20(std::string_view mode);

/// Mode number of the first name (in the order orvex, talva1a .. talva3b)
/// found as a substring of `mode`; kNoMode when none is.
int find_mode(std::string_view mode);

/// Name of a mode number ("?" for none).
const char* mode_name(int imode);

/// Lays out mode `imode` for `nunit` units: xpos, dx, nelem, nants, and per
/// mode fanstep, nbase, cblen, bcode, nred (natural weights with `natwt`).
/// A nunit that is negative or needs more elements or unique baselines than
/// the tables hold stops the program with a message.
ModeLayout lay_out_mode(int imode, float unitx, int nunit, float cgap, bool natwt);

/// Prints the antenna index: the antennas of the mode in ascending position.
void print_antenna_index(const ModeLayout& layout, talva::Output& out);

/// Mode set-up of talva2vis3: recognises `mode` (an unknown one stops the
/// program with "unknown mode -: <mode>"), lays the mode out, prints
/// "talva1a++" and the positions for talva1a, then the antenna index.
ModeLayout setup_mode(std::string_view mode, float unitx, int nunit, float cgap, bool natwt, talva::Output& out);

}  // namespace talva::convert
