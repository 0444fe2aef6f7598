#include "convert/driver.h"

#include <star/pal.h>

#include <algorithm>
#include <cmath>
#include <functional>
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
#include "convert/legacy_modes.h"
#include "convert/ms_output.h"
#include "convert/plot.h"
#include "convert/uv_output.h"
#include "miriad/key.h"
#include "miriad/uvio.h"
#include "util/constants.h"
#include "util/fmt.h"
#include "util/interrupt.h"
#include "util/output_file.h"
#include "util/plot_file.h"
#include "util/stop.h"

namespace {

using talva::kDegPerRad;
using talva::kMjdToJd;
using talva::kWavelength;
constexpr float kHaHoursPerRadian = 3.8197f;    // dump-header hour angle (hours) to radians
constexpr float kSiderealStep = 7.2722054e-05f; // legacy: hour-angle step per dump, radians
constexpr float kIntTime = 0.99999994f;         // legacy: seconds per dump
constexpr std::int32_t kSeed = 7654321;
constexpr int kProgressEvery = 200;

std::string key_text(const char* key, const std::string& def, miriad::KeyDoc doc) {
  std::string v;
  miriad::keya(key, v, def, doc);
  return talva::trim_right(v);
}

}  // namespace

ConverterSettings read_converter_keywords(Flavour flavour) {
  ConverterSettings s;
  const bool legacy = flavour == Flavour::Legacy;
  s.flavour = flavour;
  s.infile = key_text("infile", " ", miriad::required("the archive to convert"));
  s.corlfile = key_text("corlfile", " ", miriad::required("the correlator layout file"));
  if (legacy)
    s.phasefil = key_text("phasefil", "", miriad::required("phase table (antenna, phase in degrees) as phasesolve writes it"));
  else
    s.gnsfile = key_text("gnsfile", "", "gains file (antenna, complex gain) as gainsolve writes it; required in modes talva1a "
                         "and orvex unless gnstable= is given");
  if (!legacy)
    s.gnstable = key_text("gnstable", "",
                          "time-variable gains table (gainsolve gnstable=), applied per dump instead of gnsfile");
  s.rejects = key_text("rejects", "", "rejected products: a count, then product indices; none: no rejects");
  s.antrejct = key_text("antrejct", "", "rejected antennas: numbers 1-96; none: no rejects");
  s.uvfile = key_text("uvfile", " ", "the uv dataset to create (required without msfile)");
  miriad::keyi("reclim", s.reclim[0], 1, "first and last dump to convert, counted from 1 (last <= 1: to the end)");
  miriad::keyi("reclim", s.reclim[1], -1);
  miriad::keyd("ra", s.ra, 0.0, legacy ? "right ascension of the phase centre (J2000), hours"
                                        : "right ascension of the phase centre, hours");
  miriad::keyd("dec", s.dec, -45.0, legacy ? "declination of the phase centre (J2000), degrees"
                                           : "declination of the phase centre, degrees");
  if (legacy) {
    miriad::keyd("startha", s.startha, -6.0, "hour angle of the archive's first dump, hours");
    miriad::keyd("startmjd", s.startmjd, 53974.0, "Modified Julian Date the dump times count from, days");
  } else {
    miriad::keya("epoch", s.epoch, "J2000.0", "equinox of ra and dec: B1950 or J2000");
    s.epoch.resize(8, ' ');  // a text of 8 characters
  }
  miriad::keya("skmode", s.skmode, "talva1a",
               "correlator mode: talva1a, orvex (data); talva1b, talva1c, talva1d, talva2a, talva2b, talva3a, "
               "talva3b (simulations)");
  // The data modes apply the gains (a gains file, or a gains table);
  // the simulations go on without them.
  if (!legacy && s.gnsfile.empty() && s.gnstable.empty() && is_data_mode(find_mode(s.skmode)))
    miriad::keymissing("gnsfile", "the gains file of gainsolve, or gnstable=, for modes talva1a and orvex");
  s.mdfile = key_text("mdfile", "", "meridian-distance gain table, read with mdcorr=t");
  miriad::keyl("mdcorr", s.mdcorr, false, "divide the data by the meridian-distance gain of mdfile");
  miriad::keyr("cgap", s.cgap, 25.0f, "gap between the arms' inner ends, metres (simulations)");
  miriad::keyr("unitx", s.unitx, 17.6f, "unit length along the arm, metres (simulations)");
  miriad::keyr("unity", s.unity, 11.0f, "unit extent across the arm, metres (simulations)");
  miriad::keyi("nunit", s.nunit, 88, "number of units (simulations)");
  miriad::keyr("freq", s.freq[0], 843.0f, "sky frequency and channel width, MHz");
  miriad::keyr("freq", s.freq[1], 3.0f);
  miriad::keyr("dhr", s.dhr, 0.0f, "hour-angle offset of the simulated source, degrees");
  miriad::keyr("ddec", s.ddec, 0.0f, "declination offset of the simulated source, degrees");
  miriad::keyr("tltmin", s.tltmin, 15.0f, "smallest arm tilt allowed, degrees");
  miriad::keyr("mdmax", s.mdmax, 60.0f, "largest meridian distance allowed, degrees");
  miriad::keyl("dbgplt", s.dbgplt, false,
               legacy ? "write the unpackers' debug table talva2vis.dbg"
                      : "write the unpackers' debug table talva2vis3.dbg");
  miriad::keyi("blen", s.blen, 10, "spacing number (1-88) whose debug lines are written (mode orvex)");
  s.device = key_text("device", "/xs", "plot device of the (u, v) coverage: NAME.png/png, NAME.ps/ps, /null, /xs");
  miriad::keyi("nxy", s.nxy[0], 1, "read, not used");
  miriad::keyi("nxy", s.nxy[1], 1);
  // Inputs of the simulation modes and the natural-weighting option.
  while (miriad::keyprsnt("options", "option words: nat (natural weighting), interop (for pyuvdata and CASA)")) {
    std::string o;
    miriad::keya("options", o, "");
    s.options += (s.options.empty() ? "" : ",") + o;
  }
  miriad::keyr("ampscale", s.ampscale, 0.0f, "amplitude scale of the simulated modes (0: zero visibilities)");
  miriad::keyr("srcang", s.srcang, 0.0f, "source angle of the simulations' sinc^2 element gain, radians");
  miriad::keyr("noiselev", s.noiselev, 0.0f, "rms phase noise of mode talva1d, turns (1 = 360 degrees)");
  s.msfile = key_text("msfile", "", "MeasurementSet to write, beside the uv dataset or (without uvfile) instead of it");
  // Without msfile the uv dataset is the output, so uvfile must be given.
  if (s.uvfile.empty() && s.msfile.empty()) miriad::keymissing("uvfile", "the uv dataset to create, or msfile=");
  miriad::keyfin();
  // A dataset is a folder: "y.uv/" names y.uv.
  s.uvfile = talva::without_trailing_slashes(s.uvfile);
  s.msfile = talva::without_trailing_slashes(s.msfile);
  if (s.reclim[0] < 1) s.reclim[0] = 1;
  // Every number that reaches the dataset stays finite and means something;
  // lengths in metres, frequencies in MHz, angles in hours or degrees.
  using miriad::keyrange;
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

std::vector<double> record_positions(Flavour flavour, const ModeLayout& tc, std::span<const float> lengths) {
  const int imode = tc.imode;
  auto xpos = [&](int k) { return tc.xpos[static_cast<std::size_t>(k - 1)]; };
  const int nelem = std::clamp(tc.nelem, 0, kMaxElements);
  std::vector<double> y;
  switch (imode) {
    case kOrvex:
      // Spacing s: the pair (i0, j0) = (max(1, s - 44), s - i0 + 48), up to (44, 92).
      for (int k = 1; k <= 92; ++k) y.push_back(0.0 - xpos(k));  // empty slots: +0, not -0
      break;
    case kTalva1a:
      if (flavour == Flavour::Legacy) {
        for (int k = 1; k <= kNumAntennas; ++k) y.push_back(xpos(k));
      } else {
        y.assign(kNumClasses + 1, 0.0);
        for (std::size_t s = 1; s <= lengths.size() && s <= kNumClasses; ++s) y[s] = lengths[s - 1];
      }
      break;
    case kTalva1b:
      // Unit positions as the unpacker forms them: four elements summed as floats, times 0.25.
      for (int u = 1; u <= (nelem + 3) / 4; ++u) {
        float sum = 0.0f;
        for (int k = 4 * (u - 1) + 1; k <= 4 * u && k <= nelem; ++k) sum += static_cast<float>(xpos(k));
        y.push_back(sum * 0.25f);
      }
      break;
    case kTalva1d:
    case kTalva2b: {
      const int nbase = std::clamp(tc.nbase, 0, kMaxBaselines);
      for (int k = 0; k < nbase; ++k) {
        const int code = static_cast<int>(tc.bcode[static_cast<std::size_t>(k)]);
        const int a = code / 256, b = code % 256;
        if (b < 1) continue;
        if (static_cast<std::size_t>(b) > y.size()) y.resize(static_cast<std::size_t>(b), 0.0);
        if (a == 1) y[static_cast<std::size_t>(b - 1)] = tc.cblen[static_cast<std::size_t>(k)];
      }
      break;
    }
    default:  // talva1c, talva2a, talva3a, talva3b: every element pair
      for (int k = 1; k <= nelem; ++k) y.push_back(xpos(k));
      break;
  }
  return y;
}

ModeLayout CurrentModes::setup_mode(std::string_view mode, float unitx, int nunit, float cgap, bool natwt,
                                    talva::Output& out) {
  return ::setup_mode(mode, unitx, nunit, cgap, natwt, out);
}

std::unique_ptr<Unpacker> CurrentModes::data_unpacker(const DataInputs& in) {
  if (in.layout->imode == kOrvex) return std::make_unique<OrvexUnpacker>(in);
  return std::make_unique<Talva1a3Unpacker>(in);
}

int run_converter(const ConverterSettings& s, ConverterModes& modes, talva::Output& out,
                  std::span<RecordSink* const> extra) {
  const bool legacy = s.flavour == Flavour::Legacy;
  // Outputs: uvfile alone, msfile alone, or both (without msfile the uv
  // dataset is always made, so a blank uvfile stays an error).
  const bool uv = !s.uvfile.empty() || s.msfile.empty();
  // Outputs that cannot be created, two outputs of the run that are one
  // file, or an output that is an input, are refused before any set-up line.
  {
    talva::OutputSet names;
    for (const std::string* in : {&s.infile, &s.corlfile, &s.gnsfile, &s.phasefil, &s.rejects, &s.antrejct})
      names.input(*in);
    if (s.mdcorr) names.input(s.mdfile);
    if (uv) names.claim(s.uvfile, talva::Claim::IfPossible);
    if (!s.msfile.empty()) names.claim(s.msfile, talva::Claim::IfPossible);
    if (s.dbgplt) names.claim(debug_table_name(s.flavour));
    if (const auto plot_file = talva::plot_file_name(s.device)) names.claim(*plot_file, talva::Claim::IfPossible);
  }
  if (uv) miriad::uvcheck_new(s.uvfile, "uvfile");
  if (!s.msfile.empty()) {
    msio::check_new(s.msfile);
    msio::load_writer_module();
  }

  // Phase centre, radians.
  double ra = s.ra * 15.0 / static_cast<double>(kDegPerRad);
  double dec = s.dec / static_cast<double>(kDegPerRad);
  double start_ha = 0.0, start_jd = 0.0;
  if (legacy) {
    // legacy (1): J2000 as given; (3): start values of hour angle and date.
    start_ha = s.startha * 15.0 / static_cast<double>(kDegPerRad);
    start_jd = s.startmjd + kMjdToJd;
  } else {
    std::string epoch = s.epoch;
    epoch.resize(8, ' ');
    if (epoch.compare(0, 5, "b1950") == 0) epoch = "B1950.0 ";
    if (epoch.compare(0, 5, "j2000") == 0) epoch = "J2000.0 ";
    if (epoch.compare(0, 5, "B1950") != 0 && epoch.compare(0, 5, "J2000") != 0)
      talva::stop((talva::ListLine() << "Bad epoch: " << epoch << " Must be B1950.0 or J2000.0").str());
    out.line(talva::ListLine() << "Input Epoch = " << epoch);
    if (epoch.compare(0, 5, "B1950") == 0) {
      double r2000 = 0.0, d2000 = 0.0;
      palFk45z(ra, dec, 1950.0, &r2000, &d2000);
      ra = r2000;
      dec = d2000;
    }
  }
  const float dec_f = static_cast<float>(dec);
  SimulationInputs sim;
  sim.dhr = s.dhr / kDegPerRad;
  sim.ddec = s.ddec / kDegPerRad;

  std::optional<DebugTableSink> debug;
  if (s.dbgplt) debug.emplace(s.flavour, s.blen);

  const Site site = Site::with_limits(s.tltmin / kDegPerRad, s.mdmax / kDegPerRad);

  out.line(" wavelength : " + talva::fmt_f(kWavelength, 10, 4) + "  (m)");
  const float cgap = s.cgap / kWavelength;
  const float unitx = s.unitx / kWavelength;
  sim.unity = s.unity / kWavelength;
  const bool natwt = s.options.find("nat") != std::string::npos;
  sim.seed = kSeed;
  sim.ampscale = s.ampscale;
  sim.srcang = s.srcang;
  sim.noiselev = s.noiselev;

  const c_layout_common_t corr_layout = load_corr_layout_file_(s.corlfile, out);
  std::vector<std::int32_t> rejlist(kListCapacity), badlist(kListCapacity);
  std::int32_t nrej = 0, nbadant = 0;
  load_rejects_(s.rejects, nrej, rejlist, out);
  load_antreject_(s.antrejct, nbadant, badlist, out);
  std::vector<float> md_tbl(2 * kListCapacity);
  int nmd = 0;
  if (s.mdcorr) load_mdtable_(kListCapacity, s.mdfile, nmd, md_tbl, out);

  ArchiveReader archive(out);
  if (archive.init_archiv_(s.infile) != 0) talva::stop("init failed");
  int nant = 0, nbsln = 0;
  std::vector<std::int32_t> antnum(kMaxProducts);
  if (archive.read_header_(nant, nbsln, antnum) != 0) talva::stop("failed to read the header");
  check_layout_covers_(corr_layout, nbsln, s.corlfile);
  const ProductTable products(std::span<const std::int32_t>(antnum).first(static_cast<std::size_t>(nbsln)));

  // legacy (2): a phase table instead of complex gains.
  std::vector<std::complex<float>> gains(kGainsCapacity);
  std::vector<float> phases(kPhaseCapacity, 0.0f);
  std::optional<talva::calib::GainsTable> gains_table;
  if (legacy) {
    int status = 0;
    load_phasecal_(s.phasefil, std::min(nant, kPhaseCapacity), phases, status, out);
  } else if (!s.gnstable.empty()) {
    gains_table = talva::calib::read_gains_table(s.gnstable, kNumAntennas);
    out.line(" gains table " + s.gnstable + ": " + std::to_string(gains_table->intervals.size()) + " intervals");
  } else if (!s.gnsfile.empty()) {
    load_gains_(s.gnsfile, nant, gains, is_data_mode(find_mode(s.skmode)), out);
  }

  const ModeLayout layout = modes.setup_mode(s.skmode, unitx, s.nunit, cgap, natwt, out);
  nant = layout.nants;

  RunSetup setup;
  setup.flavour = s.flavour;
  setup.layout = &layout;
  setup.sfreq = static_cast<double>(s.freq[0]) / 1000.0;
  setup.sdf = static_cast<double>(s.freq[1]) / 1000.0;
  if (!s.gnstable.empty()) setup.history_note = "gains interpolated in time from the gains table " + s.gnstable;
  setup.ra = ra;
  setup.dec = dec;
  setup.latitude = static_cast<double>(talva::kLatitude);
  setup.longitude = static_cast<double>(talva::kLongitude);
  const float sindec = std::sin(dec_f);

  std::unique_ptr<Unpacker> unpacker;
  if (is_data_mode(layout.imode)) {
    DataInputs in;
    in.layout = &layout;
    in.corr_layout = &corr_layout;
    in.products = &products;
    in.rejects = {std::span<const std::int32_t>(rejlist).first(static_cast<std::size_t>(std::max(nrej, 0))),
                  std::span<const std::int32_t>(badlist).first(static_cast<std::size_t>(std::max(nbadant, 0)))};
    in.gains = gains;
    in.gains_table = gains_table ? &*gains_table : nullptr;
    in.phases = phases;
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
  const int nants_all =
      std::max(nant, static_cast<int>(record_positions(s.flavour, layout, unpacker->class_lengths()).size()));
  setup.positions = [&s, &layout, &unpacker, nants_all, sfreq = setup.sfreq] {
    std::vector<double> y = record_positions(s.flavour, layout, unpacker->class_lengths());
    y.resize(static_cast<std::size_t>(nants_all), 0.0);
    for (double& p : y) p /= sfreq;  // wavelengths to nanoseconds
    return y;
  };
  const bool interop = interop_requested(s.options);
  if (interop) nant = nants_all;
  setup.nants = nant;

  UvDatasetSink dataset(s.uvfile, interop);
  std::optional<MsSink> ms;
  if (!s.msfile.empty()) ms.emplace(s.msfile, static_cast<double>(s.unity), legacy ? "talva2vis" : "talva2vis3");
  UvPlotSink plot(s.device, !legacy, out);  // legacy (5): no labels
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

  std::int32_t record = 0, np = 0;
  int damaged_md = 0;
  int bad_time = 0;  // dumps whose header date or time is impossible (left out)
  constexpr int kBadTimeReports = 10;
  int archive_dumps = -1;  // known when the run read to the end of the archive
  // Meridian distance, radians; kept from dump to dump (a failed tilt
  // report of the legacy converter prints the previous dump's value).
  float md = 0.0f;
  DumpContext dump;

  for (;;) {
    if (talva::interrupt_signal() != 0) break;  // a clean point: every dump read so far is written
    ++record;
    // The dump's correlations where the reader holds them, until the next read.
    const int stat = archive.read_dump_view_(nbsln, dump.vis, 0);
    if (stat != 0) {
      if (talva::interrupt_signal() != 0) {  // the read was cut short
        --record;
        break;
      }
      out.line("read_dump returned stat " + talva::fmt_i(stat, 10) + " at rec " + talva::fmt_i(record, 5));
      archive_dumps = record - 1;
      break;
    }
    float ha = 0.0f;
    if (legacy) {
      // legacy (3): the hour angle advances by one step per dump read.
      ha = static_cast<float>(start_ha + static_cast<double>(record - 1) * static_cast<double>(kSiderealStep));
    }
    if (record < s.reclim[0]) continue;
    if (s.reclim[1] > 1 && record > s.reclim[1]) break;
    // A dump without a possible date and time has no place on the time axis
    // (an all-zero header would date it 1858): left out, and said so.
    if (!legacy) {
      if (const std::string why = archive.dump_time_problem(); !why.empty()) {
        if (++bad_time <= kBadTimeReports)
          out.line(" dump " + std::to_string(record) + ": impossible date or time in its header (" + why +
                   "); dump left out" + (bad_time == kBadTimeReports ? " (further ones counted at the end)" : ""));
        continue;
      }
    }

    if (legacy) {
      // legacy (4): meridian distance from the pointing; out of limits: skip.
      float az = 0.0f, el = 0.0f, tilt = 0.0f;
      int err = 0;
      find_tilt_md_(site, ha, dec_f, az, el, tilt, md, err, out);
      if (err != 0) {
        out.line("** find_tilt err at h = " + talva::fmt_f(ha, 10, 5));
        continue;
      }
    } else {
      float ha_hours = 0.0f;
      archive.read_dumppar_ha_(ha_hours);
      ha = ha_hours / kHaHoursPerRadian;
      archive.read_dumppar_md_inrad_(md);
      // MD sine outside -1..1 (a damaged header): no MD gain to divide by
      if (s.mdcorr && !std::isfinite(md)) {
        ++damaged_md;
        continue;
      }
    }
    float mdg = 1.0f;
    if (s.mdcorr) find_mdgain_(nmd, md_tbl, md, mdg);

    ++np;
    if (np % kProgressEvery == 0) {
      out.line(" np : " + talva::fmt_i(np, 5));
      if (!legacy)  // legacy (5): no MD line
        out.line(talva::ListLine() << "Mdt mdgain " << md << " = " << md * 180.0f / 3.1415f << mdg);
    }

    double jd = 0.0;
    if (legacy) {
      // legacy (3): one integration time per unpacked dump, in extended precision.
      jd = static_cast<double>(static_cast<long double>(start_jd) +
                               static_cast<long double>(kIntTime) * np / 86400.0L);
    } else {
      jd = archive.dump_julian_date();
    }

    dump.ha = ha;
    dump.time = jd;
    dump.md = md;
    dump.mdg = mdg;
    unpacker->unpack(dump, sinks);
    sinks.end_dump();
  }

  const int sig = talva::interrupt_signal();
  if (sinks.count() == 0) {
    // Nothing to keep: no output of this run is written.
    if (sig != 0)
      throw talva::Stop("interrupted by " + talva::signal_name(sig) + " before the first record: no file written",
                        128 + sig);
    const std::string range = "reclim=" + std::to_string(s.reclim[0]) + "," + std::to_string(s.reclim[1]);
    if (archive_dumps == 0) talva::stop(s.infile + " holds no dump: no file written");
    if (archive_dumps > 0 && archive_dumps < s.reclim[0])
      talva::stop("no dump in the range " + range + ": " + s.infile + " has " + std::to_string(archive_dumps) +
                  " dumps; no file written");
    talva::stop("no record written from the dumps of " + range + " of " + s.infile + ": no file written");
  }
  if (sig != 0) {
    // SIGINT/SIGTERM: the datasets keep the records of the dumps unpacked so
    // far (each says so in its history); nothing else is written.
    const std::string what = "interrupted by " + talva::signal_name(sig) + " after dump " + std::to_string(record);
    sinks.interrupted(what);
    publishing.publish();
    std::string kept = uv ? s.uvfile : "";
    if (ms) kept += (kept.empty() ? "" : " and ") + s.msfile;
    throw talva::Stop(what + ": " + kept + " hold" + (uv && ms ? "" : "s") +
                          " the records of the whole dumps written so far; no other file written",
                      128 + sig);
  }
  sinks.end_run();
  if (bad_time > 0)
    out.line(" " + std::to_string(bad_time) + " dumps with an impossible date or time in their header left out");
  publishing.publish();
  if (damaged_md > 0)
    out.line(" " + std::to_string(damaged_md) +
             " dumps with an MD tilt sine outside -1..1 (damaged header) left out: no MD gain");
  out.line(" np = " + talva::fmt_i(np, 8));
  out.line(" vis records written : " + talva::fmt_i(sinks.count(), 8));
  if (ms) out.line(" MeasurementSet rows : " + talva::fmt_i(static_cast<int>(ms->rows()), 8));
  return 0;
}
