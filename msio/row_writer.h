#pragma once
// The MeasurementSet as the converters write it, without casacore: the
// record values, and a writer opened through the loadable writer module.
//
// The casacore side (ms_writer.h) is built as a module of its own, loaded
// when a set is first opened, so that a run without a MeasurementSet does
// not load casacore's libraries. The module is looked for at
// "<directory of the program>/../lib/talva/libtalva_ms_writer.so" (the
// layout of the build folder and of an installation).
#include <array>
#include <complex>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace talva::msio {

struct Antenna {
  std::string name;
  std::array<double, 3> position{};  ///< ITRF, metres
  double dish_diameter = 0;          ///< metres
};

/// What the set describes besides its rows.
struct Setup {
  double ra = 0, dec = 0;       ///< J2000 phase centre, radians
  std::string field = "TALVA";  ///< field (source) name
  std::string telescope = "TALVA";
  double frequency = 0;      ///< channel centre, Hz
  double channel_width = 0;  ///< Hz
  /// Integration time of a row, seconds; 0: the smallest spacing between
  /// successive row times (1 s when all rows share one time).
  double interval = 0;
  std::string application;           ///< the program that writes the set
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

/// A set being written: rows, then the antennas, then close.
class RowWriter {
 public:
  virtual ~RowWriter() = default;
  virtual void add(const Row& row) = 0;
  /// Fills the ANTENNA table and one FEED per antenna (once, before close).
  virtual void set_antennas(const std::vector<Antenna>& antennas) = 0;
  /// Rows added so far.
  virtual std::size_t rows() const = 0;
  /// Writes what is buffered and renames the set into place. A writer
  /// destroyed without close leaves nothing (and never throws).
  virtual void close() = 0;
  /// A HISTORY row `message` (why the set ends early), written by close.
  virtual void note(const std::string& message) = 0;
};

/// The writer module's file for the program at `program` (a path).
std::string writer_module_path(const std::string& program);

/// Loads the writer module (kept for the rest of the process); a module that
/// is missing or cannot be loaded stops the program naming its file. Called
/// before any output is created, so that such a run leaves nothing behind.
void load_writer_module();

/// Creates the set at `path` through the writer module (loaded on the first
/// call, and kept for the rest of the process); a module that is missing or
/// cannot be loaded stops the program naming its file.
std::unique_ptr<RowWriter> open_writer(const std::string& path, const Setup& setup);

}  // namespace talva::msio
