#pragma once
// The converters' uv dataset: creation with its history and fixed
// variables, and the one-channel records the unpackers write.
//
// With the opt-in for other readers (options=interop, uv_interop_), the
// dataset also carries what pyuvdata and CASA need beyond MIRIAD's own
// minimum: the site's "altitude" and the "instrume" name after the fixed
// variables, "antpos" once before the first record, and "lst" on every
// record. The records themselves are the same with and without it.
#include <complex>
#include <functional>
#include <string>
#include <vector>

#include "array/sky.h"

/// Fixed values of a dataset.
struct UvHeader {
  int nants = 0;       ///< antenna count of the mode (with the opt-in: every antenna number used)
  double ra = 0;       ///< J2000 phase centre, radians
  double dec = 0;
  double sfreq = 0;    ///< GHz
  double sdf = 0;      ///< channel width, GHz
};

/// How a record's coordinates came about, for the complete geometry of the
/// interop option and the MeasurementSet.
struct RecordGeometry {
  float ha = 0;          ///< hour angle of the dump, radians
  double spacing = 0;    ///< Y(b) - Y(a) of the record's pair, wavelengths
  /// A data mode: (u, v, w) of the apparent frame of date follow from ha and
  /// spacing. A simulation: its flat model keeps u and v as written, w = 0.
  bool tracked = true;
};

/// A record as the extra sinks (the MeasurementSet) take it.
struct OutputRecord {
  double time = 0;                 ///< UTC Julian date
  double baseline = 0;             ///< baseline number of the uv record
  talva::sky::Uvw uvw;             ///< apparent frame of date, nanoseconds
  talva::sky::Place apparent;      ///< apparent phase centre of date
  std::complex<float> data;
  bool flagged = false;
};

/// The opt-in for other readers and the outputs of a run, set by the driver
/// before the dataset is created and read by create_uv_dataset and write_uv_record.
struct uv_interop_t {
  bool on = false;
  bool uv = true;                  ///< a uv dataset is written
  double ra = 0, dec = 0;          ///< J2000 phase centre, radians
  /// The MeasurementSet sink, or empty.
  std::function<void(const OutputRecord&)> ms;
  /// East-west position of antenna k at [k-1], nanoseconds (nants entries);
  /// asked for once, just before the first record is written, so that it
  /// can use what the unpacker set up on its first call.
  std::function<std::vector<double>()> positions;
  // Run state of the writer.
  bool antpos_written = false;
  bool have_lst = false;
  double lst_time = 0.0;  ///< Julian date of the last lst computed
  double lst = 0.0;
  talva::sky::SiderealClock clock;
  bool have_apparent = false;      ///< the apparent place of the centre at the first record
  talva::sky::Place apparent;
};
extern uv_interop_t uv_interop_;

/// Local apparent sidereal time (radians, 0 .. 2 pi) at the site longitude
/// of the UTC Julian date `jd`, UT1 taken as UTC (the clock of uv_interop_).
double local_apparent_sidereal_time(double jd);

/// Creates dataset `name` (status "new"), selects the preamble
/// "uvw/time/baseline", writes the history heading and the command line,
/// and the 24 fixed variables (with the opt-in also "altitude" and
/// "instrume"). Returns the handle.
int create_uv_dataset(const std::string& name, const UvHeader& header);

/// Appends one record (one channel, flag good) to the dataset in
/// talva_common_.tno: preamble (u, v, 0, time, baseline), u and v in nanoseconds.
/// With the opt-in, "antpos", "obsra" and "obsdec" (the apparent place of
/// date at the first record) precede the first record and "lst" every
/// record, and the records of the data modes carry (u, v, w) of the apparent
/// frame. The MeasurementSet sink, when set, gets every record.
void write_uv_record(double u, double v, double time, double baseline, std::complex<float> data,
                     const RecordGeometry& geometry);

/// Closes the history and the dataset.
void close_uv_dataset(int tno);
