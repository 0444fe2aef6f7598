#include "programs/dumpscope/scope.h"

#include <star/pal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "calib/cx2amp.h"
#include "calib/mdgain.h"
#include "miriad/key.h"
#include "programs/dumpscope/plot.h"
#include "util/fmt.h"
#include "util/interrupt.h"
#include "util/minmax.h"
#include "util/output_file.h"
#include "util/plot_file.h"
#include "util/stop.h"
#include "util/upcase.h"

using talva::archive::ArchiveFileHeader;
using talva::archive::ArchiveOptions;
using talva::archive::ArchiveReader;
using talva::archive::Dump;
using talva::archive::DumpHeader;
using talva::array::c_layout_common_t;
using talva::array::getvis_;
using talva::array::load_corr_layout_file_;
using talva::calib::find_mdgain_;
using talva::calib::find_tilt_md_;
using talva::calib::load_mdtable_;
using talva::calib::rlim2amp_;
using talva::calib::rotate_vis_;
using talva::calib::Site;

namespace talva::dumpscope {
namespace {

constexpr int kMaxPanels = 10;  // panels across and down the page (nxy)

/// A text keyword, without trailing blanks, refused when longer than its field.
std::string text_keyword(const char* key, const std::string& def, std::size_t length, talva::miriad::KeyDoc doc) {
  std::string value;
  talva::miriad::keya(key, value, def, doc);
  std::string trimmed = talva::trim_right(value);
  if (trimmed.size() > length) {
    talva::stop(" keyword " + std::string(key) + " is longer than " + std::to_string(length) + " characters");
  }
  return trimmed;
}

}  // namespace

Settings read_settings() {
  Settings s;
  s.infile = text_keyword("infile", " ", kNameLength, talva::miriad::required("the archive to look at"));
  talva::miriad::keyi("reclim", s.r1, 1, "first and last dump to use, counted from 1 (last <= 1: to the end)");
  talva::miriad::keyi("reclim", s.r2, -1);
  talva::miriad::keyi("navrg", s.navrg, 1, "length of the running mean, dumps");
  talva::miriad::keyl("mdcorr", s.mdcorr, false, "divide by the meridian-distance gain of mdfile");
  s.mdfile = text_keyword("mdfile", " ", kNameLength, "meridian-distance gain table, read with mdcorr=t");
  talva::miriad::keyr("tltmin", s.tltmin, 15.0f, "smallest arm tilt allowed, degrees");
  talva::miriad::keyr("mdmax", s.mdmax, 60.0f, "largest meridian distance allowed, degrees");
  talva::miriad::keyl("phstrk", s.phstrk, false, "remove the fringe rotation of a source at dec");
  talva::miriad::keyr("dec", s.dec, -45.0f, "declination of the source, degrees");
  talva::miriad::keyr("ra", s.ra, 0.0f, "right ascension, hours (read, no effect)");
  talva::miriad::keyr("startha", s.startha, 0.0f, "hour angle of the first dump for the fringe model, hours");
  talva::miriad::keyr("phsoff", s.phsoff, 0.0f, "phase offset of the fringe model, degrees");
  talva::miriad::keyl("pltfrng", s.pltfrng, false, "draw the fringe-model phase over the phase plot");
  talva::miriad::keyl("pltfft", s.pltfft, false, "read, no effect");
  s.option = text_keyword("option", "ap(1e,1w)", kOptionLength,
                          "pairs: ap(n1a1,n2a2) one pair (bays 1-48, arms e/w); bs(L,a) all of length L on arm "
                          "e, w, b (both) or x (across)");
  talva::miriad::keyl("oneshot", s.oneshot, false, "one pass only (else one pass per second bay 1-44)");
  s.device = text_keyword("device", "/xs", kDeviceLength, "plot device: NAME.png/png, NAME.ps/ps, /null, /xs");
  talva::miriad::keyi("nxy", s.nx, 1, "plot panels across and down the page (up to 4,4 stay readable)");
  talva::miriad::keyi("nxy", s.ny, 1);
  talva::miriad::keyr("scale", s.scale, 1.0f, "read, no effect");
  // corlfile=, the name the other programs use, is the same keyword
  const bool corr_given = talva::miriad::keyprsnt("corrfile");
  s.corrfile = text_keyword("corrfile", "../data/corr_layout.file", kNameLength,
                            "the correlator layout file (corlfile= is the same keyword)");
  const std::string corl = text_keyword("corlfile", "", kNameLength, "the same as corrfile");
  if (!corl.empty()) {
    if (corr_given && corl != s.corrfile)
      talva::stop(" corrfile=" + s.corrfile + " and corlfile=" + corl + " name two layout files; give one");
    s.corrfile = corl;
  }
  s.layout_keyword = corl.empty() ? "corrfile" : "corlfile";
  talva::miriad::keyl("verbose", s.verbose, false, "print every dump header the archive reader decodes");
  talva::miriad::keyfin();
  using talva::miriad::keyrange;
  constexpr double kAnyBelow = std::numeric_limits<int>::min();  // navrg and nxy below 1 are taken as 1
  keyrange("navrg", s.navrg, kAnyBelow, kMaxEntries);
  keyrange("tltmin", s.tltmin, 0.0, 90.0);
  keyrange("mdmax", s.mdmax, 0.0, 90.0);
  keyrange("dec", s.dec, -90.0, 90.0);
  keyrange("ra", s.ra, -24.0, 24.0);
  keyrange("startha", s.startha, -24.0, 24.0);
  keyrange("phsoff", s.phsoff, -360.0, 360.0);
  keyrange("nxy", s.nx, kAnyBelow, kMaxPanels);
  keyrange("nxy", s.ny, kAnyBelow, kMaxPanels);

  s.dec = s.dec / kDegPerRad;
  s.tltmin = s.tltmin / kDegPerRad;
  s.mdmax = s.mdmax / kDegPerRad;
  s.phsoff = s.phsoff / kDegPerRad;
  s.ra = s.ra * 15.0f / kDegPerRad;
  s.startha = s.startha * 15.0f / kDegPerRad;
  s.r1 = std::max(s.r1, 1);
  s.navrg = std::max(s.navrg, 1);
  return s;
}

HourAngles hour_angles(const Settings& s, int n) {
  HourAngles angles;
  const auto count = static_cast<std::size_t>(std::max(n, 0));
  angles.h.resize(count);
  angles.sin_h.resize(count);
  float h = s.startha + static_cast<float>(s.r1) * kOmega;
  for (std::size_t i = 0; i < count; ++i) {
    h = h + kOmega;
    angles.h[i] = h;
    angles.sin_h[i] = std::sin(h);
  }
  return angles;
}

void fringe_and_corrections(const Settings& s, float b, const MdTable& md_table, const HourAngles& angles, Records& rec,
                            int n, float& md) {
  const Site site = Site::with_limits(s.tltmin, s.mdmax);
  talva::StdoutOutput out;
  n = std::min({n, static_cast<int>(angles.h.size()), kMaxEntries});
  rec.hold(n);
  for (int i = 0; i < n; ++i) {
    const float h = angles.h[i];
    const float arg = s.phsoff - b * angles.sin_h[i];
    const auto phi = static_cast<float>(std::fmod(static_cast<double>(arg), kTwoPi));
    float deg = -phi * kDegPerRad;
    if (deg > 180.0f) deg -= 360.0f;
    if (deg < -180.0f) deg += 360.0f;
    rec.phi[i] = deg;
    if (s.phstrk) rotate_vis_(rec.vsel[i], phi);
    if (s.mdcorr) {
      float az = 0.0f;
      float el = 0.0f;
      float tilt = 0.0f;
      int err = 0;
      find_tilt_md_(site, h, s.dec, az, el, tilt, md, err, out);
      rec.mdval[i] = md * kDegPerRad;
      if (err != 0) {
        talva::put_line("** find_tilt err at h = " + talva::fmt_f(h, 10, 5));
        continue;
      }
      float gain = 1.0f;
      find_mdgain_(md_table.count, md_table.table, md, gain);
      rec.mdgn[i] = gain;
      if (gain == 0.0f) {
        // A table gain of zero cannot be divided out: the record stays as it is.
        talva::put_line(" ** MD gain 0 at md = " + talva::fmt_f(md * kDegPerRad, 10, 3) + ": record " +
                        std::to_string(i + 1) + " left uncorrected");
        continue;
      }
      rec.vsel[i] = rec.vsel[i] / gain;
    }
  }
}

void Records::hold(int n) {
  const auto size = static_cast<std::size_t>(std::clamp(n, 0, kMaxEntries));
  if (vsel.size() >= size) return;
  vsel.resize(size);
  for (std::vector<float>* v : {&phi, &mdval, &mdgn, &xp, &yp, &zp}) v->resize(size);
}

void running_mean(Records& rec, int n, int navrg, int r1) {
  const int half = navrg / 2;
  const int rest = navrg - half - 1;
  n = std::min(n, kMaxEntries);
  rec.hold(n);
  for (int i = 1; i <= n; ++i) {
    const int lo = std::max(1, i - half);
    const int hi = std::min(n, i + rest);
    std::complex<float> sum(0.0f, 0.0f);
    for (int k = lo; k <= hi; ++k) sum += rec.vsel[k - 1];
    const std::complex<float> mean = sum / static_cast<float>(hi - lo + 1);
    float amp = 0.0f;
    float phase = 0.0f;
    rlim2amp_(mean.real(), mean.imag(), amp, phase);
    rec.xp[i - 1] = static_cast<float>(i + r1 - 1);
    rec.yp[i - 1] = amp;
    rec.zp[i - 1] = phase * kDegPerRad;
  }
}

void get_stats_r_(int capacity, std::span<const std::complex<float>> vsel, int n) {
  const int count = std::min({n, capacity, static_cast<int>(vsel.size())});
  if (count <= 0) {
    talva::put_line(" no records stored: no statistics");
    return;
  }
  float sum[3] = {0.0f, 0.0f, 0.0f};
  float sumsq[3] = {0.0f, 0.0f, 0.0f};
  int nonfinite = 0;  // records with a non-finite part (a damaged dump)
  for (int i = 0; i < count; ++i) {
    const float re = vsel[i].real();
    const float im = vsel[i].imag();
    if (!std::isfinite(re) || !std::isfinite(im)) ++nonfinite;
    const float values[3] = {re, im, std::sqrt(re * re + im * im)};
    for (int q = 0; q < 3; ++q) {
      sum[q] += values[q];
      sumsq[q] += values[q] * values[q];
    }
  }
  talva::put_line("overall statistics : mean, rms ");
  talva::put_line("  REAL;  IMAG;   ABS value");
  talva::put_line("");
  if (nonfinite > 0)
    talva::put_line(" " + std::to_string(nonfinite) + " of " + std::to_string(count) +
                    " records hold non-finite values: mean and rms not available");
  const auto nf = static_cast<float>(count);
  for (int q = 0; q < 3; ++q) {
    const float mean = sum[q] / nf;
    const float var = sumsq[q] / nf - mean * mean;
    // Non-finite values, or sums beyond single precision: no number to print.
    if (!std::isfinite(mean) || !std::isfinite(var)) {
      talva::put_line(talva::fmt_i(q + 1, 2) + "  " + "       n/a       n/a");
      continue;
    }
    // Rounding can leave a tiny negative variance for constant data.
    const float rms = var > 0.0f ? std::sqrt(var) : 0.0f;
    talva::put_line(talva::fmt_i(q + 1, 2) + "  " + talva::fmt_f(mean, 10, 3) + talva::fmt_f(rms, 10, 3));
  }
}

std::vector<std::string> dump_parameter_block(const DumpHeader& h, int rec) {
  double djm = 0.0;
  int status = 0;
  palCldj(h.year, h.mon, h.day, &djm, &status);  // a bad date leaves djm as PAL sets it
  const double mjd = djm + ((h.sec / 60.0 + h.mins) / 60.0 + h.hr) / 24.0;

  std::vector<std::string> lines;
  auto add = [&](const talva::ListLine& l) { lines.push_back(l.str()); };
  add(talva::ListLine() << "REC=" << rec << ":");
  add(talva::ListLine() << "   DATE=" << h.year << h.mon << h.day);
  add(talva::ListLine() << "   TIME=" << h.hr << h.mins << h.sec);
  if (!h.time_problem.empty())
    lines.push_back("   MJDVAL= none: impossible date or time (" + h.time_problem + ")");
  else
    add(talva::ListLine() << "   MJDVAL=" << mjd);
  add(talva::ListLine() << "   RA=" << h.ra_hours << " DEC=" << h.dec_deg << " HA=" << h.ha_hours);
  add(talva::ListLine() << "   Temp =" << h.temp_c << " deg C");
  add(talva::ListLine() << "   NS TILT EAST:" << h.east_tilt_deg);
  add(talva::ListLine() << "   NS TILT WEST:" << h.west_tilt_deg);
  if (std::isfinite(h.md_tilt_deg))
    add(talva::ListLine() << "   MD tilt     :" << h.md_tilt_deg);
  else  // a damaged header: its stored sine lies outside -1..1
    lines.push_back("   MD tilt     : none (sine outside -1..1)");
  add(talva::ListLine() << "   MODE        :" << h.mode);
  return lines;
}

void read_dumps(ArchiveReader& reader, const c_layout_common_t& layout, int r1, int r2, ArchivePass& pass) {
  pass.n = 0;
  pass.sums.assign(pass.selections.size(), {});
  // Room for the most records a pass stores, reserved, not touched: the
  // sums grow in place, and memory is used only as records come.
  for (auto& sums : pass.sums) sums.reserve(kMaxEntries);
  int j = 0;
  for (;;) {
    const std::optional<Dump> dump = reader.next();
    // Printed before the end-of-data test: at the end the last decoded
    // parameters come again.
    const long long dumps = j;
    if (dumps == 0 || dumps == static_cast<long long>(r1) - 1 || dumps == static_cast<long long>(r2) - 1) {
      const DumpHeader last = dump ? dump->header : reader.dump_header();
      for (const auto& line : dump_parameter_block(last, j + 1)) talva::put_line(line);
    }
    if (!dump) break;
    if (talva::interrupt_signal() != 0) break;  // the caller stops
    ++j;
    if (j % 1000 == 0) std::fputs(".", stdout);
    if (j < r1) continue;
    if (r2 > 1 && j > r2) break;
    for (std::size_t s = 0; s < pass.selections.size(); ++s) {
      std::complex<float> sum(0.0f, 0.0f);
      for (const std::int32_t index : pass.selections[s]) {
        std::complex<float> value;
        std::int32_t flag = 0;
        getvis_(layout, index, dump->vis, value, flag);
        sum += value;
      }
      pass.sums[s].push_back(sum);
    }
    ++pass.n;
    if (pass.n == kMaxEntries) {
      // No room for more records: the rest of the archive is not read.
      talva::put_line(" Reached MX record limit");
      break;
    }
  }
}

namespace {

/// Captures what the process writes on standard output (its stdio stream and
/// descriptor 1, so the archive reader's own lines too) while it lives.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    // An anonymous memory file; a temporary file where that is not available.
    const int fd = memfd_create("dumpscope-loop", 0);
    file_ = fd >= 0 ? fdopen(fd, "w+") : std::tmpfile();
    if (file_ == nullptr && fd >= 0) close(fd);
    if (file_ == nullptr) return;
    saved_ = dup(STDOUT_FILENO);
    if (saved_ < 0 || dup2(fileno(file_), STDOUT_FILENO) < 0) {
      if (saved_ >= 0) close(saved_);
      saved_ = -1;
      std::fclose(file_);
      file_ = nullptr;
    }
  }
  ~StdoutCapture() {
    // On the way out of a stop, what was captured still reaches the terminal.
    const std::string text = finish();
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  /// False when no capture could be set up (output then goes straight out).
  bool active() const { return file_ != nullptr; }

  /// Stops capturing and returns the bytes written meanwhile.
  std::string finish() {
    std::string text;
    if (file_ == nullptr) return text;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
    std::rewind(file_);
    char buf[65536];
    std::size_t got = 0;
    while ((got = std::fread(buf, 1, sizeof buf, file_)) > 0) text.append(buf, got);
    std::fclose(file_);
    file_ = nullptr;
    return text;
  }

 private:
  std::FILE* file_ = nullptr;
  int saved_ = -1;
};

void plot_pass(Plotter& plot, const Settings& s, const std::string& option_upper, const OptionRecord& opt,
               const Records& rec, int n) {
  if (!plot.is_open()) return;
  if (n <= 0) {
    talva::put_line(" no records stored: nothing to plot");
    return;
  }
  const std::span<const float> xp(rec.xp.data(), n);
  float xmin = 0, xmax = 0;
  talva::minmax_(n, xp, xmin, xmax);
  const std::array<PanelText, 4> texts = pass_panel_texts(s.infile, option_upper, opt.bays[1], s.mdcorr);
  const std::vector<float>* values[4] = {&rec.mdval, &rec.mdgn, &rec.yp, &rec.zp};
  for (std::size_t k = 0; k < texts.size(); ++k) {
    const PanelText& t = texts[k];
    if (!t.note.empty()) {
      plot.empty_panel(xmin, xmax, t.note);
      plot.label(t.x, t.y, t.title);
      continue;
    }
    const std::span<const float> y(values[k]->data(), n);
    float ymin = -180.0f, ymax = 180.0f;  // the phase panel's fixed range
    if (k != 3) talva::minmax_(n, y, ymin, ymax);
    plot.env(xmin, xmax, ymin, ymax);
    plot.label(t.x, t.y, t.title);
    plot.colour(4);
    plot.line(xp, y);
    plot.colour(16);
  }
  if (s.pltfrng) {
    plot.colour(4);
    plot.line(xp, std::span<const float>(rec.phi.data(), n));
    plot.colour(1);
  }
}

}  // namespace

