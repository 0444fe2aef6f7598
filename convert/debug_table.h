#pragma once
// The converters' debug table ("talva2vis3.dbg" / "talva2vis.dbg"): for
// orvex, one line for the record of spacing `blen` of every dump (u, v in
// wavelengths, amplitude, phase in degrees), preceded in talva2vis by one
// line per pair averaged into it (antennas, their phase corrections,
// amplitude and phase of the corrected correlation). The table is written
// to a temporary from the start, with its heading, synced when the run ends
// (end_run) and replaces an earlier table when the run publishes its
// outputs; a failed or interrupted run leaves the earlier table as it was,
// and a write error stops the run.
#include "convert/record.h"
#include "util/output_file.h"

namespace talva::convert {

class DebugTableSink final : public RecordSink {
 public:
  /// Creates the table's temporary (a fatal stop when it cannot be
  /// created). `lists`: the run's records are listed (mode orvex; in the
  /// other modes the table holds its heading alone); `blen`: the spacing
  /// whose records are listed.
  DebugTableSink(Flavour flavour, int blen, bool lists);
  DebugTableSink(const DebugTableSink&) = delete;
  DebugTableSink& operator=(const DebugTableSink&) = delete;

  void record(const UvRecord& r) override;
  /// Writes and syncs the table.
  void end_run() override;
  /// Replaces an earlier table by this one.
  void publish() override;
  /// Drops the table (an interrupted run writes none).
  void interrupted(const std::string& note) override;
  std::string abandon() noexcept override;

 private:
  Flavour flavour_;
  int blen_;
  bool lists_;  // the mode's records are listed (orvex)
  talva::OutputFile file_;
  talva::OutputStream out_;
};

/// Name of the debug table file of a flavour ("talva2vis3.dbg" / "talva2vis.dbg").
const char* debug_table_name(Flavour flavour);

}  // namespace talva::convert
