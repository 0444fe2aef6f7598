#pragma once
// Mode unpackers: each turns one dump into records for a RecordSink.
//
// The data unpackers (talva1a, orvex) average, per spacing, the
// gain-corrected correlations of all antenna pairs that share it. When
// constructed they build, spacing by spacing and in the order of the pair
// loops, the list of the pairs' product indices and gain terms, so that a
// dump costs one pass over its pairs; the sums are formed in the same order
// as the plain loops, so the results are the same to the bit. Their set-up
// messages wait for print_setup(), which the driver calls before the first
// dump.
#include <array>
#include <complex>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "array/layout.h"
#include "array/s_matrix.h"
#include "calib/gains_table.h"
#include "convert/gains.h"
#include "convert/modes.h"
#include "convert/record.h"
#include "convert/spacing_sums.h"
#include "util/output.h"

namespace talva::convert {

/// The rejection lists of a run seen by the unpackers: the entries of the
/// product and antenna RejectionLists (array/rejections.h).
struct RejectLists {
  std::span<const std::int32_t> products;
  std::span<const std::int32_t> antennas;
  /// Whether the pair (a, b) of product index `index` is rejected.
  bool rejects(std::int32_t index, std::int32_t a, std::int32_t b) const;
};

/// What a data unpacker works with for the whole run.
struct DataInputs {
  const ModeLayout* layout = nullptr;
  const talva::array::c_layout_common_t* corr_layout = nullptr;  ///< the correlator layout (conjugation signs)
  const talva::array::ProductTable* products = nullptr;          ///< lookup built from the archive's product table
  RejectLists rejects;
  std::span<const std::complex<float>> gains;  ///< talva2vis3, antenna a at [a-1]
  /// talva2vis3 (talva1a): gains interpolated to each dump instead of `gains`; null: none
  const talva::calib::GainsTable* gains_table = nullptr;
  std::span<const float> phases;  ///< talva2vis, radians
  bool pair_terms = false;        ///< talva2vis: records carry their pairs (debug table)
  double sfreq = 0;               ///< GHz
  float sindec = 0;               ///< sin of the phase-centre declination
  talva::Output* out = nullptr;   ///< the run's messages
};

/// One dump as the unpackers see it.
struct DumpContext {
  float ha = 0;                ///< hour angle, radians
  double time = 0;             ///< Julian date
  float md = 0;                ///< meridian distance, radians
  float mdg = 1;               ///< meridian-distance gain
  std::span<const float> vis;  ///< the dump's items (2 * nbsln words)
};

class Unpacker {
 public:
  virtual ~Unpacker() = default;
  /// Turns one dump into records handed to `sink`.
  virtual void unpack(const DumpContext& dump, RecordSink& sink) = 0;
  /// East-west position (wavelengths) of every antenna number that the
  /// records use, antenna k at [k-1]: position(b) - position(a) is the
  /// spacing from which a record of the pair (a, b) forms its (u, v).
  virtual std::vector<double> positions() const = 0;
  /// Prints what the set-up made at construction reports (none by
  /// default); the driver calls it once, just before the first dump it
  /// unpacks, where the run has always shown it.
  virtual void print_setup() {}
};

/// The orvex records' antenna positions: antennas 1-92 at -xpos (empty
/// slots 45-48: 0).
std::vector<double> orvex_positions(const ModeLayout& layout);

/// Product index of the pair (a, b) when the dump carries its correlation,
/// else 0; reports such a pair on `out` (once: the callers build their lists once).
std::int32_t usable_product(const talva::array::ProductTable& table, std::int32_t a, std::int32_t b,
                            talva::Output& out);

/// talva1a (96 antennas): one record per spacing class with at least one
/// usable pair, baseline 67585 + s. Pairs rejected by the run's lists are
/// left out. With a gains table the pairs are weighed anew every dump with
/// the gains of its time; pairs of antennas and pairs the table flags are
/// left out, and a class with no pair left is written flagged.
class Talva1a3Unpacker final : public Unpacker {
 public:
  /// Sets the run up: the S matrix less the rejected pairs, the class
  /// lengths, the usable pairs of each class and, without a gains table,
  /// their terms weighed with the run's gains. Its messages are kept for
  /// print_setup().
  explicit Talva1a3Unpacker(const DataInputs& in);
  void unpack(const DumpContext& dump, RecordSink& sink) override;
  /// 0 for antenna 1 and the class length for s + 1: the pseudo-pairs (1, s + 1).
  std::vector<double> positions() const override;
  /// The set-up lines (gain products, S matrix, class lengths, pairs left
  /// out), on the run's output.
  void print_setup() override;

