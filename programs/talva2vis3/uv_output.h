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

/// Fixed values of a dataset.
struct UvHeader {
  int nants = 0;       ///< antenna count of the mode (with the opt-in: every antenna number used)
  double ra = 0;       ///< J2000 phase centre, radians
  double dec = 0;
  double sfreq = 0;    ///< GHz
  double sdf = 0;      ///< channel width, GHz
};

/// The opt-in for other readers, set by the driver before the dataset is
/// created and read by create_uv_dataset and write_uv_record.
struct uv_interop_t {
  bool on = false;
  /// East-west position of antenna k at [k-1], nanoseconds (nants entries);
  /// asked for once, just before the first record is written, so that it
  /// can use what the unpacker set up on its first call.
  std::function<std::vector<double>()> positions;
  // Run state of the writer.
  bool antpos_written = false;
  bool have_lst = false;
  double lst_time = 0.0;  ///< Julian date of the last lst computed
  double lst = 0.0;
  bool have_eqeq = false;  ///< equation of the equinoxes at the TT hours eqeq_hour and eqeq_hour + 1
  double eqeq_hour = 0.0;
  double eqeq0 = 0.0, eqeq1 = 0.0;
};
extern uv_interop_t uv_interop_;

/// Local apparent sidereal time (radians, 0 .. 2 pi) at the site longitude
/// of the UTC Julian date `jd`, UT1 taken as UTC. Keeps the equation of the
/// equinoxes of the current hour in uv_interop_.
double local_apparent_sidereal_time(double jd);

/// Creates dataset `name` (status "new"), selects the preamble
/// "uvw/time/baseline", writes the history heading and the command line,
/// and the 24 fixed variables (with the opt-in also "altitude" and
/// "instrume"). Returns the handle.
int create_uv_dataset(const std::string& name, const UvHeader& header);

/// Appends one record (one channel, flag good) to the dataset in
/// talva_common_.tno: preamble (u, v, 0, time, baseline), u and v in nanoseconds.
/// With the opt-in, "antpos" precedes the first record and "lst" every record.
void write_uv_record(double u, double v, double time, double baseline, std::complex<float> data);

/// Closes the history and the dataset.
void close_uv_dataset(int tno);
