#pragma once
// The watcher's computation, dump by dump, without any HTTP: the spacing
// classes' averages (gain-corrected when gains are given, as the converter
// forms them), every antenna's standing in its classes, the list of what
// looks wrong with the dump where it began, and decimated time series whose
// memory is fixed whatever the length of the observation.
//
// Standing. Within a class every pair sees the same sky, so a pair's
// (gain-corrected) value divided by its class's reference is 1 when all is
// well. The reference of a class is the median of its pairs (real and
// imaginary parts apart; the median amplitude for the amplitude), robust
// to one bad antenna; classes of fewer than kMinClassPairs pairs carry no
// standing. An antenna's amplitude standing is the least-squares ratio of
// its pairs' amplitudes to their class references; its phase standing
// (only with gains: without them the pairs of a class differ by their
// antennas' phases) is the phase of the least-squares complex ratio, each
// pair turned so that the antenna comes first. A pair's standing is its
// ratio with its two antennas' standings divided out: a pair far off while
// its antennas are not.
#include <array>
#include <complex>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "array/layout.h"
#include "array/s_matrix.h"

namespace talva::watch {

/// Time bins of every series: a fixed count, each bin holding twice as many
/// dumps whenever the bins fill up.
inline constexpr int kBins = 256;
/// Smallest class that carries a standing (a median of fewer says nothing).
inline constexpr int kMinClassPairs = 3;
/// Dumps in a row that start (or end) an anomaly.
inline constexpr int kConfirmDumps = 3;
/// Anomalies kept after they ended.
inline constexpr std::size_t kEndedKept = 32;

/// Limits of "far from its class".
struct Limits {
  float amp_low = 0.5f;     ///< amplitude standing below this: low
  float amp_high = 2.0f;    ///< above this: high
  float phase_deg = 45.0f;  ///< phase standing beyond this (degrees, only with gains)
};

/// What the watcher knows before the first dump.
struct MonitorSetup {
  const talva::array::c_layout_common_t* layout = nullptr;
  std::vector<std::int32_t> antnum;  ///< the archive's product table
  int nbsln = 0;
  std::vector<std::complex<float>> gains;  ///< antennas 1..96 ([a-1]); empty: none
  Limits limits;
};

/// One dump as the watcher takes it: its correlations (file word order)
/// and the values of its header.
struct DumpIn {
  std::span<const float> vis;
  double unix_time = 0;  ///< header date and time, seconds since 1970 (UTC)
  float ha_hours = 0;    ///< hour angle of the pointing
  float ra_hours = 0;
  float dec_deg = 0;
  int year = 0, mon = 0, day = 0, hr = 0, mins = 0, sec = 0;
  int mode = 0;
};

/// A time bin of one series: the sum of the complex values (their mean is
/// sum / n), and the least and largest amplitude.
struct Bin {
  std::complex<float> sum{0.0f, 0.0f};
  float min = 0.0f, max = 0.0f;
  std::int32_t n = 0;
  void add(std::complex<float> z);
  void merge(const Bin& o);
};

/// The time axis shared by every series: bin b holds dumps
/// [b * width + 1, (b + 1) * width] (dump numbers counted from 1).
struct TimeBin {
  std::int32_t first = 0, last = 0;  ///< dump numbers
  double t_first = 0, t_last = 0;    ///< unix seconds
  double ha_sum = 0;                 ///< sum of the hour angles (hours)
  std::int32_t n = 0;
};

/// An anomaly: what is wrong, since which dump.
struct Anomaly {
  enum class Kind { Antenna, Pair, Data } kind = Kind::Antenna;
  int a = 0, b = 0;        ///< antenna (a) or pair (a, b)
  std::string what;        ///< "amplitude 0.02 of its classes", ...
  std::int32_t began = 0;  ///< first dump of it
  std::int32_t ended = 0;  ///< first dump without it (0: still going)
  float value = 0.0f;      ///< the latest amplitude standing (or ratio)
};

/// Name of an antenna as the observers say it: "12E", "3W".
std::string antenna_name(int a);

class Monitor {
 public:
  explicit Monitor(MonitorSetup setup);

