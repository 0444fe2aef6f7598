#pragma once
// The converters' MeasurementSet: every record of the run, with (u, v, w)
// turned from the apparent frame of date into J2000 metres, and antennas at
// the east-west positions that the interop option writes as antpos.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <optional>

#include "array/sky.h"
#include "convert/record.h"
#include "msio/row_writer.h"

/// A record as the MeasurementSet takes it.
struct OutputRecord {
  double time = 0;                 ///< UTC Julian date
  double baseline = 0;             ///< baseline number of the uv record
  talva::sky::Uvw uvw;             ///< apparent frame of date, nanoseconds
  talva::sky::Place apparent;      ///< apparent phase centre of date
  std::complex<float> data;
  bool flagged = false;
};

class MsOutput {
 public:
  struct Setup {
    std::string path;
    double ra = 0, dec = 0;      ///< J2000 phase centre, radians
    double sfreq = 0, sdf = 0;   ///< GHz
    double dish = 0;             ///< metres
    std::string application;
    /// East-west position of antenna k at [k-1], nanoseconds; asked for when
    /// the set is closed (the talva1a unpacker measures its classes on its first call).
    std::function<std::vector<double>()> positions;
  };
  /// Creates the set (refused when `path` exists).
  explicit MsOutput(Setup setup);
  ~MsOutput();
  void add(const OutputRecord& r);
  std::size_t rows() const { return writer_->rows(); }
  /// Writes the antennas and closes the set.
  void close();

 private:
  Setup setup_;
  std::unique_ptr<msio::RowWriter> writer_;
  talva::sky::J2000Frame frame_;
  bool closed_ = false;
};

/// The MeasurementSet as a sink of the converters' records: created when the
/// run begins, closed (antennas written) when it ends or, after a fatal
/// stop, when the sink goes. One row per record; talva2vis's talva1a, whose
/// records average pairs that are not of one spacing in the array, writes a
/// row per pair instead (the records must carry their pairs).
class MsSink final : public RecordSink {
 public:
  /// `dish`: metres; `application`: the program's name.
  MsSink(std::string path, double dish, std::string application)
      : path_(std::move(path)), dish_(dish), application_(std::move(application)) {}
  void begin_run(const RunSetup& setup) override;
  void record(const UvRecord& r) override;
  void end_run() override {
    if (ms_) ms_->close();
  }
  /// The set closes with the rows of the whole dumps written.
  void interrupted(const std::string& /*note*/) override { end_run(); }
  std::size_t rows() const { return ms_ ? ms_->rows() : 0; }

 private:
  std::string path_;
  double dish_;
  std::string application_;
  std::optional<CompleteGeometry> geometry_;
  std::optional<MsOutput> ms_;
  bool per_pair_ = false;
  double sfreq_ = 0;
};

/// Whether a run writes a MeasurementSet row per pair (talva2vis's talva1a).
bool ms_rows_per_pair(Flavour flavour, int imode);
