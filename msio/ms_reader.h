#pragma once
// Reads a MeasurementSet back through casacore's table system, into plain
// values: what a check of a written set needs.
#include <array>
#include <complex>
#include <cstddef>
#include <string>
#include <vector>

namespace talva::msio {

struct Contents {
  std::size_t rows = 0;
  std::vector<std::string> subtables;  ///< names of the main table's subtable keywords
  /// Cell shapes of the first row (empty when there are no rows).
  std::vector<long> data_shape, flag_shape, uvw_shape, weight_shape, sigma_shape;
  std::vector<double> time, time_centroid, interval, exposure;  ///< seconds
  std::vector<int> antenna1, antenna2;
  std::vector<std::array<double, 3>> uvw;  ///< metres
  std::vector<std::complex<float>> data;   ///< first correlation, first channel
  std::vector<bool> flag;
  std::vector<std::string> antenna_names;
  std::vector<std::array<double, 3>> antenna_positions;  ///< ITRF, metres
  std::string field_name;
  std::array<double, 2> phase_dir{};          ///< radians
  std::string phase_dir_ref;                  ///< the direction reference frame, e.g. "J2000"
  std::vector<double> chan_freq, chan_width;  ///< Hz
  std::vector<int> corr_type;                 ///< Stokes codes
  std::string telescope;
  std::array<double, 2> time_range{};
  std::size_t feeds = 0, data_descriptions = 0;
  std::vector<std::string> history_cli;
  std::vector<std::string> history_messages;  ///< MESSAGE of every HISTORY row
};

/// Reads the set at `path` (talva::stop when casacore cannot open it).
Contents read_ms(const std::string& path);

}  // namespace talva::msio
