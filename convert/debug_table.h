#pragma once
// The converters' debug table ("talva2vis3.dbg" / "talva2vis.dbg"): for
// orvex, one line for the record of spacing `blen` of every dump (u, v in
// wavelengths, amplitude, phase in degrees), preceded in talva2vis by one
// line per pair averaged into it (antennas, their phase corrections,
// amplitude and phase of the corrected correlation). The file is created,
// with its heading, when the sink is made; it is written under a temporary
// name and renamed when the sink goes.
#include <fstream>
#include <string>

#include "convert/record.h"

class DebugTableSink final : public RecordSink {
 public:
  /// Creates the table (a fatal stop when it cannot be created). `blen`:
  /// the spacing whose records are listed.
  DebugTableSink(Flavour flavour, int blen);
  ~DebugTableSink() override;
  DebugTableSink(const DebugTableSink&) = delete;
  DebugTableSink& operator=(const DebugTableSink&) = delete;

  void begin_run(const RunSetup& setup) override;
  void record(const UvRecord& r) override;

 private:
  Flavour flavour_;
  int blen_;
  bool lists_ = false;  // the mode's records are listed (orvex)
  std::string name_, tmp_;
  std::ofstream out_;
};

/// Name of the debug table file of a flavour ("talva2vis3.dbg" / "talva2vis.dbg").
const char* debug_table_name(Flavour flavour);
