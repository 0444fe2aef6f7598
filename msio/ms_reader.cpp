#include "msio/ms_reader.h"

#include <casacore/casa/Arrays/Cube.h>
#include <casacore/casa/Arrays/Matrix.h>
#include <casacore/casa/Arrays/Vector.h>
#include <casacore/measures/Measures/MDirection.h>
#include <casacore/ms/MeasurementSets/MSColumns.h>
#include <casacore/ms/MeasurementSets/MeasurementSet.h>
#include <casacore/tables/Tables/TableRecord.h>

#include "util/stop.h"

namespace talva::msio {

namespace cc = casacore;

namespace {

std::vector<long> shape(const cc::IPosition& p) {
  std::vector<long> out;
  for (std::size_t k = 0; k < p.size(); ++k) out.push_back(static_cast<long>(p[k]));
  return out;
}

template <typename T>
std::vector<T> values(const cc::Array<T>& v) {
  return std::vector<T>(v.begin(), v.end());
}

}  // namespace

Contents read_ms(const std::string& path) {
  Contents c;
  try {
    cc::MeasurementSet ms(path, cc::Table::Old);
    cc::MSColumns cols(ms);
    c.rows = ms.nrow();
    const cc::TableRecord& kw = ms.keywordSet();
    for (cc::uInt k = 0; k < kw.nfields(); ++k)
      if (kw.type(static_cast<cc::Int>(k)) == cc::TpTable) c.subtables.push_back(kw.name(static_cast<cc::Int>(k)));
    if (c.rows > 0) {
      c.data_shape = shape(cols.data().shape(0));
      c.flag_shape = shape(cols.flag().shape(0));
      c.uvw_shape = shape(cols.uvw().shape(0));
      c.weight_shape = shape(cols.weight().shape(0));
      c.sigma_shape = shape(cols.sigma().shape(0));
      c.time = values(cols.time().getColumn());
      c.time_centroid = values(cols.timeCentroid().getColumn());
      c.interval = values(cols.interval().getColumn());
      c.exposure = values(cols.exposure().getColumn());
      c.antenna1 = values(cols.antenna1().getColumn());
      c.antenna2 = values(cols.antenna2().getColumn());
      const cc::Matrix<double> uvw = cols.uvw().getColumn();
      const cc::Cube<cc::Complex> data = cols.data().getColumn();
      const cc::Cube<bool> flag = cols.flag().getColumn();
      for (std::size_t r = 0; r < c.rows; ++r) {
        c.uvw.push_back({uvw(0, r), uvw(1, r), uvw(2, r)});
        c.data.push_back(data(0, 0, r));
        c.flag.push_back(flag(0, 0, r));
      }
    }
    for (cc::rownr_t k = 0; k < ms.antenna().nrow(); ++k) {
      c.antenna_names.push_back(cols.antenna().name()(k));
      const cc::Vector<double> p = cols.antenna().position()(k);
      c.antenna_positions.push_back({p[0], p[1], p[2]});
    }
    if (ms.field().nrow() > 0) {
      c.field_name = cols.field().name()(0);
      const cc::Matrix<double> d = cols.field().phaseDir()(0);
      c.phase_dir = {d(0, 0), d(1, 0)};
      c.phase_dir_ref = cc::MDirection::showType(cols.field().phaseDirMeasCol().getMeasRef().getType());
    }
    if (ms.spectralWindow().nrow() > 0) {
      c.chan_freq = values(cols.spectralWindow().chanFreq()(0));
      c.chan_width = values(cols.spectralWindow().chanWidth()(0));
    }
    if (ms.polarization().nrow() > 0) c.corr_type = values(cols.polarization().corrType()(0));
    if (ms.observation().nrow() > 0) {
      c.telescope = cols.observation().telescopeName()(0);
      const cc::Vector<double> tr = cols.observation().timeRange()(0);
      c.time_range = {tr[0], tr[1]};
    }
    c.feeds = ms.feed().nrow();
    c.data_descriptions = ms.dataDescription().nrow();
    if (ms.history().nrow() > 0)
      for (const auto& s : cols.history().cliCommand()(0)) c.history_cli.push_back(s);
    for (cc::rownr_t k = 0; k < ms.history().nrow(); ++k) c.history_messages.push_back(cols.history().message()(k));
  } catch (const cc::AipsError& e) {
    talva::stop("cannot read MeasurementSet " + path + ": " + e.what());
  }
  return c;
}

}  // namespace talva::msio
