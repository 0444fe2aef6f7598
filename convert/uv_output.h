#pragma once
// The converters' uv dataset: a sink that creates the dataset with its
// history and fixed variables when the run begins, writes every record as
// one channel, writes everything but its header when the run ends and names
// the header when the run publishes its outputs. A run that fails on the way
// (abandon, or the sink goes unpublished) removes the unfinished dataset.
//
// With the opt-in for other readers (options=interop), the dataset also
// carries what pyuvdata and CASA need beyond MIRIAD's own minimum: the
// site's "altitude" and the "instrume" name after the fixed variables,
// "antpos" and the apparent phase centre of date ("obsra", "obsdec") once
// before the first record, "lst" on every record, and the records of the
// data modes with w and (u, v) of the apparent frame of date.
#include <optional>
#include <string>
#include <vector>

#include "convert/record.h"
#include "miriad/uvio.h"

namespace talva::convert {

class UvDatasetSink final : public RecordSink {
 public:
  /// `name`: the dataset; `interop`: the variables for other readers.
  UvDatasetSink(std::string name, bool interop) : name_(std::move(name)), interop_(interop) {}
  ~UvDatasetSink() override;
  UvDatasetSink(const UvDatasetSink&) = delete;
  UvDatasetSink& operator=(const UvDatasetSink&) = delete;

  /// Creates the dataset (status "new"), selects the preamble
  /// "uvw/time/baseline", writes the history heading and the command line,
  /// and the 24 fixed variables (with the opt-in also "altitude" and "instrume").
  void begin_run(const RunSetup& setup) override;
  /// Appends one record: preamble (u, v, w, time, baseline), the value, and
  /// flag good; a flagged record is written as 0+0i, flagged bad. With the
  /// opt-in, "antpos", "obsra" and "obsdec" precede the first record, "lst"
  /// every record, and (u, v, w) is the complete geometry.
  void record(const UvRecord& r) override;
  /// Writes the records of the dump (they are held until then, except with
  /// the opt-in, whose "lst" goes between them).
  void end_dump() override;
  /// Closes the history and writes every item but the header's name.
  void end_run() override;
  /// Writes the history line "<PROGRAM>: <note>", then as end_run.
  void interrupted(const std::string& note) override;
  /// Names the header: the dataset is complete.
  void publish() override;
  /// Removes the unfinished dataset.
  std::string abandon() noexcept override;

 private:
  std::string name_;
  bool interop_;
  const char* program_ = "";  ///< the history's name of the converter
  double sfreq_ = 0;          ///< GHz: the records' (u, v) in nanoseconds
  int tno_ = 0;
  bool open_ = false;
  bool prepared_ = false;          ///< end_run done; publish names the header
  std::vector<double> positions_;  ///< east-west antenna positions, nanoseconds (interop)
  bool antpos_written_ = false;
  bool have_lst_ = false;
  double lst_time_ = 0.0;  ///< Julian date of the last lst put
  talva::sky::SiderealClock clock_;
  std::optional<CompleteGeometry> geometry_;
  std::vector<talva::miriad::UvPoint> held_;  ///< the dump's records not yet written
  void write_held();
};

}  // namespace talva::convert
