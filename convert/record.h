#pragma once
// The records of the converters and the sinks that take them.
//
// An unpacker turns one dump into records and hands each one to a
// RecordSink; it knows nothing of what is written. The driver calls every
// sink in this order:
//   begin_run(setup)        once, after the mode set-up
//   record(r) ... end_dump() for every unpacked dump
//   end_run()               once, after the last dump: a sink writes all
//                           it has and syncs it, but names nothing yet
// or, instead of end_run,
//   interrupted(note)       the run stops early (SIGINT, SIGTERM) after a
//                           whole dump: a dataset completes what it holds
//                           (noting why), other outputs drop theirs
// and then, once every sink got there,
//   publish()               the outputs take their final names
// The outputs of a run appear together or not at all: a failure anywhere
// before publish() makes the driver's PublishGuard call abandon() on every
// sink, which drops what the sink made (a sink destroyed unpublished does
// the same).
// publish() of a sink that can still fail for want of space (the
// MeasurementSet's closing write) is called first; the other publishes are
// renames. Adding an output is adding a sink.
#include <cmath>
#include <complex>
#include <span>
#include <string>
#include <vector>

#include "array/sky.h"
#include "convert/modes.h"
#include "miriad/baseline.h"
#include "util/output.h"

namespace talva::convert {

enum class Flavour { Current, Legacy };

/// The observation set-up of one run.
struct RunSetup {
  Flavour flavour = Flavour::Current;
  const ModeLayout* layout = nullptr;  ///< the mode (imode, positions); lives for the run
  double ra = 0, dec = 0;              ///< J2000 phase centre, radians
  double sfreq = 0;                    ///< sky frequency, GHz
  double sdf = 0;                      ///< channel width, GHz
  int nants = 0;                       ///< antenna count (with interop: every antenna number used)
  double latitude = 0, longitude = 0;  ///< site, radians
  /// East-west position (nanoseconds) of antenna k at [k-1], for sinks
  /// that describe the array (the unpacker's positions; with interop nants
  /// entries). Empty: none given.
  std::vector<double> positions;
  /// A line for the dataset's history beside the keywords (empty: none).
  std::string history_note;
};

/// One phase-corrected pair of a legacy data record (antennas, their phase
/// corrections in radians, and the corrected correlation).
struct PairTerm {
  int i = 0, j = 0;
  float phase_i = 0, phase_j = 0;
  std::complex<float> value;
};

/// One visibility record: one channel of one baseline at one time.
struct UvRecord {
  talva::miriad::Baseline antennas;  ///< its antennas a < b (pseudo-antennas of a compressed mode: the short number)
  double time = 0;                   ///< Julian date
  std::complex<float> data;          ///< as averaged (may be non-finite when flagged)
  bool flagged = false;              ///< bad: the value is not finite
  int spacing = 0;                   ///< spacing class or spacing number of the record (1-based)
  // Its geometry, in wavelengths. The flat (x, y) is what the dataset's
  // (u, v) is made of (divided by the sky frequency; w = 0) and what the
  // plot and the debug table show; a data mode's record also tracks the
  // hour angle of its dump and its spacing, from which the outputs with
  // the complete geometry (options=interop, the MeasurementSet) form
  // (u, v, w) in the apparent frame of date.
  double x = 0, y = 0;        ///< u and v as the unpacker formed them
  float ha = 0;               ///< hour angle of the dump, radians
  double spacing_length = 0;  ///< Y(b) - Y(a) of the record's pair
  /// A data mode: (u, v, w) of the apparent frame of date follow from ha and
  /// the spacing. A simulation: its flat model keeps u and v, w = 0.
  bool tracked = false;
  std::span<const PairTerm> pairs;  ///< legacy data modes: the pairs averaged into the record

  /// u and v in nanoseconds at the sky frequency `sfreq` (GHz).
  double u(double sfreq) const { return x / sfreq; }
  double v(double sfreq) const { return y / sfreq; }

  /// The record with its geometry.
  UvRecord& geometry(float hour_angle, double length, bool is_tracked) {
    ha = hour_angle;
    spacing_length = length;
    tracked = is_tracked;
    return *this;
  }

