#pragma once
// The converters' MeasurementSet: every record of the run, with (u, v, w)
// turned from the apparent frame of date into J2000 metres, and antennas at
// the east-west positions that the interop option writes as antpos.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "array/sky.h"
#include "msio/ms_writer.h"
#include "programs/talva2vis3/uv_output.h"

class MsOutput {
 public:
  struct Setup {
    std::string path;
    double ra = 0, dec = 0;      ///< J2000 phase centre, radians
    double sfreq = 0, sdf = 0;   ///< GHz
    double dish = 0;             ///< metres
    std::string application;
    /// East-west position of antenna k at [k-1], nanoseconds; asked for when
    /// the set is closed (the talva1a unpacker measures its classes on its first call).
    std::function<std::vector<double>()> positions;
  };
  /// Creates the set (refused when `path` exists).
  explicit MsOutput(Setup setup);
  ~MsOutput();
  void add(const OutputRecord& r);
  std::size_t rows() const { return writer_.rows(); }
  /// Writes the antennas and closes the set.
  void close();

 private:
  Setup setup_;
  msio::Writer writer_;
  talva::sky::J2000Frame frame_;
  bool closed_ = false;
};