bool pass_option(const OptionRecord& decoded, bool oneshot, int i, OptionRecord& opt) {
  opt = decoded;
  if (oneshot) return true;
  opt.bays[1] = i;
  return !(i == opt.bays[0] && opt.arms[1] == opt.arms[0]);
}

int pass_count(const OptionRecord& decoded, bool oneshot) {
  int passes = 0;
  OptionRecord opt;
  for (int i = 1; i <= (oneshot ? 1 : kPasses); ++i) passes += pass_option(decoded, oneshot, i, opt) ? 1 : 0;
  return passes;
}

int run(const Settings& s) {
  {
    // A plot file named as an input is refused before any work.
    talva::OutputSet names;
    names.input(s.infile);
    names.input(s.corrfile);
    if (s.mdcorr) names.input(s.mdfile);
    if (const auto page = talva::plot_file_name(s.device)) names.claim(*page, talva::Claim::IfPossible);
  }
  talva::StdoutOutput out;

  Plotter plot(s.device, s.nx, s.ny);
  if (plot.is_open()) {
    if (s.device == "/xs" || s.device == "/XS") {
      plot.set_colour(0, 1.0f, 1.0f, 1.0f);
      plot.colour(16);
    }
    plot.char_height(1.5f);
  }

  OptionRecord decoded;
  decode_option_(s.option, decoded);
  if (decoded.error != 0) talva::stop(" option cannot be decoded");
  const std::string option_upper = talva::trim_right(talva::upcase_(s.option, kOptionLength));

  if (::access(s.corrfile.c_str(), R_OK) != 0) {
    talva::stop(" cannot read the correlator layout file " + s.layout_keyword + "=" + s.corrfile + " (" +
                std::strerror(errno) + ")" +
                (s.corrfile == "../data/corr_layout.file" ? "; give the layout with corrfile= (or corlfile=)" : ""));
  }
  const c_layout_common_t layout = load_corr_layout_file_(s.corrfile, out);
  MdTable md_table;
  if (s.mdcorr) {
    md_table.table.assign(2 * static_cast<std::size_t>(kMaxEntries), 0.0f);
    load_mdtable_(kMaxEntries, s.mdfile, md_table.count, md_table.table, out);
  }

  Records rec;
  float md = 0.0f;  // the last meridian distance computed, kept across passes
  // The archive's file header, read in the first pass that reads the archive.
  ArchiveFileHeader header;
  std::optional<ArchiveReader> reader;
  // The archive is read once, in the first pass; every pass is served from
  // what that read kept (its dump loop output is the same in every pass).
  // `loaded` tells that the kept data serve the passes still to come.
  ArchivePass archive;
  bool loaded = false;
  HourAngles angles;

  for (int i = 1; i <= kPasses; ++i) {
    talva::stop_if_interrupted(": no plot written");
    OptionRecord opt;
    if (!pass_option(decoded, s.oneshot, i, opt)) continue;
    std::fill(rec.yp.begin(), rec.yp.end(), 0.0f);
    std::fill(rec.zp.begin(), rec.zp.end(), 0.0f);

    if (!loaded) {
      ArchiveOptions options;
      options.verbose = s.verbose;
      options.max_products = kMaxEntries;  // the inspector's product table is larger than the converters'
      reader.emplace(s.infile, out, options);
      header = reader->file_header();
    }
    const int nbsln = header.nbsln;
    const std::span<const std::int32_t> antnum = header.antnum;
    std::int32_t count = 0;
    std::vector<std::int32_t> sel;
    std::int32_t error = 0;
    select_baselines_(nbsln, antnum, opt, count, sel, error, layout.lay_count);
    if (error != 0) talva::stop("select_baselines failed");
    const std::size_t first = static_cast<std::size_t>(sel[0]) - 1;
    const float b = std::cos(s.dec) * layout.lay_u[first];
    talva::put_line("product ID " + talva::fmt_i(sel[0], 5) + "  antnum " + talva::fmt_i(layout.lay_code[first], 5) +
                    "  a1 " + talva::fmt_i(layout.lay_ant1[first], 5) + "  a2 " +
                    talva::fmt_i(layout.lay_ant2[first], 5) + "  baseline " + talva::fmt_f(b, 10, 2));

    if (!loaded) {
      // Capture what the dump loop prints so that later passes can print it
      // again. Without a capture every pass reads the archive itself.
      StdoutCapture capture;
      archive.selections.clear();
      std::map<std::vector<std::int32_t>, int> distinct;
      for (int k = i; k <= kPasses; ++k) {
        OptionRecord later;
        if (!pass_option(decoded, s.oneshot, k, later)) continue;
        Selection chosen = select_products(nbsln, antnum, later, layout.lay_count);
        if (chosen.error != 0) break;  // the run stops at that pass
        if (distinct.emplace(chosen.sel, static_cast<int>(archive.selections.size())).second) {
          archive.selections.push_back(std::move(chosen.sel));
        }
        if (s.oneshot || !capture.active()) break;
      }
      read_dumps(*reader, layout, s.r1, s.r2, archive);
      reader.reset();
      talva::stop_if_interrupted(": no plot written");
      if (capture.active()) {
        archive.loop_output = capture.finish();
        std::fwrite(archive.loop_output.data(), 1, archive.loop_output.size(), stdout);
        loaded = true;
      }
    } else {
      std::fwrite(archive.loop_output.data(), 1, archive.loop_output.size(), stdout);
    }

    const auto slot = std::find(archive.selections.begin(), archive.selections.end(), sel);
    if (slot == archive.selections.end()) throw std::logic_error("dumpscope: a pass selection was not kept");
    const auto& sums = archive.sums[static_cast<std::size_t>(slot - archive.selections.begin())];
    const int n = archive.n;
    rec.hold(n);
    std::copy(sums.begin(), sums.end(), rec.vsel.begin());
    talva::put_line(talva::fmt_i(n, 5) + " records read");
    get_stats_r_(kMaxEntries, rec.vsel, n);
    // The model phases, corrections and smoothed values feed only the plots;
    // without a plot device they are made only where they print something
    // (the meridian-distance messages).
    if (plot.is_open() || s.mdcorr) {
      if (static_cast<int>(angles.h.size()) != n) angles = hour_angles(s, n);
      fringe_and_corrections(s, b, md_table, angles, rec, n, md);
    }
    if (plot.is_open()) {
      running_mean(rec, n, s.navrg, s.r1);
      plot_pass(plot, s, option_upper, opt, rec, n);
    }
    if (s.oneshot) break;
  }
  talva::stop_if_interrupted(": no plot written");
  plot.end();
  return 0;
}

}  // namespace talva::dumpscope
