#pragma once
// Mode set-up and data unpackers of the legacy converter talva2vis. The
// simulation unpackers and talva_common_ are talva2vis3's.
//
// The data unpackers correct each correlation by the phase difference of
// its antennas (radians) and average without gain weighting. On the first
// call they build, per spacing and in the order of the pair loops, the list
// of usable pairs; every call then sums in that order.
#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "programs/talva2vis3/driver.h"
#include "programs/talva2vis3/unpackers.h"

namespace legacy {

/// As talva2vis3's setup_mode, but prints nothing, and talva1a antennas run
/// from the far end of the negative arm (1) through its inner end (48) and
/// the inner end of the positive arm (49) to its far end (96).
void setup_mode(std::string_view mode, float unitx, int& nunit, int& nants, float cgap, int& imode);

/// Pair lists of one legacy data unpacker, built on its first call.
struct PairPlan {
  struct Pair {
    std::int32_t index;  ///< product index
    std::int32_t i, j;   ///< antennas
  };
  bool built = false;
  std::vector<Pair> pairs;
  std::vector<std::size_t> start;  ///< spacing s: pairs[start[s-1] .. start[s])
};

/// Legacy talva1a: 43 within-arm spacings (baselines 67586 .. 67628), then
/// 44 cross-gap spacings (67633 .. 67676); one record each, 0+0i when no
/// pair is left; v = -sin H sindec L.
void mode_talva1a(PairPlan& plan, float ha, double time, const DumpData& d, std::span<const float> phases,
                  std::int32_t& nrec, std::int32_t np);

/// Legacy orvex: 88 spacings as in talva2vis3, the phase-corrected mean
/// multiplied by mdg; v = +sin H sindec D.
void mode_orvex(PairPlan& plan, float ha, double time, const DumpData& d, std::span<const float> phases,
                std::int32_t& nrec, std::int32_t np, float mdg);

/// talva2vis's modes for the shared driver.
class LegacyModes final : public ConverterModes {
 public:
  void setup_mode(std::string_view mode, float unitx, int& nunit, int& nants, float cgap, int& imode) override;
  void talva1a(float ha, double time, const DumpData& d, const Calibration& cal, std::int32_t& nrec, std::int32_t np,
               float mdg) override;
  void orvex(float ha, double time, const DumpData& d, const Calibration& cal, std::int32_t& nrec, std::int32_t np,
             float mdg) override;

 private:
  PairPlan talva1a_plan_, orvex_plan_;
};

}  // namespace legacy
