#include "msio/ms_writer.h"

#include <casacore/casa/Arrays/ArrayMath.h>
#include <casacore/casa/Arrays/Cube.h>
#include <casacore/casa/Arrays/Matrix.h>
#include <casacore/casa/Arrays/Vector.h>
#include <casacore/measures/Measures/MFrequency.h>
#include <casacore/measures/Measures/Stokes.h>
#include <casacore/ms/MeasurementSets/MSColumns.h>
#include <casacore/ms/MeasurementSets/MeasurementSet.h>
#include <casacore/tables/DataMan/DataManager.h>
#include <casacore/tables/DataMan/IncrementalStMan.h>
#include <casacore/tables/DataMan/StandardStMan.h>
#include <casacore/tables/DataMan/TiledColumnStMan.h>
#include <casacore/tables/Tables/SetupNewTab.h>
#include <casacore/tables/Tables/TableDesc.h>
#include <casacore/tables/Tables/TableRecord.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "util/background_sync.h"
#include "util/private_dir.h"
#include "util/stop.h"

namespace talva::msio {

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

// Where the main table's columns are kept. Every column is written a block
// of rows at a time, by storage managers suited to what it holds:
// - DATA and FLAG, and UVW: tiled (TiledColumnStMan), one tile per block of
//   rows, so that a block is one contiguous write and an imager reading the
//   rows in order reads whole tiles;
// - ANTENNA1 and ANTENNA2 (a new value in every row): StandardStMan;
// - the rest (the times, which change once per dump, the flags of whole
//   rows, the constants, and FLAG_CATEGORY, never written): IncrementalStMan,
//   which stores a value only where it differs from the row before; a row
//   not written holds the value of the row before, so only the changes are put.
// Each manager's cache holds about one block, whatever the set's length.
constexpr unsigned kBucketBytes = 32768;  // StandardStMan and IncrementalStMan buckets
constexpr cc::uInt64 kTileCacheBytes = 1u << 20;

void bind_storage(cc::SetupNewTable& newtab) {
  cc::StandardStMan ssm("SSM", kBucketBytes, 2);
  newtab.bindAll(ssm);
  cc::IncrementalStMan ism("ISM", kBucketBytes, false, 2);
  for (auto c :
       {cc::MS::TIME, cc::MS::TIME_CENTROID, cc::MS::INTERVAL, cc::MS::EXPOSURE, cc::MS::FEED1, cc::MS::FEED2,
        cc::MS::DATA_DESC_ID, cc::MS::PROCESSOR_ID, cc::MS::FIELD_ID, cc::MS::ARRAY_ID, cc::MS::OBSERVATION_ID,
        cc::MS::STATE_ID, cc::MS::SCAN_NUMBER, cc::MS::FLAG_ROW, cc::MS::WEIGHT, cc::MS::SIGMA, cc::MS::FLAG_CATEGORY})
    newtab.bindColumn(cc::MS::columnName(c), ism);
  const auto block = static_cast<ssize_t>(kBlockRows);
  cc::TiledColumnStMan data("TiledData", cc::IPosition(3, 1, 1, block), kTileCacheBytes);
  newtab.bindColumn(cc::MS::columnName(cc::MS::DATA), data);
  newtab.bindColumn(cc::MS::columnName(cc::MS::FLAG), data);
  cc::TiledColumnStMan uvw("TiledUVW", cc::IPosition(2, 3, block), kTileCacheBytes);
  newtab.bindColumn(cc::MS::columnName(cc::MS::UVW), uvw);
}

/// The required subtables, made as casacore's createDefaultSubtables makes
/// them (same tables, same keyword order) but without table locks, whose
/// every change casacore writes and syncs to a file of its own.
void create_subtables(cc::MeasurementSet& ms) {
  const cc::TableLock none(cc::TableLock::NoLocking);
  std::vector<cc::Table> open;  // kept open, so that the set takes them as they are
  auto define = [&](cc::MS::PredefinedKeywords key, const cc::String& name, const cc::TableDesc& desc) {
    cc::SetupNewTable setup(name, desc, cc::Table::New);
    open.emplace_back(setup, none);
    ms.rwKeywordSet().defineTable(cc::MS::keywordName(key), open.back());
  };
  define(cc::MS::ANTENNA, ms.antennaTableName(), cc::MSAntenna::requiredTableDesc());
  define(cc::MS::DATA_DESCRIPTION, ms.dataDescriptionTableName(), cc::MSDataDescription::requiredTableDesc());
  define(cc::MS::FEED, ms.feedTableName(), cc::MSFeed::requiredTableDesc());
  define(cc::MS::FLAG_CMD, ms.flagCmdTableName(), cc::MSFlagCmd::requiredTableDesc());
  define(cc::MS::FIELD, ms.fieldTableName(), cc::MSField::requiredTableDesc());
  define(cc::MS::HISTORY, ms.historyTableName(), cc::MSHistory::requiredTableDesc());
  define(cc::MS::OBSERVATION, ms.observationTableName(), cc::MSObservation::requiredTableDesc());
  define(cc::MS::POINTING, ms.pointingTableName(), cc::MSPointing::requiredTableDesc());
  define(cc::MS::POLARIZATION, ms.polarizationTableName(), cc::MSPolarization::requiredTableDesc());
  define(cc::MS::PROCESSOR, ms.processorTableName(), cc::MSProcessor::requiredTableDesc());
  define(cc::MS::SPECTRAL_WINDOW, ms.spectralWindowTableName(), cc::MSSpectralWindow::requiredTableDesc());
  define(cc::MS::STATE, ms.stateTableName(), cc::MSState::requiredTableDesc());
  ms.initRefs();
}

/// Puts values[k] into row start + k of an IncrementalStMan column only where
/// it differs from the row before (`last`: the value of row start - 1, when
/// `have`); the rows between hold the value of the row before them.
template <typename T>
void put_changes(cc::ScalarColumn<T>& column, cc::rownr_t start, const cc::Vector<T>& values, bool& have, T& last) {
  for (std::size_t k = 0; k < values.size(); ++k) {
    if (have && values[k] == last) continue;
    column.put(start + k, values[k]);
    last = values[k];
    have = true;
  }
}

}  // namespace

