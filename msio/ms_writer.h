#pragma once
// A MeasurementSet (version 2) writer over plain record values, through
// casacore's table system: one spectral window of one channel, one
// correlation (Stokes I), one field, one feed per antenna.
//
// The set is built in a private directory beside <path> and renamed to
// <path> when it is closed (never over anything there), so a path never
// names a set cut short by a killed run, and two runs never write one set.
#include <array>
#include <complex>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace talva {
class PrivateDir;
}

namespace msio {

struct Antenna {
  std::string name;
  std::array<double, 3> position{};  ///< ITRF, metres
  double dish_diameter = 0;          ///< metres
};

/// What the set describes besides its rows.
struct Setup {
  double ra = 0, dec = 0;          ///< J2000 phase centre, radians
  std::string field = "TALVA";     ///< field (source) name
  std::string telescope = "TALVA";
  double frequency = 0;            ///< channel centre, Hz
  double channel_width = 0;        ///< Hz
  /// Integration time of a row, seconds; 0: the smallest spacing between
  /// successive row times (1 s when all rows share one time).
  double interval = 0;
  std::string application;         ///< the program that writes the set
  std::vector<std::string> history;  ///< command-line parameters, one per line
};

/// One row: a baseline's visibility at one time.
struct Row {
  double time = 0;                 ///< MJD seconds, UTC, centre of the integration
  int antenna1 = 0, antenna2 = 0;  ///< 0-based rows of the ANTENNA table
  /// Metres, J2000, as the MeasurementSet holds them: position(antenna2) -
  /// position(antenna1), with data = sum F exp(+2 pi i (u l + v m + w (n - 1))).
  std::array<double, 3> uvw{};
  std::complex<float> data;
  bool flagged = false;
};

/// Stops the program (talva::stop) when a set cannot be created at `path`:
/// something exists there, or its directory does not.
void check_new(const std::string& path);

class Writer {
 public:
  /// Creates the set; a set already at `path` is refused (talva::stop).
  Writer(const std::string& path, const Setup& setup);
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void add(const Row& row);
  /// Fills the ANTENNA table and one FEED per antenna (once, before close).
  void set_antennas(const std::vector<Antenna>& antennas);
  /// Rows added so far.
  std::size_t rows() const { return rows_; }
  /// Writes what is buffered, the time ranges and intervals, and renames the
  /// set into place (a stop when <path> was made meanwhile). Also done by
  /// the destructor when not called; a set that cannot be completed leaves
  /// nothing behind.
  void close();

 private:
  struct Impl;
  void flush();
  std::string path_;
  std::string name_;                      ///< the set's name in its directory
  std::unique_ptr<talva::PrivateDir> dir_;  ///< where it is built (goes after impl_)
  std::unique_ptr<Impl> impl_;
  std::string telescope_;
  std::vector<Row> buffer_;
  std::size_t rows_ = 0;
  double interval_ = 0;
  double first_time_ = 0, last_time_ = 0, min_step_ = 0;
  bool closed_ = false;
};

}  // namespace msio