  /// A record whose flag follows from its value.
  static UvRecord make(double x, double y, double time, talva::miriad::Baseline antennas, std::complex<float> data,
                       int spacing) {
    // Every member given: no clearing of the whole record first.
    return UvRecord{antennas, time,  data, !(std::isfinite(data.real()) && std::isfinite(data.imag())),
                    spacing,  x,     y,    0.0f,
                    0.0,      false, {}};
  }
};

class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual void begin_run(const RunSetup& /*setup*/) {}
  virtual void record(const UvRecord& r) = 0;
  virtual void end_dump() {}
  virtual void end_run() {}
  /// `note`: "interrupted by SIGINT after dump N".
  virtual void interrupted(const std::string& /*note*/) {}
  virtual void publish() {}
  /// Drops an unpublished output; returns what went wrong doing so (empty:
  /// nothing), for the stop that caused it to report. Never throws.
  virtual std::string abandon() noexcept { return {}; }
};

/// The complete geometry of the records of a run: the apparent phase centre
/// of date (taken at the first record's time) and each record's (u, v, w) in
/// the apparent frame, nanoseconds.
class CompleteGeometry {
 public:
  CompleteGeometry(double ra2000, double dec2000, double sfreq) : ra_(ra2000), dec_(dec2000), sfreq_(sfreq) {}
  const talva::sky::Place& apparent(double time) {
    if (!have_) {
      apparent_ = talva::sky::apparent_place(ra_, dec_, time);
      have_ = true;
    }
    return apparent_;
  }
  talva::sky::Uvw uvw(const UvRecord& r) {
    const double dec = apparent(r.time).dec;
    if (!r.tracked) return {r.u(sfreq_), r.v(sfreq_), 0.0};
    return east_west_(r.ha, dec, r.spacing_length / sfreq_);
  }

 private:
  double ra_, dec_, sfreq_;
  bool have_ = false;
  talva::sky::Place apparent_;
  talva::sky::EastWestUvw east_west_;
};

/// Hands every call on to a list of sinks in order, and counts the records.
/// publish() goes to the sinks added with `publish_first` before the others.
class SinkList final : public RecordSink {
 public:
  void add(RecordSink& sink, bool publish_first = false) {
    sinks_.push_back(&sink);
    publish_order_.insert(publish_first ? publish_order_.begin() + first_ : publish_order_.end(), &sink);
    if (publish_first) ++first_;
  }
  void begin_run(const RunSetup& setup) override {
    for (auto* s : sinks_) s->begin_run(setup);
  }
  void record(const UvRecord& r) override {
    ++count_;
    for (auto* s : sinks_) s->record(r);
  }
  void end_dump() override {
    for (auto* s : sinks_) s->end_dump();
  }
  void end_run() override {
    for (auto* s : sinks_) s->end_run();
  }
  void interrupted(const std::string& note) override {
    for (auto* s : sinks_) s->interrupted(note);
  }
  void publish() override {
    for (auto* s : publish_order_) s->publish();
  }
  /// Every sink's abandon; their problems, one a line.
  std::string abandon() noexcept override {
    std::string problems;
    for (auto* s : sinks_) {
      const std::string p = s->abandon();
      if (!p.empty()) problems += (problems.empty() ? "" : "\n") + p;
    }
    return problems;
  }
  long long count() const { return count_; }

 private:
  std::vector<RecordSink*> sinks_;
  std::vector<RecordSink*> publish_order_;
  std::ptrdiff_t first_ = 0;
  long long count_ = 0;
};

/// Drops every output of a list of sinks when it goes before publish() (a
/// stop on the way unwinds past it): no output of a failed run takes its
/// name. What went wrong while dropping them (abandon never throws) is
/// reported on `out`, ahead of the stop's own message.
class PublishGuard {
 public:
  PublishGuard(SinkList& sinks, talva::Output& out) : sinks_(sinks), out_(out) {}
  ~PublishGuard() {
    if (published_) return;
    const std::string problems = sinks_.abandon();
    if (!problems.empty()) out_.line(" " + problems);
  }
  PublishGuard(const PublishGuard&) = delete;
  PublishGuard& operator=(const PublishGuard&) = delete;
  /// Publishes every sink (a failure on the way leaves the guard to drop them).
  void publish() {
    sinks_.publish();
    published_ = true;
  }

 private:
  SinkList& sinks_;
  talva::Output& out_;
  bool published_ = false;
};

/// Keeps the records in memory (tests, and readers of a run's output).
class RecordList final : public RecordSink {
 public:
  void record(const UvRecord& r) override {
    records.push_back(r);
    records.back().pairs = {};
  }
  std::vector<UvRecord> records;
};

}  // namespace talva::convert
