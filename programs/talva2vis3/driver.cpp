#include "programs/talva2vis3/driver.h"

#include <star/pal.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "array/rejections.h"
#include "array/s_matrix.h"
#include "calib/mdgain.h"
#include "miriad/key.h"
#include "miriad/uvio.h"
#include "programs/talva2vis3/gains.h"
#include "programs/talva2vis3/modes.h"
#include "programs/talva2vis3/ms_output.h"
#include "programs/talva2vis3/plot.h"
#include "programs/talva2vis3/records.h"
#include "programs/talva2vis3/uv_output.h"
#include "util/fmt.h"
#include "util/stop.h"

namespace {

constexpr float kLatitude = -0.61735f;          // site latitude, radians
constexpr float kPiF = 3.1415927f;
constexpr float kHaHoursPerRadian = 3.8197f;    // dump-header hour angle (hours) to radians
constexpr float kSiderealStep = 7.2722054e-05f; // legacy: hour-angle step per dump, radians
constexpr float kIntTime = 0.99999994f;         // legacy: seconds per dump
constexpr double kMjdToJd = 2400000.5;
constexpr std::int32_t kSeed = 7654321;
constexpr int kProgressEvery = 200;

std::string key_text(const char* key, const std::string& def, miriad::KeyDoc doc) {
  std::string v;
  miriad::keya(key, v, def, doc);
  return talva::trim_right(v);
}

// The debug table (output unit 66): written under a temporary name and
// renamed when the run closes it.
class DebugTable {
 public:
  explicit DebugTable(std::string name) : name_(std::move(name)), tmp_(name_ + ".part"), out_(tmp_) {
    if (!out_) talva::stop("cannot create the debug table " + tmp_);
  }
  ~DebugTable() {
    out_.close();
    std::error_code ec;
    std::filesystem::rename(tmp_, name_, ec);
  }
  std::ostream& stream() { return out_; }

 private:
  std::string name_, tmp_;
  std::ofstream out_;
};

}  // namespace

const char* debug_table_name(Flavour flavour) {
  return flavour == Flavour::Legacy ? "talva2vis.dbg" : "talva2vis3.dbg";
}

