#include "convert/driver.h"

#include <star/pal.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "array/rejections.h"
#include "array/s_matrix.h"
#include "calib/gains_table.h"
#include "calib/mdgain.h"
#include "convert/debug_table.h"
#include "convert/gains.h"
#include "convert/ms_output.h"
#include "convert/plot.h"
#include "convert/uv_output.h"
#include "miriad/bug.h"
#include "miriad/key.h"
#include "miriad/uvio.h"
#include "util/constants.h"
#include "util/fmt.h"
#include "util/interrupt.h"
#include "util/output_file.h"
#include "util/plot_file.h"
#include "util/stop.h"

using talva::archive::ArchiveFileHeader;
using talva::archive::ArchiveReader;
using talva::archive::Dump;
using talva::archive::DumpHeader;
using talva::array::c_layout_common_t;
using talva::array::check_layout_covers_;
using talva::array::kNumAntennas;
using talva::array::load_antreject_;
using talva::array::load_corr_layout_file_;
using talva::array::load_rejects_;
using talva::array::ProductTable;
using talva::array::RejectionList;
using talva::calib::find_mdgain_;
using talva::calib::load_mdtable_;
using talva::calib::Site;

namespace talva::convert {

namespace {

using talva::kDegPerRad;
using talva::kMjdToJd;
using talva::kWavelength;
constexpr std::int32_t kSeed = 7654321;
constexpr int kProgressEvery = 200;

std::string key_text(const char* key, const std::string& def, talva::miriad::KeyDoc doc) {
  std::string v;
  talva::miriad::keya(key, v, def, doc);
  return talva::trim_right(v);
}

// gnstable= replaces the flavour's static calibration (gnsfile, phasefil)
// and applies where gains apply per dump: talva2vis3's talva1a, both data
// modes of talva2vis. Any other combination is refused.
void check_gains_table(const ConverterSettings& s) {
  if (s.gnstable.empty()) return;
  const bool legacy = s.flavour == Flavour::Legacy;
  if (!(legacy ? s.phasefil : s.gnsfile).empty())
    talva::miriad::bug_fatal(
        legacy ? "gnstable= and phasefil= exclude each other: the phases of the gains table replace "
                 "the phase table; give one of them."
               : "gnstable= and gnsfile= exclude each other: the gains table replaces the gains file; "
                 "give one of them.");
  const int mode = find_mode(s.skmode);
  if (mode == kNoMode) return;  // the mode set-up names it
  if (!is_data_mode(mode))
    talva::miriad::bug_fatal("gnstable= applies in the data modes talva1a and orvex only: skmode=" + s.skmode +
                             " simulates its data.");
  if (!legacy && mode == kOrvex)
    talva::miriad::bug_fatal("gnstable= applies in skmode=talva1a only; skmode=orvex takes its gains from gnsfile=.");
}

}  // namespace

int Clock::bad_time() const { return undated() != nullptr ? undated()->count() : 0; }

ConverterSettings read_converter_keywords(Flavour flavour) {
  ConverterSettings s;
  const bool legacy = flavour == Flavour::Legacy;
  s.flavour = flavour;
  s.infile = key_text("infile", " ", talva::miriad::required("the archive to convert"));
  s.corlfile = key_text("corlfile", " ", talva::miriad::required("the correlator layout file"));
  if (legacy) {
    s.phasefil = key_text("phasefil", "",
                          "phase table (antenna, phase in degrees) as phasesolve writes it; required unless "
                          "gnstable= is given");
    s.gnstable = key_text("gnstable", "",
                          "time-variable gains table (gainsolve gnstable=), instead of phasefil: the phase of each "
                          "antenna's gain, interpolated per dump, corrects it; amplitudes are not applied");
    if (s.phasefil.empty() && s.gnstable.empty())
      talva::miriad::keymissing("phasefil",
                                "phase table (antenna, phase in degrees) as phasesolve writes it, or gnstable=");
  } else {
    s.gnsfile = key_text("gnsfile", "",
                         "gains file (antenna, complex gain) as gainsolve writes it; required in modes talva1a "
                         "and orvex unless gnstable= is given");
    s.gnstable = key_text("gnstable", "",
                          "time-variable gains table (gainsolve gnstable=), applied per dump instead of gnsfile");
  }
  s.rejects = key_text("rejects", "", "rejected products: a count, then product indices; none: no rejects");
  s.antrejct = key_text("antrejct", "", "rejected antennas: numbers 1-96; none: no rejects");
  s.uvfile = key_text("uvfile", " ", "the uv dataset to create (required without msfile)");
  talva::miriad::keyi("reclim", s.reclim[0], 1,
                      "first and last dump to convert, counted from 1 (last <= 1: to the end)");
  talva::miriad::keyi("reclim", s.reclim[1], -1);
  talva::miriad::keyd(
      "ra", s.ra, 0.0,
      legacy ? "right ascension of the phase centre (J2000), hours" : "right ascension of the phase centre, hours");
  talva::miriad::keyd(
      "dec", s.dec, -45.0,
      legacy ? "declination of the phase centre (J2000), degrees" : "declination of the phase centre, degrees");
  if (legacy) {
    talva::miriad::keyd("startha", s.startha, -6.0, "hour angle of the archive's first dump, hours");
    talva::miriad::keyd("startmjd", s.startmjd, 53974.0, "Modified Julian Date the dump times count from, days");
  } else {
    talva::miriad::keya("epoch", s.epoch, "J2000.0", "equinox of ra and dec: B1950 or J2000");
    s.epoch.resize(8, ' ');  // a text of 8 characters
  }
  talva::miriad::keya("skmode", s.skmode, "talva1a",
                      "correlator mode: talva1a, orvex (data); talva1b, talva1c, talva1d, talva2a, talva2b, talva3a, "
                      "talva3b (simulations)");
  // The data modes apply the gains (a gains file, or a gains table);
  // the simulations go on without them.
  if (!legacy && s.gnsfile.empty() && s.gnstable.empty() && is_data_mode(find_mode(s.skmode)))
    talva::miriad::keymissing("gnsfile", "the gains file of gainsolve, or gnstable=, for modes talva1a and orvex");
  s.mdfile = key_text("mdfile", "", "meridian-distance gain table, read with mdcorr=t");
  talva::miriad::keyl("mdcorr", s.mdcorr, false, "divide the data by the meridian-distance gain of mdfile");
  talva::miriad::keyr("cgap", s.cgap, 25.0f, "gap between the arms' inner ends, metres (simulations)");
  talva::miriad::keyr("unitx", s.unitx, 17.6f, "unit length along the arm, metres (simulations)");
  talva::miriad::keyr("unity", s.unity, 11.0f, "unit extent across the arm, metres (simulations)");
  talva::miriad::keyi("nunit", s.nunit, 88, "number of units (simulations)");
  talva::miriad::keyr("freq", s.freq[0], 843.0f, "sky frequency and channel width, MHz");
  talva::miriad::keyr("freq", s.freq[1], 3.0f);
  talva::miriad::keyr("dhr", s.dhr, 0.0f, "hour-angle offset of the simulated source, degrees");
  talva::miriad::keyr("ddec", s.ddec, 0.0f, "declination offset of the simulated source, degrees");
  talva::miriad::keyr("tltmin", s.tltmin, 15.0f, "smallest arm tilt allowed, degrees");
  talva::miriad::keyr("mdmax", s.mdmax, 60.0f, "largest meridian distance allowed, degrees");
  talva::miriad::keyl(
      "dbgplt", s.dbgplt, false,
      legacy ? "write the unpackers' debug table talva2vis.dbg" : "write the unpackers' debug table talva2vis3.dbg");
  talva::miriad::keyi("blen", s.blen, 10, "spacing number (1-88) whose debug lines are written (mode orvex)");
  s.device = key_text("device", "/xs", "plot device of the (u, v) coverage: NAME.png/png, NAME.ps/ps, /null, /xs");
  talva::miriad::keyi("nxy", s.nxy[0], 1, "read, not used");
  talva::miriad::keyi("nxy", s.nxy[1], 1);
  // Inputs of the simulation modes and the natural-weighting option.
  while (talva::miriad::keyprsnt("options", "option words: nat (natural weighting), interop (for pyuvdata and CASA)")) {
    std::string o;
    talva::miriad::keya("options", o, "");
    s.options += (s.options.empty() ? "" : ",") + o;
  }
  talva::miriad::keyr("ampscale", s.ampscale, 0.0f, "amplitude scale of the simulated modes (0: zero visibilities)");
  talva::miriad::keyr("srcang", s.srcang, 0.0f, "source angle of the simulations' sinc^2 element gain, radians");
  talva::miriad::keyr("noiselev", s.noiselev, 0.0f, "rms phase noise of mode talva1d, turns (1 = 360 degrees)");
  s.msfile = key_text("msfile", "", "MeasurementSet to write, beside the uv dataset or (without uvfile) instead of it");
  // Without msfile the uv dataset is the output, so uvfile must be given.
  if (s.uvfile.empty() && s.msfile.empty()) talva::miriad::keymissing("uvfile", "the uv dataset to create, or msfile=");
  talva::miriad::keyfin();
  check_gains_table(s);
  // A dataset is a folder: "y.uv/" names y.uv.
  s.uvfile = talva::without_trailing_slashes(s.uvfile);
  s.msfile = talva::without_trailing_slashes(s.msfile);
  if (s.reclim[0] < 1) s.reclim[0] = 1;
  // Every number that reaches the dataset stays finite and means something;
  // lengths in metres, frequencies in MHz, angles in hours or degrees.
  using talva::miriad::keyrange;
  keyrange("ra", s.ra, -24.0, 24.0);
  keyrange("dec", s.dec, -90.0, 90.0);
  if (legacy) {
    keyrange("startha", s.startha, -24.0, 24.0);
    keyrange("startmjd", s.startmjd, 0.0, 100000.0);
  }
  keyrange("cgap", s.cgap, 0.0, 10000.0, true);
  keyrange("unitx", s.unitx, 0.0, 10000.0, true);
  keyrange("unity", s.unity, 0.0, 10000.0, true);
  keyrange("freq", s.freq[0], 1.0, 1.0e6);
  keyrange("freq", s.freq[1], -1.0e6, 1.0e6);
  keyrange("dhr", s.dhr, -360.0, 360.0);
  keyrange("ddec", s.ddec, -180.0, 180.0);
  keyrange("tltmin", s.tltmin, 0.0, 90.0);
  keyrange("mdmax", s.mdmax, 0.0, 90.0);
  keyrange("blen", s.blen, 1, 88);
  keyrange("nxy", s.nxy[0], std::numeric_limits<int>::min(), 10);  // read, not used
  keyrange("nxy", s.nxy[1], std::numeric_limits<int>::min(), 10);
  keyrange("ampscale", s.ampscale, -1.0e6, 1.0e6);
  keyrange("srcang", s.srcang, -360.0, 360.0);
  keyrange("noiselev", s.noiselev, 0.0, 1.0e6);
  return s;
}

bool interop_requested(const std::string& options) { return options.find("interop") != std::string::npos; }

PhaseCentre phase_centre_as_given(const ConverterSettings& s) {
  return {s.ra * 15.0 / static_cast<double>(kDegPerRad), s.dec / static_cast<double>(kDegPerRad)};
}

PhaseCentre CurrentModes::phase_centre(const ConverterSettings& s, talva::Output& out) {
  PhaseCentre c = phase_centre_as_given(s);
  std::string epoch = s.epoch;
  epoch.resize(8, ' ');
  if (epoch.compare(0, 5, "b1950") == 0) epoch = "B1950.0 ";
  if (epoch.compare(0, 5, "j2000") == 0) epoch = "J2000.0 ";
  if (epoch.compare(0, 5, "B1950") != 0 && epoch.compare(0, 5, "J2000") != 0)
    talva::stop((talva::ListLine() << "Bad epoch: " << epoch << " Must be B1950.0 or J2000.0").str());
  out.line(talva::ListLine() << "Input Epoch = " << epoch);
  if (epoch.compare(0, 5, "B1950") == 0) {
    double r2000 = 0.0, d2000 = 0.0;
    palFk45z(c.ra, c.dec, 1950.0, &r2000, &d2000);
    c = {r2000, d2000};
  }
  return c;
}

talva::calib::GainsTable load_gains_table(const std::string& path, talva::Output& out) {
  talva::calib::GainsTable table = talva::calib::read_gains_table(path, kNumAntennas);
  out.line(" gains table " + path + ": " + std::to_string(table.intervals.size()) + " intervals");
  return table;
}

Calibration CurrentModes::load_calibration(const ConverterSettings& s, int nant, talva::Output& out) {
  Calibration cal;
  if (!s.gnstable.empty()) {
    cal.gains_table = load_gains_table(s.gnstable, out);
    cal.history_note = "gains interpolated in time from the gains table " + s.gnstable;
  } else if (!s.gnsfile.empty()) {
    load_gains_(s.gnsfile, nant, cal.gains, is_data_mode(find_mode(s.skmode)), out);
  }
  return cal;
}

namespace {

// talva2vis3's clock: hour angle, meridian distance and date from each
// dump's header. A dump whose header has no possible date and time has no
// place on the time axis (an all-zero header would date it 1858), and with
// mdcorr=t one whose meridian distance is damaged has no MD gain: both are
// left out.
class HeaderClock final : public Clock {
 public:
  explicit HeaderClock(bool mdcorr) : mdcorr_(mdcorr) {}

