#include "msio/ms_writer.h"

#include <casacore/casa/Arrays/ArrayMath.h>
#include <casacore/casa/Arrays/Cube.h>
#include <casacore/casa/Arrays/Matrix.h>
#include <casacore/casa/Arrays/Vector.h>
#include <casacore/measures/Measures/MFrequency.h>
#include <casacore/measures/Measures/Stokes.h>
#include <casacore/ms/MeasurementSets/MSColumns.h>
#include <casacore/ms/MeasurementSets/MeasurementSet.h>
#include <casacore/tables/DataMan/StandardStMan.h>
#include <casacore/tables/Tables/SetupNewTab.h>
#include <casacore/tables/Tables/TableDesc.h>
#include <casacore/tables/Tables/TableRecord.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "util/private_dir.h"
#include "util/stop.h"

namespace msio {

namespace cc = casacore;

namespace {

constexpr std::size_t kBlockRows = 8192;  // rows written to the table at once

cc::Vector<double> vec(std::initializer_list<double> v) {
  cc::Vector<double> out(v.size());
  std::size_t k = 0;
  for (double x : v) out[k++] = x;
  return out;
}

// A 2 x 1 direction (RA, Dec) as the FIELD table holds it.
cc::Matrix<double> direction(double ra, double dec) {
  cc::Matrix<double> m(2, 1);
  m(0, 0) = ra;
  m(1, 0) = dec;
  return m;
}

}  // namespace

struct Writer::Impl {
  cc::MeasurementSet ms;
  explicit Impl(cc::MeasurementSet&& set) : ms(std::move(set)) {}
};

Writer::Writer(const std::string& path, const Setup& setup) : path_(path) {
  check_new(path_);
  std::string target = path_;
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  name_ = std::filesystem::path(target).filename().string();
  dir_ = std::make_unique<talva::PrivateDir>(target);
  const std::string part = dir_->path() + "/" + name_;

  try {
    cc::TableDesc td = cc::MS::requiredTableDesc();
    cc::MS::addColumnToDesc(td, cc::MS::DATA, 2);
    td.rwColumnDesc(cc::MS::columnName(cc::MS::DATA)).setShape(cc::IPosition(2, 1, 1));
    td.rwColumnDesc(cc::MS::columnName(cc::MS::FLAG)).setShape(cc::IPosition(2, 1, 1));
    td.rwColumnDesc(cc::MS::columnName(cc::MS::WEIGHT)).setShape(cc::IPosition(1, 1));
    td.rwColumnDesc(cc::MS::columnName(cc::MS::SIGMA)).setShape(cc::IPosition(1, 1));
    cc::SetupNewTable newtab(part, td, cc::Table::New);
    cc::StandardStMan stman("SSM", 65536);
    newtab.bindAll(stman);
    impl_ = std::make_unique<Impl>(cc::MeasurementSet(newtab, 0));
    cc::MeasurementSet& ms = impl_->ms;
    ms.createDefaultSubtables(cc::Table::New);
    cc::MSColumns cols(ms);

    ms.field().addRow(1);
    auto& field = cols.field();
    field.name().put(0, setup.field);
    field.code().put(0, "");
    field.time().put(0, 0.0);
    field.numPoly().put(0, 0);
    field.delayDir().put(0, direction(setup.ra, setup.dec));
    field.phaseDir().put(0, direction(setup.ra, setup.dec));
    field.referenceDir().put(0, direction(setup.ra, setup.dec));
    field.sourceId().put(0, -1);
    field.flagRow().put(0, false);

    ms.spectralWindow().addRow(1);
    auto& spw = cols.spectralWindow();
    const double bw = std::abs(setup.channel_width);
    spw.numChan().put(0, 1);
    spw.name().put(0, "TALVA");
    spw.refFrequency().put(0, setup.frequency);
    spw.chanFreq().put(0, cc::Vector<double>(1, setup.frequency));
    spw.chanWidth().put(0, cc::Vector<double>(1, setup.channel_width));
    spw.effectiveBW().put(0, cc::Vector<double>(1, bw));
    spw.resolution().put(0, cc::Vector<double>(1, bw));
    spw.measFreqRef().put(0, cc::MFrequency::TOPO);
    spw.totalBandwidth().put(0, bw);
    spw.netSideband().put(0, 1);
    spw.ifConvChain().put(0, 0);
    spw.freqGroup().put(0, 0);
    spw.freqGroupName().put(0, "");
    spw.flagRow().put(0, false);

    ms.polarization().addRow(1);
    auto& pol = cols.polarization();
    pol.numCorr().put(0, 1);
    pol.corrType().put(0, cc::Vector<int>(1, cc::Stokes::I));
    pol.corrProduct().put(0, cc::Matrix<int>(2, 1, 0));
    pol.flagRow().put(0, false);

    ms.dataDescription().addRow(1);
    cols.dataDescription().spectralWindowId().put(0, 0);
    cols.dataDescription().polarizationId().put(0, 0);
    cols.dataDescription().flagRow().put(0, false);

    ms.processor().addRow(1);
    cols.processor().type().put(0, "CORRELATOR");
    cols.processor().subType().put(0, setup.telescope);
    cols.processor().typeId().put(0, -1);
    cols.processor().modeId().put(0, -1);
    cols.processor().flagRow().put(0, false);

    ms.observation().addRow(1);
    auto& obs = cols.observation();
    obs.telescopeName().put(0, setup.telescope);
    obs.timeRange().put(0, vec({0.0, 0.0}));
    obs.observer().put(0, "");
    obs.log().put(0, cc::Vector<cc::String>(1, ""));
    obs.scheduleType().put(0, "");
    obs.schedule().put(0, cc::Vector<cc::String>(1, ""));
    obs.project().put(0, "");
    obs.releaseDate().put(0, 0.0);
    obs.flagRow().put(0, false);

    ms.history().addRow(1);
    auto& his = cols.history();
    cc::Vector<cc::String> cli(std::max<std::size_t>(setup.history.size(), 1), "");
    for (std::size_t k = 0; k < setup.history.size(); ++k) cli[k] = setup.history[k];
    his.time().put(0, 0.0);
    his.observationId().put(0, 0);
    his.message().put(0, "converted by " + setup.application);
    his.priority().put(0, "NORMAL");
    his.origin().put(0, setup.application);
    his.objectId().put(0, 0);
    his.application().put(0, setup.application);
    his.cliCommand().put(0, cli);
    his.appParams().put(0, cli);
  } catch (const cc::AipsError& e) {
    discard();
    talva::stop("cannot create MeasurementSet " + path_ + ": " + e.what());
  }
  application_ = setup.application;
  interval_ = setup.interval;
  telescope_ = setup.telescope;
  buffer_.reserve(kBlockRows);
}

void Writer::set_antennas(const std::vector<Antenna>& antennas) {
  if (!impl_ || impl_->ms.antenna().nrow() > 0) return;
  try {
    cc::MeasurementSet& ms = impl_->ms;
    cc::MSColumns cols(ms);
    const auto nant = static_cast<cc::rownr_t>(antennas.size());
    ms.antenna().addRow(nant);
    ms.feed().addRow(nant);
    auto& ant = cols.antenna();
    auto& feed = cols.feed();
    for (cc::rownr_t k = 0; k < nant; ++k) {
      const Antenna& a = antennas[k];
      ant.name().put(k, a.name);
      ant.station().put(k, telescope_ + ":" + a.name);
      ant.type().put(k, "GROUND-BASED");
      ant.mount().put(k, "X-Y");
      ant.position().put(k, vec({a.position[0], a.position[1], a.position[2]}));
      ant.offset().put(k, vec({0.0, 0.0, 0.0}));
      ant.dishDiameter().put(k, a.dish_diameter);
      ant.flagRow().put(k, false);

      feed.antennaId().put(k, static_cast<int>(k));
      feed.feedId().put(k, 0);
      feed.spectralWindowId().put(k, -1);
      feed.time().put(k, 0.0);
      feed.interval().put(k, 0.0);
      feed.numReceptors().put(k, 1);
      feed.beamId().put(k, -1);
      feed.beamOffset().put(k, cc::Matrix<double>(2, 1, 0.0));
      feed.polarizationType().put(k, cc::Vector<cc::String>(1, "X"));
      feed.polResponse().put(k, cc::Matrix<cc::Complex>(1, 1, cc::Complex(1.0f, 0.0f)));
      feed.position().put(k, vec({0.0, 0.0, 0.0}));
      feed.receptorAngle().put(k, cc::Vector<double>(1, 0.0));
    }

  } catch (const cc::AipsError& e) {
    talva::stop("cannot write MeasurementSet " + path_ + ": " + e.what());
  }
}

// Not closed: the set goes with its private directory. Never throws (a
// table that writes itself out as it goes could fail on a full disk).
Writer::~Writer() { discard(); }

void Writer::discard() noexcept {
  if (impl_) {
    try {
      // Tables marked for deletion are removed, not written, when they go.
      cc::MeasurementSet& ms = impl_->ms;
      const cc::TableRecord& keywords = ms.keywordSet();
      for (cc::uInt k = 0; k < keywords.nfields(); ++k)
        if (keywords.type(k) == cc::TpTable) keywords.asTable(k).markForDelete();
      ms.markForDelete();
    } catch (...) {
      // the private directory below goes all the same
    }
    impl_.reset();
  }
  buffer_.clear();
  dir_.reset();
}

void Writer::note(const std::string& message) { notes_.push_back(message); }

void Writer::add(const Row& row) {
  if (rows_ == 0) {
    first_time_ = last_time_ = row.time;
  } else if (row.time != last_time_) {
    const double step = std::abs(row.time - last_time_);
    if (min_step_ == 0 || step < min_step_) min_step_ = step;
    last_time_ = row.time;
  }
  first_time_ = std::min(first_time_, row.time);
  buffer_.push_back(row);
  ++rows_;
  if (buffer_.size() >= kBlockRows) flush();
}

void Writer::flush() {
  if (buffer_.empty() || !impl_) return;
  cc::MeasurementSet& ms = impl_->ms;
  const auto n = static_cast<cc::rownr_t>(buffer_.size());
  const cc::rownr_t start = ms.nrow();
  try {
    ms.addRow(n);
    cc::MSMainColumns cols(ms);
    const cc::Slicer rows(cc::IPosition(1, static_cast<ssize_t>(start)), cc::IPosition(1, static_cast<ssize_t>(n)));
    cc::Vector<double> time(n);
    cc::Vector<int> a1(n), a2(n), zero(n, 0), minus1(n, -1), scan(n, 1);
    cc::Vector<bool> flag_row(n);
    cc::Matrix<double> uvw(3, n);
    cc::Cube<cc::Complex> data(1, 1, n);
    cc::Cube<bool> flag(1, 1, n);
    cc::Matrix<float> ones(1, n, 1.0f);
    for (cc::rownr_t k = 0; k < n; ++k) {
      const Row& r = buffer_[k];
      time[k] = r.time;
      a1[k] = r.antenna1;
      a2[k] = r.antenna2;
      for (cc::rownr_t c = 0; c < 3; ++c) uvw(c, k) = r.uvw[c];
      data(0, 0, k) = r.data;
      flag(0, 0, k) = r.flagged;
      flag_row[k] = r.flagged;
    }
    cols.time().putColumnRange(rows, time);
    cols.timeCentroid().putColumnRange(rows, time);
    cols.antenna1().putColumnRange(rows, a1);
    cols.antenna2().putColumnRange(rows, a2);
    cols.feed1().putColumnRange(rows, zero);
    cols.feed2().putColumnRange(rows, zero);
    cols.dataDescId().putColumnRange(rows, zero);
    cols.processorId().putColumnRange(rows, zero);
    cols.fieldId().putColumnRange(rows, zero);
    cols.arrayId().putColumnRange(rows, zero);
    cols.observationId().putColumnRange(rows, zero);
    cols.stateId().putColumnRange(rows, minus1);
    cols.scanNumber().putColumnRange(rows, scan);
    cols.flagRow().putColumnRange(rows, flag_row);
    cols.uvw().putColumnRange(rows, uvw);
    cols.data().putColumnRange(rows, data);
    cols.flag().putColumnRange(rows, flag);
    cols.weight().putColumnRange(rows, ones);
    cols.sigma().putColumnRange(rows, ones);
  } catch (const cc::AipsError& e) {
    talva::stop("cannot write MeasurementSet " + path_ + ": " + e.what());
  }
  buffer_.clear();
}

void Writer::close() {
  if (closed_ || !impl_) return;
  closed_ = true;
  flush();
  try {
    cc::MeasurementSet& ms = impl_->ms;
    // Integration time: as given, else the spacing of successive dumps.
    const double interval = interval_ > 0 ? interval_ : (min_step_ > 0 ? min_step_ : 1.0);
    cc::MSColumns cols(ms);
    if (ms.nrow() > 0) {
      cc::Vector<double> iv(ms.nrow(), interval);
      cols.interval().putColumn(iv);
      cols.exposure().putColumn(iv);
    }
    const double t0 = rows_ ? first_time_ - interval / 2 : 0.0, t1 = rows_ ? last_time_ + interval / 2 : 0.0;
    cols.observation().timeRange().put(0, vec({t0, t1}));
    cols.field().time().put(0, rows_ ? first_time_ : 0.0);
    cols.history().time().put(0, rows_ ? first_time_ : 0.0);
    for (cc::rownr_t k = 0; k < ms.feed().nrow(); ++k) {
      cols.feed().time().put(k, (t0 + t1) / 2);
      cols.feed().interval().put(k, t1 - t0);
    }
    for (const std::string& n : notes_) {
      const cc::rownr_t h = ms.history().nrow();
      ms.history().addRow(1);
      auto& his = cols.history();
      his.time().put(h, rows_ ? last_time_ : 0.0);
      his.observationId().put(h, 0);
      his.message().put(h, n);
      his.priority().put(h, "WARN");
      his.origin().put(h, application_);
      his.objectId().put(h, 0);
      his.application().put(h, application_);
      his.cliCommand().put(h, cc::Vector<cc::String>(1, ""));
      his.appParams().put(h, cc::Vector<cc::String>(1, ""));
    }
    ms.flush();
  } catch (const cc::AipsError& e) {
    discard();
    talva::stop("cannot write MeasurementSet " + path_ + ": " + e.what());
  }
  impl_.reset();  // closes every table
  if (!dir_->publish_tree(name_)) {
    const int err = errno;
    if (err == EEXIST || err == ENOTEMPTY) talva::stop("MeasurementSet " + path_ + " exists; it is not replaced");
    talva::stop("cannot complete MeasurementSet " + path_ + ": " + std::strerror(err));
  }
  dir_.reset();
}

}  // namespace msio
