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
  /// Room a new set's tables take before the first row (an empty set
  /// takes about 600 KB), bytes.
  static constexpr unsigned long long kSetupBytes = 1ULL << 20;
  /// Creates the set (refused when `path` exists, or when its file system
  /// has less than kSetupBytes free).
  explicit MsOutput(Setup setup);
  ~MsOutput();
  void add(const OutputRecord& r);
  std::size_t rows() const { return writer_->rows(); }
  /// Writes the antennas (and `note` as a HISTORY row, if any) and closes
  /// the set: it takes its name. Destroyed unclosed, it leaves nothing.
  void close(const std::string& note = {});

 private:
  static void check_room(const std::string& path);
  Setup setup_;
  std::unique_ptr<msio::RowWriter> writer_;
  talva::sky::J2000Frame frame_;
  bool closed_ = false;
};

/// The MeasurementSet as a sink of the converters' records: created when the
/// run begins, closed (antennas written, renamed into place) when the run
/// publishes its outputs; after a fatal stop nothing is left of it. Its
/// publish does the set's closing writes, so the driver publishes it first. One row per record; talva2vis's talva1a, whose
/// records average pairs that are not of one spacing in the array, writes a
/// row per pair instead (the records must carry their pairs).
class MsSink final : public RecordSink {
 public:
  /// `dish`: metres; `application`: the program's name.
  MsSink(std::string path, double dish, std::string application)
      : path_(std::move(path)), dish_(dish), application_(std::move(application)) {}
  void begin_run(const RunSetup& setup) override;
  void record(const UvRecord& r) override;
  /// The set will close with the rows of the whole dumps written, `note`
  /// in its HISTORY.
  void interrupted(const std::string& note) override { note_ = note; }
  void publish() override {
    if (ms_) ms_->close(note_);
  }
  std::string abandon() noexcept override {
    ms_.reset();
    return {};
  }
  std::size_t rows() const { return rows_; }

 private:
  std::string path_;
  double dish_;
  std::string application_;
  std::optional<CompleteGeometry> geometry_;
  std::optional<MsOutput> ms_;
  bool per_pair_ = false;
  double sfreq_ = 0;
  std::string note_;
  std::size_t rows_ = 0;
};

/// Whether a run writes a MeasurementSet row per pair (talva2vis's talva1a).
bool ms_rows_per_pair(Flavour flavour, int imode);