  /// Takes the next dump.
  void add(const DumpIn& d);

  // ---- what the page shows
  std::int32_t dumps() const { return dumps_; }
  const DumpIn& last() const { return last_; }  ///< its vis is not kept
  bool has_gains() const { return !setup_.gains.empty(); }
  int width() const { return width_; }  ///< dumps per bin
  std::span<const TimeBin> time_bins() const { return {times_.data(), static_cast<std::size_t>(used_)}; }
  /// Classes 1..130 ([k-1]): pairs in the class (0: the class is empty).
  const std::array<int, talva::array::kNumClasses>& class_pairs() const { return class_count_; }
  /// Length of class k (1..130) in metres, as its pairs lie.
  float class_length(int k) const { return class_length_[static_cast<std::size_t>(k - 1)]; }
  /// Series of class k (1..130): the class average per dump.
  std::span<const Bin> class_series(int k) const;
  /// Series of the product index p (2..nbsln): its correlation per dump
  /// (oriented smaller to larger antenna, uncorrected).
  std::span<const Bin> product_series(int p) const;
  /// Series of antenna a (1..96): its complex standing per dump.
  std::span<const Bin> antenna_series(int a) const;
  /// Latest standings of antennas 1..96: amplitude (NaN: no standing) and phase in degrees.
  std::span<const float> antenna_amp() const { return amp_now_; }
  std::span<const float> antenna_phase() const { return phase_now_; }
  /// Latest class averages ([k-1]).
  std::span<const std::complex<float>> class_now() const { return class_now_; }
  /// Anomalies still going, in the order they began; and the latest that ended.
  std::vector<Anomaly> current() const;
  const std::deque<Anomaly>& ended() const { return ended_; }
  /// Bytes held by the series (fixed once the first dump is in).
  std::size_t series_bytes() const;
  const MonitorSetup& setup() const { return setup_; }

 private:
  struct Term {
    std::int32_t product;        ///< product index
    std::uint32_t word;          ///< first word of its item in vis
    float sign;                  ///< sign of word 1, turned to the class's orientation (i, j)
    std::complex<float> factor;  ///< g(j) conj(g(i)) (1 without gains)
    float weight;                ///< |g(i)|^2 |g(j)|^2 (1 without gains)
    std::int16_t i, j;           ///< antennas, i east of j (the class's orientation)
    std::int16_t cls;            ///< class 1..130
  };
  struct Streak {  ///< the anomaly state of one antenna or pair
    int bad = 0, good = 0;
    bool active = false;
    std::int32_t began = 0;
    std::string what;
    float value = 0.0f;
  };
  void build_terms();
  void next_bin(const DumpIn& d);
  void halve();
  void standing(std::span<const std::complex<float>> c, std::span<const std::uint8_t> ok);
  void judge(Streak& s, bool bad, const std::string& what, float value, Anomaly::Kind kind, int a, int b);

  MonitorSetup setup_;
  std::vector<Term> terms_;  ///< class by class
  std::array<std::size_t, talva::array::kNumClasses + 1> start_{};
  std::array<int, talva::array::kNumClasses> class_count_{};
  std::array<float, talva::array::kNumClasses> class_length_{};
  std::array<float, talva::array::kNumClasses> wsum_{};
  std::int32_t dumps_ = 0;
  DumpIn last_;
  int width_ = 1;
  int used_ = 0;  ///< bins in use
  std::vector<TimeBin> times_;
  std::vector<Bin> class_bins_, product_bins_, antenna_bins_;  ///< series after series, kBins each
  std::array<std::complex<float>, talva::array::kNumClasses> class_now_{};
  std::array<float, talva::array::kNumAntennas> amp_now_{}, phase_now_{};
  std::array<std::complex<float>, talva::array::kNumAntennas> standing_now_{};
  std::vector<Streak> antenna_streak_, pair_streak_;  ///< [a-1]; [term]
  Streak data_streak_;
  std::deque<Anomaly> ended_;
  std::vector<std::complex<float>> scratch_c_;
  std::vector<float> scratch_re_, scratch_im_, scratch_amp_;
};

}  // namespace talva::watch
