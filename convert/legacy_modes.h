#pragma once
// Mode set-up and data unpackers of the legacy converter talva2vis. The
// simulation unpackers are talva2vis3's.
//
// The data unpackers correct each correlation by the phase difference of
// its antennas (radians) and average without gain weighting. On the first
// dump they build, per spacing and in the order of the pair loops, the list
// of usable pairs with their rotations (the phase table holds for the run);
// every dump then sums in that order. With a gains table (gnstable=) the
// list is built anew every dump from the phases of the gains interpolated to
// its time, without the antennas and pairs the table flags; the gains'
// amplitudes are never applied. When the run asks for them (the debug
// table), each record carries the pairs it averages.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "calib/cx2amp.h"
#include "convert/driver.h"
#include "convert/gains.h"
#include "convert/spacing_sums.h"
#include "convert/unpackers.h"

namespace talva::convert::legacy {

/// As talva2vis3's setup_mode, but prints nothing, and talva1a antennas run
/// from the far end of the negative arm (1) through its inner end (48) and
/// the inner end of the positive arm (49) to its far end (96).
ModeLayout setup_mode(std::string_view mode, float unitx, int nunit, float cgap, bool natwt);

/// Pair lists of one legacy data unpacker, with the phases of the dump.
struct PairPlan {
  struct Pair {
    std::int32_t index;               ///< product index
    std::int32_t i, j;                ///< antennas
    float phase_i, phase_j;           ///< their phase corrections, radians
    talva::calib::Rotation rotation;  ///< by phase_i - phase_j
  };
  bool built = false;
  std::vector<Pair> pairs;
  std::vector<std::size_t> start;  ///< spacing s: pairs[start[s-1] .. start[s])
  /// The same pairs as terms whose factor is their rotation (cos, sin):
  /// every spacing's phase-corrected sum at once.
  spacing_sums::FactorSums sums;
};

/// The usable pairs of every spacing of a legacy data unpacker, in the
/// order of its pair loops: product index and antennas (phases unset).
struct PairList {
  std::vector<PairPlan::Pair> pairs;
  std::vector<std::size_t> start{0};  ///< spacing s: pairs[start[s-1] .. start[s])
};

/// The pair lists of a legacy data unpacker and the phases they apply. The
/// usable pairs are listed when it is constructed (its set-up messages kept
/// until print_setup()); the plan takes them with the phase table's corrections, once; or,
/// with a gains table, anew every dump with minus the phase of each
/// antenna's gain at the dump's date, without the antennas and pairs the
/// table's interval flags.
class PairPlanner {
 public:
  /// Lists the usable pairs of every spacing (messages on in.out).
  using Lister = void (*)(PairList& list, const DataInputs& in);
  /// Lists the usable pairs at once; their messages are kept for print_setup().
  PairPlanner(const DataInputs& in, Lister list);
  /// The listing's messages, on the run's output.
  void print_setup() { setup_.release(*in_.out); }
  /// The plan for the dump at Julian date jd.
  const PairPlan& plan_for(double jd);
  /// Whether a spacing with no pair left is written flagged (a gains table:
  /// its flags can empty a spacing that has pairs at other times).
  bool flags_empty() const { return table_.active(); }

 private:
  DataInputs in_;
  DumpGains table_;
  talva::HeldLines setup_;
  PairList usable_;
  std::vector<float> phases_;  ///< the dump's phase corrections (gains table), antenna a at [a-1]
  bool noted_outside_ = false;
  PairPlan plan_;
};

/// Legacy talva1a: 43 within-arm spacings (baselines 67586 .. 67628), then
/// 44 cross-gap spacings (67633 .. 67676); one record each, 0+0i when no
/// pair is left; v = -sin H sindec L. The MD gain is not applied.
class Talva1aUnpacker final : public Unpacker {
 public:
  explicit Talva1aUnpacker(const DataInputs& in);
  void unpack(const DumpContext& dump, RecordSink& sink) override;
  /// The layout's positions of antennas 1-96.
  std::vector<double> positions() const override;
  void print_setup() override { planner_.print_setup(); }

 private:
  DataInputs in_;
  PairPlanner planner_;
  std::vector<PairTerm> terms_;
};

/// Legacy orvex: 88 spacings as in talva2vis3, the phase-corrected mean
/// multiplied by the MD gain; v = +sin H sindec D.
class OrvexUnpacker final : public Unpacker {
 public:
  explicit OrvexUnpacker(const DataInputs& in);
  void unpack(const DumpContext& dump, RecordSink& sink) override;
  /// As talva2vis3's orvex: the array's positions negated.
  std::vector<double> positions() const override { return orvex_positions(*in_.layout); }
  void print_setup() override { planner_.print_setup(); }

 private:
  DataInputs in_;
  PairPlanner planner_;
  std::vector<PairTerm> terms_;
};

/// talva2vis's modes for the shared driver: the phase centre as given
/// (J2000), the phase table of phasefil, hour angle and date counted from
/// startha and startmjd, the meridian distance of the pointing.
class LegacyModes final : public ConverterModes {
 public:
  PhaseCentre phase_centre(const ConverterSettings& s, talva::Output& out) override;
  Calibration load_calibration(const ConverterSettings& s, int nant, talva::Output& out) override;
  std::unique_ptr<Clock> clock(const ConverterSettings& s, const talva::calib::Site& site, float dec) override;
  ModeLayout setup_mode(std::string_view mode, float unitx, int nunit, float cgap, bool natwt,
                        talva::Output& out) override;
  std::unique_ptr<Unpacker> data_unpacker(const DataInputs& in) override;
};

}  // namespace talva::convert::legacy