  bool place(int record, const DumpHeader& header, DumpContext& dump, talva::Output& out) override {
    if (!header.time_problem.empty()) {
      undated_.left_out(record, header.time_problem, out);
      return false;
    }
    dump.ha = header.ha_rad;
    dump.md = header.md_rad;
    // MD sine outside -1..1 (a damaged header): no MD gain to divide by
    if (mdcorr_ && !std::isfinite(dump.md)) {
      ++damaged_md_;
      return false;
    }
    return true;
  }
  double julian_date(int /*np*/, const DumpHeader& header) const override { return header.jd; }
  void progress(const DumpContext& dump, talva::Output& out) const override {
    out.line(talva::ListLine() << "Mdt mdgain " << dump.md << " = " << dump.md * 180.0f / talva::kProgressLinePi
                               << dump.mdg);
  }
  const talva::archive::UndatedDumps* undated() const override { return &undated_; }
  int damaged_md() const override { return damaged_md_; }

 private:
  bool mdcorr_;
  talva::archive::UndatedDumps undated_;
  int damaged_md_ = 0;
};

// The output names of a run: outputs that cannot be created, two outputs of
// the run that are one file, or an output that is an input, are refused
// before any set-up line; then the uv dataset and the MeasurementSet are
// checked new (and the MeasurementSet writer loaded).
void claim_outputs(const ConverterSettings& s, bool uv) {
  {
    talva::OutputSet names;
    for (const std::string* in :
         {&s.infile, &s.corlfile, &s.gnsfile, &s.gnstable, &s.phasefil, &s.rejects, &s.antrejct})
      names.input(*in);
    if (s.mdcorr) names.input(s.mdfile);
    if (uv) names.claim(s.uvfile, talva::Claim::IfPossible);
    if (!s.msfile.empty()) names.claim(s.msfile, talva::Claim::IfPossible);
    if (s.dbgplt) names.claim(debug_table_name(s.flavour));
    if (const auto plot_file = talva::plot_file_name(s.device)) names.claim(*plot_file, talva::Claim::IfPossible);
  }
  if (uv) talva::miriad::uvcheck_new(s.uvfile, "uvfile");
  if (!s.msfile.empty()) {
    talva::msio::check_new(s.msfile);
    talva::msio::load_writer_module();
  }
}

// The inputs of a run read before the archive: the correlator layout, the
// rejection lists and the MD table.
struct RunInputs {
  c_layout_common_t corr_layout;
  RejectionList products = RejectionList::with_capacity(kListCapacity);
  RejectionList antennas = RejectionList::with_capacity(kListCapacity);
  std::vector<float> md_tbl = std::vector<float>(2 * kListCapacity);
  int nmd = 0;

