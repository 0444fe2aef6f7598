#pragma once
// A MeasurementSet (version 2) writer over plain record values, through
// casacore's table system: one spectral window of one channel, one
// correlation (Stokes I), one field, one feed per antenna.
//
// The set is built in a private directory beside <path> and renamed to
// <path> when it is closed (never over anything there), so a path never
// names a set cut short by a killed run, and two runs never write one set.
#include <memory>
#include <string>

#include "msio/row_writer.h"

namespace talva {
class PrivateDir;
}

namespace talva::msio {

class Writer final : public RowWriter {
 public:
  /// Creates the set; a set already at `path` is refused (talva::stop).
  Writer(const std::string& path, const Setup& setup);
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void add(const Row& row) override;
  /// Fills the ANTENNA table and one FEED per antenna (once, before close).
  void set_antennas(const std::vector<Antenna>& antennas) override;
  /// Rows added so far.
  std::size_t rows() const override { return rows_; }
  /// Writes what is buffered, the time ranges and intervals, and renames the
  /// set into place (a stop when <path> was made meanwhile). A set that
  /// cannot be completed, or is never closed, leaves nothing behind.
  void close() override;
  void note(const std::string& message) override;

 private:
  struct Impl;
  void flush();
  /// Drops the set and its private directory; never throws.
  void discard() noexcept;
  std::string path_;
  std::string name_;                        ///< the set's name in its directory
  std::unique_ptr<talva::PrivateDir> dir_;  ///< where it is built (goes after impl_)
  std::unique_ptr<Impl> impl_;
  std::string telescope_;
  std::string application_;
  std::vector<std::string> notes_;  ///< HISTORY rows added when it is closed
  std::vector<Row> buffer_;
  std::size_t rows_ = 0;
  double interval_ = 0;
  double first_time_ = 0, last_time_ = 0, min_step_ = 0;
  bool closed_ = false;
};

}  // namespace talva::msio