/// A file of the set flushed to the disk by a thread of its own while the
/// rows are written (as the uv writer does with visdata), so that syncing the
/// set when it is closed finds little left to do.
class FlushedFile {
 public:
  /// `bytes_per_row`: what a row adds to the file.
  FlushedFile(const std::string& path, std::size_t bytes_per_row)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), bytes_per_row_(bytes_per_row) {
    if (fd_ >= 0) sync_ = std::make_unique<talva::BackgroundSync>(fd_);
  }
  ~FlushedFile() {
    sync_.reset();
    if (fd_ >= 0) ::close(fd_);
  }
  FlushedFile(const FlushedFile&) = delete;
  FlushedFile& operator=(const FlushedFile&) = delete;
  void rows(std::size_t n) {
    if (sync_) sync_->written(n * bytes_per_row_);
  }
  /// Stops the thread; the errno of a flush that failed, or 0.
  int finish() { return sync_ ? sync_->finish() : 0; }

 private:
  int fd_;
  std::size_t bytes_per_row_;
  std::unique_ptr<talva::BackgroundSync> sync_;
};

struct Writer::Impl {
  cc::MeasurementSet ms;
  cc::MSMainColumns cols;
  /// The files that grow with the rows, once the first block made them.
  std::vector<std::unique_ptr<FlushedFile>> growing;
  // One block of rows, column by column.
  cc::Vector<double> time;
  cc::Vector<int> antenna1, antenna2;
  cc::Vector<bool> flag_row;
  cc::Matrix<double> uvw;
  cc::Cube<cc::Complex> data;
  cc::Cube<bool> flag;
  // The last value put into the time and FLAG_ROW columns.
  bool have_time = false, have_flag = false;
  double last_time = 0;
  bool last_flag = false;
  explicit Impl(cc::MeasurementSet&& set) : ms(std::move(set)), cols(ms) {}
  void write(const std::vector<Row>& rows);
  /// Stops flushing the growing files: the errno of a flush that failed, or 0.
  int finish_flushing() {
    int err = 0;
    for (auto& f : growing)
      if (const int e = f->finish(); err == 0) err = e;
    return err;
  }