  RunInputs(const ConverterSettings& s, talva::Output& out) : corr_layout(load_corr_layout_file_(s.corlfile, out)) {
    load_rejects_(s.rejects, products.count, products.entries, out);
    load_antreject_(s.antrejct, antennas.count, antennas.entries, out);
    if (s.mdcorr) load_mdtable_(kListCapacity, s.mdfile, nmd, md_tbl, out);
  }
  RejectLists rejects() const { return {products.used(), antennas.used()}; }
};

// The simulated source of the keywords (lengths in wavelengths, angles in radians).
SimulationInputs simulation_inputs(const ConverterSettings& s) {
  SimulationInputs sim;
  sim.dhr = s.dhr / kDegPerRad;
  sim.ddec = s.ddec / kDegPerRad;
  sim.unity = s.unity / kWavelength;
  sim.seed = kSeed;
  sim.ampscale = s.ampscale;
  sim.srcang = s.srcang;
  sim.noiselev = s.noiselev;
  return sim;
}

// What ends a run after its last dump: the count of dumps read, and why no
// record may have come.
struct LoopEnd {
  std::int32_t record = 0;  // dumps read (the last one counted)
  std::int32_t np = 0;      // dumps unpacked
  int archive_dumps = -1;   // known when the run read to the end of the archive
};

// The dump loop: read -> place on the clock -> MD gain -> unpack -> sinks,
// for every dump of the range, until the archive ends or a signal comes.
LoopEnd convert_dumps(const ConverterSettings& s, ArchiveReader& archive, Clock& clock, const RunInputs& inputs,
                      Unpacker& unpacker, SinkList& sinks, talva::Output& out) {
  LoopEnd end;
  // The meridian distance is kept from dump to dump (a failed tilt report
  // of the legacy converter prints the previous dump's value).
  DumpContext dump;
  for (;;) {
    if (talva::interrupt_signal() != 0) break;  // a clean point: every dump read so far is written
    ++end.record;
    // The dump's correlations where the reader holds them, until the next read.
    const std::optional<Dump> read = archive.next();
    if (!read) {
      if (talva::interrupt_signal() != 0) {  // the read was cut short
        --end.record;
        break;
      }
      out.line("read_dump returned stat " + talva::fmt_i(-1, 10) + " at rec " + talva::fmt_i(end.record, 5));
      end.archive_dumps = end.record - 1;
      break;
    }
    if (end.record < s.reclim[0]) continue;
    if (s.reclim[1] > 1 && end.record > s.reclim[1]) break;
    dump.vis = read->vis;
    if (!clock.place(end.record, read->header, dump, out)) continue;
    dump.mdg = 1.0f;
    if (s.mdcorr) find_mdgain_(inputs.nmd, inputs.md_tbl, dump.md, dump.mdg);

    ++end.np;
    if (end.np % kProgressEvery == 0) {
      out.line(" np : " + talva::fmt_i(end.np, 5));
      clock.progress(dump, out);
    }
    dump.time = clock.julian_date(end.np, read->header);
    if (end.np == 1) unpacker.print_setup();
    unpacker.unpack(dump, sinks);
    sinks.end_dump();
  }
  return end;
}

// A run without a record publishes nothing: the stop says why.
[[noreturn]] void stop_without_records(const ConverterSettings& s, const LoopEnd& end, int sig) {
  if (sig != 0)
    throw talva::Stop("interrupted by " + talva::signal_name(sig) + " before the first record: no file written",
                      128 + sig);
  const std::string range = "reclim=" + std::to_string(s.reclim[0]) + "," + std::to_string(s.reclim[1]);
  if (end.archive_dumps == 0) talva::stop(s.infile + " holds no dump: no file written");
  if (end.archive_dumps > 0 && end.archive_dumps < s.reclim[0])
    talva::stop("no dump in the range " + range + ": " + s.infile + " has " + std::to_string(end.archive_dumps) +
                " dumps; no file written");
  talva::stop("no record written from the dumps of " + range + " of " + s.infile + ": no file written");
}

}  // namespace

std::unique_ptr<Clock> CurrentModes::clock(const ConverterSettings& s, const Site& /*site*/, float /*dec*/) {
  return std::make_unique<HeaderClock>(s.mdcorr);
}

ModeLayout CurrentModes::setup_mode(std::string_view mode, float unitx, int nunit, float cgap, bool natwt,
                                    talva::Output& out) {
  return convert::setup_mode(mode, unitx, nunit, cgap, natwt, out);
}

std::unique_ptr<Unpacker> CurrentModes::data_unpacker(const DataInputs& in) {
  if (in.layout->imode == kOrvex) return std::make_unique<OrvexUnpacker>(in);
  return std::make_unique<Talva1a3Unpacker>(in);
}

int run_converter(const ConverterSettings& s, ConverterModes& modes, talva::Output& out,
                  std::span<RecordSink* const> extra) {
  // Outputs: uvfile alone, msfile alone, or both (without msfile the uv
  // dataset is always made, so a blank uvfile stays an error).
  const bool uv = !s.uvfile.empty() || s.msfile.empty();
  claim_outputs(s, uv);
  const PhaseCentre centre = modes.phase_centre(s, out);
  const float dec_f = static_cast<float>(centre.dec);
  std::optional<DebugTableSink> debug;
  if (s.dbgplt) debug.emplace(s.flavour, s.blen, find_mode(mode_text20(s.skmode)) == kOrvex);
  const Site site = Site::with_limits(s.tltmin / kDegPerRad, s.mdmax / kDegPerRad);
  out.line(" wavelength : " + talva::fmt_f(kWavelength, 10, 4) + "  (m)");
  const SimulationInputs sim = simulation_inputs(s);

  // Inputs: layout, rejection lists, MD table, the archive's header, the calibration.
  const RunInputs inputs(s, out);
  ArchiveReader archive(s.infile, out);
  const ArchiveFileHeader& file = archive.file_header();
  check_layout_covers_(inputs.corr_layout, file.nbsln, s.corlfile);
  const ProductTable products(file.antnum);
  const Calibration cal = modes.load_calibration(s, file.nant, out);

  // The mode and its unpacker.
  const ModeLayout layout = modes.setup_mode(s.skmode, s.unitx / kWavelength, s.nunit, s.cgap / kWavelength,
                                             s.options.find("nat") != std::string::npos, out);
  RunSetup setup;
  setup.flavour = s.flavour;
  setup.layout = &layout;
  setup.sfreq = static_cast<double>(s.freq[0]) / 1000.0;
  setup.sdf = static_cast<double>(s.freq[1]) / 1000.0;
  setup.history_note = cal.history_note;
  setup.ra = centre.ra;
  setup.dec = centre.dec;
  setup.latitude = static_cast<double>(talva::kLatitude);
  setup.longitude = static_cast<double>(talva::kLongitude);
  const float sindec = std::sin(dec_f);
  std::unique_ptr<Unpacker> unpacker;
  if (is_data_mode(layout.imode)) {
    DataInputs in;
    in.layout = &layout;
    in.corr_layout = &inputs.corr_layout;
    in.products = &products;
    in.rejects = inputs.rejects();
    in.gains = cal.gains;
    in.gains_table = cal.gains_table ? &*cal.gains_table : nullptr;
    in.phases = cal.phases;
    // the debug table lists the pairs; talva2vis's talva1a writes them as rows
    in.pair_terms = s.dbgplt || (!s.msfile.empty() && ms_rows_per_pair(s.flavour, layout.imode));
    in.sfreq = setup.sfreq;
    in.sindec = sindec;
    in.out = &out;
    unpacker = modes.data_unpacker(in);
  } else {
    unpacker = std::make_unique<SimulationUnpacker>(layout, sim, setup.sfreq, sindec);
  }

  // Datasets for other readers and the MeasurementSet: every antenna number
  // the records use, at positions that agree with the records.
  setup.positions = unpacker->positions();
  const int nants_all = std::max(layout.nants, static_cast<int>(setup.positions.size()));
  setup.positions.resize(static_cast<std::size_t>(nants_all), 0.0);
  for (double& p : setup.positions) p /= setup.sfreq;  // wavelengths to nanoseconds
  const bool interop = interop_requested(s.options);
  setup.nants = interop ? nants_all : layout.nants;

  // The outputs.
  UvDatasetSink dataset(s.uvfile, interop);
  std::optional<MsSink> ms;
  if (!s.msfile.empty())
    ms.emplace(s.msfile, static_cast<double>(s.unity), s.flavour == Flavour::Legacy ? "talva2vis" : "talva2vis3",
               ms_rows_per_pair(s.flavour, layout.imode));
  const bool current = s.flavour == Flavour::Current;  // talva2vis: no title, one colour
  UvPlotSink plot(s.device, {current, is_data_mode(layout.imode), current && layout.imode == kTalva1a}, out);
  SinkList sinks;
  // The MeasurementSet publishes first: its closing writes can still fail.
  if (ms) sinks.add(*ms, true);
  if (uv) sinks.add(dataset);
  sinks.add(plot);
  if (debug) sinks.add(*debug);
  for (RecordSink* e : extra) sinks.add(*e);
  talva::stop_if_interrupted(": no file written");
  // A stop anywhere below drops every output of the run.
  PublishGuard publishing(sinks, out);
  sinks.begin_run(setup);

  const std::unique_ptr<Clock> clock = modes.clock(s, site, dec_f);
  const LoopEnd end = convert_dumps(s, archive, *clock, inputs, *unpacker, sinks, out);

  const int sig = talva::interrupt_signal();
  if (sinks.count() == 0) stop_without_records(s, end, sig);
  if (sig != 0) {
    // SIGINT/SIGTERM: the datasets keep the records of the dumps unpacked so
    // far (each says so in its history); nothing else is written.
    const std::string what = "interrupted by " + talva::signal_name(sig) + " after dump " + std::to_string(end.record);
    sinks.interrupted(what);
    publishing.publish();
    std::string kept = uv ? s.uvfile : "";
    if (ms) kept += (kept.empty() ? "" : " and ") + s.msfile;
    throw talva::Stop(what + ": " + kept + " hold" + (uv && ms ? "" : "s") +
                          " the records of the whole dumps written so far; no other file written",
                      128 + sig);
  }
  sinks.end_run();
  if (clock->bad_time() > 0) out.line(clock->undated()->summary());
  publishing.publish();
  if (clock->damaged_md() > 0)
    out.line(" " + std::to_string(clock->damaged_md()) +
             " dumps with an MD tilt sine outside -1..1 (damaged header) left out: no MD gain");
  out.line(" np = " + talva::fmt_i(end.np, 8));
  out.line(" vis records written : " + talva::fmt_i(sinks.count(), 8));
  if (ms) out.line(" MeasurementSet rows : " + talva::fmt_i(static_cast<int>(ms->rows()), 8));
  return 0;
}

}  // namespace talva::convert