 private:
  /// A usable pair (i, j) of class s, as the pair loops meet it.
  struct Pair {
    int i, j, s;
    std::uint32_t word;  ///< first word of its item
    float sign;          ///< sign of its word 1 (conjugated when i > j)
  };
  void weigh(std::span<const std::complex<float>> gains);

  DataInputs in_;
  talva::HeldLines setup_;                                   ///< what the set-up reported, until printed
  std::vector<Pair> pairs_;                                  ///< class by class, each in the pair loops' order
  DumpGains table_;                                          ///< the dump's gains and flags (gains table)
  std::array<bool, talva::array::kNumClasses> has_pairs_{};  ///< classes with a pair before the table's flags
  std::int32_t nclass_ = 0;
  std::array<float, talva::array::kNumClasses> lengths_{};  ///< class lengths, wavelengths
  std::array<float, talva::array::kNumClasses> wsum_{};     ///< sum of |g(i)|^2 |g(j)|^2 per class
  spacing_sums::FactorSums sums_;  ///< the classes' pairs times G(j, i); class s is spacing s - 1
};

/// orvex (88 antennas): one record per spacing s = 1..88, baseline of the
/// spacing's first pair, 0+0i when no pair is left.
class OrvexUnpacker final : public Unpacker {
 public:
  /// Complete when constructed: the usable pairs of each spacing and their
  /// terms with the run's gains; the messages of unusable pairs are kept for
  /// print_setup().
  explicit OrvexUnpacker(const DataInputs& in);
  void unpack(const DumpContext& dump, RecordSink& sink) override;
  /// The array's positions negated: a record takes xpos(a) - xpos(b).
  std::vector<double> positions() const override { return orvex_positions(*in_.layout); }
  void print_setup() override;

  struct Term {
    std::uint32_t word;           ///< offset of the item's first word in vis
    float sign;                   ///< layout sign of the item
    std::complex<float> gi_conj;  ///< conj(g(i))
    std::complex<float> gj;       ///< g(j)
  };

 private:
  DataInputs in_;
  talva::HeldLines setup_;  ///< the messages of the set-up, until printed
  std::vector<Term> terms_;
  std::array<std::size_t, 89> start_{};
  std::array<float, 88> wsum_{};
};

/// Inputs of the simulated source (angles in radians).
struct SimulationInputs {
  float dhr = 0, ddec = 0;  ///< offset of the simulated source from the phase centre
  float srcang = 0;         ///< source angle of the sinc^2 gain
  float ampscale = 0;       ///< amplitude scale
  float unity = 0;          ///< unit extent across the arm, wavelengths
  float noiselev = 0;       ///< phase-noise level of talva1d
  std::int32_t seed = 0;    ///< first state of the Gaussian noise generator
};

/// The simulation modes (talva1b .. talva3b): visibilities that a point
/// source offset from the phase centre by (dhr, ddec) would give in the
/// mode's element layout, timed by the archive's dumps. The dump's
/// correlations are not used. Records have v = -sin H sindec spacing.
class SimulationUnpacker final : public Unpacker {
 public:
  SimulationUnpacker(const ModeLayout& layout, const SimulationInputs& sim, double sfreq, float sindec)
      : layout_(layout), sim_(sim), sfreq_(sfreq), sindec_(sindec), seed_(sim.seed) {}
  void unpack(const DumpContext& dump, RecordSink& sink) override;
  /// The element (talva1b: unit) positions; compressed modes: 0 for
  /// pseudo-antenna 1 and each pseudo-antenna b at the length of its pair
  /// (1, b) - the other pairs of those modes have lengths no set of
  /// positions can give.
  std::vector<double> positions() const override;

 private:
  const ModeLayout& layout_;
  SimulationInputs sim_;
  double sfreq_;
  float sindec_;
  std::int32_t seed_;  ///< state of the Gaussian noise generator (talva1d)
};

}  // namespace talva::convert
