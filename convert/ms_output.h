#pragma once
// The converters' MeasurementSet: every record of the run, with (u, v, w)
// turned from the apparent frame of date into J2000 metres, and antennas at
// the east-west positions that the interop option writes as antpos.
#include <memory>
#include <string>
#include <vector>

#include <optional>

#include "array/sky.h"
#include "convert/record.h"
#include "msio/row_writer.h"

namespace talva::convert {

/// The MeasurementSet as a sink of the converters' records: created when the
/// run begins, closed (antennas written, renamed into place) when the run
/// publishes its outputs; after a fatal stop nothing is left of it. Its
/// publish does the set's closing writes, so the driver publishes it first.
/// One row per record; talva2vis's talva1a, whose records average pairs
/// that are not of one spacing in the array, writes a row per pair instead
/// (the records must carry their pairs).
class MsSink final : public RecordSink {
 public:
  /// Room a new set's tables take before the first row (an empty set
  /// takes about 600 KB), bytes.
  static constexpr unsigned long long kSetupBytes = 1ULL << 20;
  /// `dish`: metres; `application`: the program's name; `per_pair`: a row
  /// per pair of each record (ms_rows_per_pair).
  MsSink(std::string path, double dish, std::string application, bool per_pair = false)
      : path_(std::move(path)), dish_(dish), application_(std::move(application)), per_pair_(per_pair) {}
  ~MsSink() override;
  /// Creates the set (refused when the path exists, or when its file
  /// system has less than kSetupBytes free).
  void begin_run(const RunSetup& setup) override;
  void record(const UvRecord& r) override;
  /// The set will close with the rows of the whole dumps written, `note`
  /// in its HISTORY.
  void interrupted(const std::string& note) override { note_ = note; }
  /// Writes the antennas (and the note as a HISTORY row, if any) and closes
  /// the set: it takes its name.
  void publish() override;
  /// Drops the set (the writer never throws doing so).
  std::string abandon() noexcept override {
    writer_.reset();
    return {};
  }
  std::size_t rows() const { return rows_; }

 private:
  /// A row of the record `r` for the antennas `pair`, its value `data`.
  void add(const UvRecord& r, talva::miriad::Baseline pair, std::complex<float> data, bool flagged);

  std::string path_;
  double dish_;
  std::string application_;
  std::optional<CompleteGeometry> geometry_;
  std::optional<talva::sky::J2000Frame> frame_;
  std::unique_ptr<talva::msio::RowWriter> writer_;
  std::vector<double> positions_;  ///< east-west position of antenna k at [k-1], nanoseconds
  bool per_pair_;
  bool closed_ = false;
  std::string note_;
  std::size_t rows_ = 0;
};

/// Whether a run writes a MeasurementSet row per pair (talva2vis's talva1a).
bool ms_rows_per_pair(Flavour flavour, int imode);

}  // namespace talva::convert
