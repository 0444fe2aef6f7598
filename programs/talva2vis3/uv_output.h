#pragma once
// The converters' uv dataset: creation with its history and fixed
// variables, and the one-channel records the unpackers write.
#include <complex>
#include <string>

/// Fixed values of a dataset.
struct UvHeader {
  int nants = 0;       ///< antenna count of the mode
  double ra = 0;       ///< J2000 phase centre, radians
  double dec = 0;
  double sfreq = 0;    ///< GHz
  double sdf = 0;      ///< channel width, GHz
};

/// Creates dataset `name` (status "new"), selects the preamble
/// "uvw/time/baseline", writes the history heading and the command line,
/// and the 24 fixed variables. Returns the handle.
int create_uv_dataset(const std::string& name, const UvHeader& header);

/// Appends one record (one channel, flag good) to the dataset in
/// talva_common_.tno: preamble (u, v, 0, time, baseline), u and v in nanoseconds.
void write_uv_record(double u, double v, double time, double baseline, std::complex<float> data);

/// Closes the history and the dataset.
void close_uv_dataset(int tno);