ConverterSettings read_converter_keywords(Flavour flavour) {
  ConverterSettings s;
  const bool legacy = flavour == Flavour::Legacy;
  s.flavour = flavour;
  s.infile = key_text("infile", " ", miriad::required("the archive to convert"));
  s.corlfile = key_text("corlfile", " ", miriad::required("the correlator layout file"));
  if (legacy)
    s.phasefil = key_text("phasefil", "", "phase table (antenna, phase in degrees) as phasesolve writes it; none: 0");
  else
    s.gnsfile = key_text("gnsfile", "X", "gains file (antenna, complex gain) as gainsolve writes it");
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

std::span<const float> CurrentModes::class_lengths() const {
  if (first_ != 0) return {};  // not set up yet
  return std::span<const float>(talva1a_run_.lengths).first(static_cast<std::size_t>(talva1a_run_.nclass));
}

bool interop_requested(const std::string& options) { return options.find("interop") != std::string::npos; }

std::vector<double> record_positions(Flavour flavour, int imode, std::span<const float> lengths) {
  const auto& tc = talva_common_;
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

void CurrentModes::setup_mode(std::string_view mode, float unitx, int& nunit, int& nants, float cgap, int& imode) {
  ::setup_mode(mode, unitx, nunit, nants, cgap, imode);
}

void CurrentModes::talva1a(float ha, double time, const DumpData& d, const Calibration& cal, std::int32_t& nrec,
                           std::int32_t np, float mdg) {
  mode_talva1a3(talva1a_run_, ha, time, d, cal.gains, nrec, np, mdg, first_);
}

void CurrentModes::orvex(float ha, double time, const DumpData& d, const Calibration& cal, std::int32_t& nrec,
                         std::int32_t np, float mdg) {
  mode_orvex(orvex_run_, ha, time, d, cal.gains, nrec, np, mdg);
}

int run_converter(const ConverterSettings& s, ConverterModes& modes) {
  const bool legacy = s.flavour == Flavour::Legacy;
  auto& tc = talva_common_;
  // Outputs that cannot be created are refused before any set-up line.
  if (!s.uvfile.empty() || s.msfile.empty()) miriad::uvcheck_new(s.uvfile, "uvfile");
  if (!s.msfile.empty()) msio::check_new(s.msfile);

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
    (talva::ListLine() << "Input Epoch = " << epoch).print();
    if (epoch.compare(0, 5, "B1950") == 0) {
      double r2000 = 0.0, d2000 = 0.0;
      palFk45z(ra, dec, 1950.0, &r2000, &d2000);
      ra = r2000;
      dec = d2000;
    }
  }
  const float dec_f = static_cast<float>(dec);
  tc.dhr = s.dhr / kDegPerRad;
  tc.ddec = s.ddec / kDegPerRad;

  std::optional<DebugTable> debug;
  dbg_common_.dbgplt = s.dbgplt;
  dbg_common_.blen = s.blen;
  dbg_common_.table = nullptr;
  if (s.dbgplt) {
    debug.emplace(debug_table_name(s.flavour));
    dbg_common_.table = &debug->stream();
    debug->stream() << " ant ID1, 2    phase 1, 2     amp  phase \n";
  }

  site_common_.tltmin = s.tltmin / kDegPerRad;
  site_common_.tltmax = kPiF - site_common_.tltmin;
  site_common_.mdmax = s.mdmax / kDegPerRad;
  site_common_.latitude = kLatitude;

  talva::put_line(" wavelength : " + talva::fmt_f(kWavelength, 10, 4) + "  (m)");
  const float cgap = s.cgap / kWavelength;
  const float unitx = s.unitx / kWavelength;
  tc.unity = s.unity / kWavelength;
  tc.natwt = s.options.find("nat") != std::string::npos ? 1 : 0;
  tc.seed = kSeed;
  tc.ampscale = s.ampscale;
  tc.srcang = s.srcang;
  tc.noiselev = s.noiselev;

  load_corr_layout_file_(s.corlfile);
  std::vector<std::int32_t> rejlist(kListCapacity), badlist(kListCapacity);
  std::int32_t nrej = 0, nbadant = 0;
  load_rejects_(s.rejects, nrej, rejlist);
  load_antreject_(s.antrejct, nbadant, badlist);
  std::vector<float> md_tbl(2 * kListCapacity);
  int nmd = 0;
  if (s.mdcorr) load_mdtable_(kListCapacity, s.mdfile, nmd, md_tbl);

  if (init_archiv_(s.infile.c_str()) != 0) talva::stop("init failed");
  int nant = 0, nbsln = 0;
  std::vector<std::int32_t> antnum(kMaxProducts);
  if (read_header_(nant, nbsln, antnum) != 0) talva::stop("failed to read the header");
  check_layout_covers_(nbsln, s.corlfile);
  const ProductTable products(std::span<const std::int32_t>(antnum).first(static_cast<std::size_t>(nbsln)));

  // legacy (2): a phase table instead of complex gains.
  std::vector<std::complex<float>> gains(kGainsCapacity);
  std::vector<float> phases(kPhaseCapacity, 0.0f);
  if (legacy) {
    int status = 0;
    load_phasecal_(s.phasefil, std::min(nant, kPhaseCapacity), phases, status);
  } else {
    load_gains_(s.gnsfile, nant, gains);
  }

  int nunit = s.nunit, imode = kNoMode;
  modes.setup_mode(s.skmode, unitx, nunit, nant, cgap, imode);

  tc.sfreq = static_cast<double>(s.freq[0]) / 1000.0;
  const double sdf = static_cast<double>(s.freq[1]) / 1000.0;
  tc.nchan = 1;

  // Datasets for other readers and the MeasurementSet: every antenna number
  // the records use, at positions that agree with the records.
  uv_interop_ = uv_interop_t{};
  struct InteropReset {  // the position source refers to this run's state
    ~InteropReset() { uv_interop_ = uv_interop_t{}; }
  } interop_reset;
  const int nants_all =
      std::max(nant, static_cast<int>(record_positions(s.flavour, imode, modes.class_lengths()).size()));
  auto positions = [&s, &modes, imode, nants_all] {
    std::vector<double> y = record_positions(s.flavour, imode, modes.class_lengths());
    y.resize(static_cast<std::size_t>(nants_all), 0.0);
    for (double& p : y) p /= talva_common_.sfreq;  // wavelengths to nanoseconds
    return y;
  };
  uv_interop_.ra = ra;
  uv_interop_.dec = dec;
  if (interop_requested(s.options)) {
    nant = nants_all;
    uv_interop_.on = true;
    uv_interop_.positions = positions;
  }
  // Outputs: uvfile alone, msfile alone, or both (without msfile the uv
  // dataset is always made, so a blank uvfile stays an error).
  uv_interop_.uv = !s.uvfile.empty() || s.msfile.empty();

  UvHeader header;
  header.nants = nant;
  header.ra = ra;
  header.dec = dec;
  header.sfreq = tc.sfreq;
  header.sdf = sdf;
  if (uv_interop_.uv) tc.tno = create_uv_dataset(s.uvfile, header);
  miriad::UvCloser closer(tc.tno);  // a fatal stop still leaves a readable dataset
  std::optional<MsOutput> ms;  // likewise closed on a fatal stop, with the rows written
  if (!s.msfile.empty()) {
    ms.emplace(MsOutput::Setup{s.msfile, ra, dec, tc.sfreq, sdf, s.unity, legacy ? "talva2vis" : "talva2vis3",
                               positions});
    uv_interop_.ms = [&ms](const OutputRecord& r) { ms->add(r); };
  }

  UvPlot plot;
  plot.open(s.device, !legacy);  // legacy (5): no labels

  tc.cosdec = std::cos(dec_f);
  tc.sindec = std::sin(dec_f);

  std::int32_t record = 0, np = 0, nrec = 0;
  int damaged_md = 0;
  std::vector<float> vis(2 * static_cast<std::size_t>(kMaxProducts));
  DumpData dump;
  dump.nbsln = nbsln;
  dump.vis = std::span<const float>(vis).first(2 * static_cast<std::size_t>(nbsln));
  dump.antnum = std::span<const std::int32_t>(antnum).first(static_cast<std::size_t>(nbsln));
  dump.products = &products;
  dump.rejects = {nrej, std::span<const std::int32_t>(rejlist), nbadant, std::span<const std::int32_t>(badlist)};
  dump.plot = &plot;
  Calibration cal{gains, phases};

  for (;;) {
    ++record;
    const int stat = read_dump_(nbsln, vis, 0);
    if (stat != 0) {
      talva::put_line("read_dump returned stat " + talva::fmt_i(stat, 10) + " at rec " + talva::fmt_i(record, 5));
      break;
    }
    float ha = 0.0f;
    if (legacy) {
      // legacy (3): the hour angle advances by one step per dump read.
      ha = static_cast<float>(start_ha + static_cast<double>(record - 1) * static_cast<double>(kSiderealStep));
    }
    if (record < s.reclim[0]) continue;
    if (s.reclim[1] > 1 && record > s.reclim[1]) break;

    if (legacy) {
      // legacy (4): meridian distance from the pointing; out of limits: skip.
      float az = 0.0f, el = 0.0f, tilt = 0.0f;
      int err = 0;
      find_tilt_md_(ha, dec_f, az, el, tilt, tc.md, err);
      if (err != 0) {
        talva::put_line("** find_tilt err at h = " + talva::fmt_f(ha, 10, 5));
        continue;
      }
    } else {
      float ha_hours = 0.0f;
      read_dumppar_ha_(ha_hours);
      ha = ha_hours / kHaHoursPerRadian;
      read_dumppar_md_inrad_(tc.md);
      // MD sine outside -1..1 (a damaged header): no MD gain to divide by
      if (s.mdcorr && !std::isfinite(tc.md)) {
        ++damaged_md;
        continue;
      }
    }
    float mdg = 1.0f;
    if (s.mdcorr) find_mdgain_(nmd, md_tbl, tc.md, mdg);

    ++np;
    if (np % kProgressEvery == 0) {
      talva::put_line(" np : " + talva::fmt_i(np, 5));
      if (!legacy)  // legacy (5): no MD line
        (talva::ListLine() << "Mdt mdgain " << tc.md << " = " << tc.md * 180.0f / 3.1415f << mdg).print();
    }

    double jd = 0.0;
    if (legacy) {
      // legacy (3): one integration time per unpacked dump, in extended precision.
      jd = static_cast<double>(static_cast<long double>(start_jd) +
                               static_cast<long double>(kIntTime) * np / 86400.0L);
    } else {
      int hr = 0, mi = 0, sec = 0, yr = 0, mo = 0, dy = 0;
      read_dumppar_time_(hr, mi, sec);
      read_dumppar_date_(yr, mo, dy);
      double mjd = 0.0;
      int j = 0;
      palCldj(yr, mo, dy, &mjd, &j);
      jd = mjd + ((sec / 60.0 + mi) / 60.0 + hr) / 24.0 + kMjdToJd;
    }

    switch (imode) {
      case kTalva1a: modes.talva1a(ha, jd, dump, cal, nrec, np, mdg); break;
      case kOrvex: modes.orvex(ha, jd, dump, cal, nrec, np, mdg); break;
      default: nrec += unpack_simulation(imode, ha, jd); break;
    }
  }

  if (uv_interop_.uv) close_uv_dataset(tc.tno);
  if (ms) ms->close();
  plot.close();
  if (damaged_md > 0)
    talva::put_line(" " + std::to_string(damaged_md) +
                    " dumps with an MD tilt sine outside -1..1 (damaged header) left out: no MD gain");
  talva::put_line(" np = " + talva::fmt_i(np, 8));
  talva::put_line(" vis records written : " + talva::fmt_i(nrec, 8));
  if (ms) talva::put_line(" MeasurementSet rows : " + talva::fmt_i(static_cast<int>(ms->rows()), 8));
  return 0;
}