 private:
  std::string file_of(const char* manager, const char* suffix) {
    return std::string(ms.findDataManager(manager)->fileName()) + suffix;
  }
};

void Writer::Impl::write(const std::vector<Row>& rows) {
  const auto n = static_cast<cc::rownr_t>(rows.size());
  const cc::rownr_t start = ms.nrow();
  ms.addRow(n);
  if (time.size() != n) {
    time.resize(n);
    antenna1.resize(n);
    antenna2.resize(n);
    flag_row.resize(n);
    uvw.resize(3, n);
    data.resize(1, 1, n);
    flag.resize(1, 1, n);
  }
  for (cc::rownr_t k = 0; k < n; ++k) {
    const Row& r = rows[k];
    time[k] = r.time;
    antenna1[k] = r.antenna1;
    antenna2[k] = r.antenna2;
    for (cc::rownr_t c = 0; c < 3; ++c) uvw(c, k) = r.uvw[c];
    data(0, 0, k) = r.data;
    flag(0, 0, k) = r.flagged;
    flag_row[k] = r.flagged;
  }
  if (start == 0) {  // the constants, held by every later row
    for (auto* c : {&cols.feed1(), &cols.feed2(), &cols.dataDescId(), &cols.processorId(), &cols.fieldId(),
                    &cols.arrayId(), &cols.observationId()})
      c->put(0, 0);
    cols.stateId().put(0, -1);
    cols.scanNumber().put(0, 1);
    cols.weight().put(0, cc::Vector<float>(1, 1.0f));
    cols.sigma().put(0, cc::Vector<float>(1, 1.0f));
  }
  double last = last_time;
  bool have = have_time;
  put_changes(cols.time(), start, time, have, last);
  put_changes(cols.timeCentroid(), start, time, have_time, last_time);
  put_changes(cols.flagRow(), start, flag_row, have_flag, last_flag);
  const cc::Slicer block(cc::IPosition(1, static_cast<ssize_t>(start)), cc::IPosition(1, static_cast<ssize_t>(n)));
  cols.antenna1().putColumnRange(block, antenna1);
  cols.antenna2().putColumnRange(block, antenna2);
  cols.uvw().putColumnRange(block, uvw);
  cols.data().putColumnRange(block, data);
  cols.flag().putColumnRange(block, flag);
  if (start == 0) {
    growing.push_back(std::make_unique<FlushedFile>(file_of("SSM", ""), 2 * sizeof(int)));
    growing.push_back(std::make_unique<FlushedFile>(file_of("TiledData", "_TSM0"), sizeof(cc::Complex)));
    growing.push_back(std::make_unique<FlushedFile>(file_of("TiledUVW", "_TSM0"), 3 * sizeof(double)));
  }
  for (auto& f : growing) f->rows(n);
}

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
    bind_storage(newtab);
    // No other process sees the set before it is published: no table locks
    // (each lock change would be written and synced to its file).
    impl_ = std::make_unique<Impl>(cc::MeasurementSet(newtab, cc::TableLock(cc::TableLock::NoLocking), 0));
    cc::MeasurementSet& ms = impl_->ms;
    create_subtables(ms);
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
  try {
    impl_->write(buffer_);
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
    if (ms.nrow() > 0) {  // held by every row (never put before)
      cols.interval().put(0, interval);
      cols.exposure().put(0, interval);
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
  const int flushed = impl_->finish_flushing();
  impl_.reset();  // closes every table
  if (flushed != 0) talva::stop("cannot write MeasurementSet " + path_ + ": " + std::strerror(flushed));
  if (!dir_->publish_tree(name_)) {
    const int err = errno;
    if (err == EEXIST || err == ENOTEMPTY) talva::stop("MeasurementSet " + path_ + " exists; it is not replaced");
    talva::stop("cannot complete MeasurementSet " + path_ + ": " + std::strerror(err));
  }
  dir_.reset();
}

}  // namespace talva::msio
