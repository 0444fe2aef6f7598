#include "programs/talvawatch/watch_run.h"

#include <star/pal.h>
#include <unistd.h>

#include <complex>
#include <cstdio>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "convert/gains.h"
#include "miriad/key.h"
#include "programs/talvawatch/server.h"
#include "util/interrupt.h"
#include "util/output_file.h"
#include "util/stop.h"

namespace talvawatch {
namespace {

constexpr useconds_t kPollMicroseconds = 500000;  // as the archive reader waits
constexpr double kMjdUnixEpoch = 40587.0;

// Header date and time as seconds since 1970; 0 for a date PAL refuses
// (the all-zero record before the first header block).
double unix_seconds(int year, int mon, int day, int hr, int mins, int sec) {
  double mjd = 0.0;
  int status = 0;
  palCldj(year, mon, day, &mjd, &status);
  if (status != 0) return 0.0;
  return (mjd - kMjdUnixEpoch) * 86400.0 + hr * 3600.0 + mins * 60.0 + sec;
}

talva::watch::DumpIn dump_in(const ArchiveReader& reader, std::span<const float> vis) {
  talva::watch::DumpIn d;
  d.vis = vis;
  reader.read_dumppar_ha_(d.ha_hours);
  reader.read_dumppar_ra_(d.ra_hours);
  reader.read_dumppar_dec_(d.dec_deg);
  reader.read_dumppar_date_(d.year, d.mon, d.day);
  reader.read_dumppar_time_(d.hr, d.mins, d.sec);
  reader.read_dumppar_mode_(d.mode);
  d.unix_time = unix_seconds(d.year, d.mon, d.day, d.hr, d.mins, d.sec);
  return d;
}

// Opens the archive and reads its file header; a live archive whose header
// is not all written yet is tried again every half second.
int open_archive(ArchiveReader& reader, const Settings& s, std::vector<std::int32_t>& antnum, bool wait,
                 talva::Output& out) {
  int nant = 0, nbsln = 0;
  bool told = false;
  for (;;) {
    if (reader.init_archiv_(s.infile) != 0) talva::stop("talvawatch: cannot open the archive " + s.infile);
    nant = nbsln = 0;
    if (reader.read_header_(nant, nbsln, antnum) == 0) return nbsln;
    talva::stop_if_interrupted();
    // counts outside the format will not mend; a header cut short may
    const bool bad_counts = nant < 0 || nant > kMaxAntennaRecords || nbsln < 0 || nbsln > kMaxProducts;
    if (!wait || bad_counts) talva::stop("talvawatch: cannot read the file header of " + s.infile);
    if (!told) out.line("talvawatch: waiting for the file header of " + s.infile);
    told = true;
    usleep(kPollMicroseconds);
  }
}

}  // namespace

Settings read_settings() {
  Settings s;
  miriad::keya("infile", s.infile, "", miriad::required("the archive to watch (it may still be growing)"));
  miriad::keya("corlfile", s.corlfile, "", miriad::required("the correlator layout file"));
  miriad::keya("gnsfile", s.gnsfile, "", "gains (as gainsolve writes them): class averages and standings corrected");
  miriad::keya("option", s.option, "ap(1e,1w)", "pair shown first: ap(n1a1,n2a2) or bs(L,a), as dumpscope takes it");
  miriad::keya("bind", s.bind, "127.0.0.1", "address to listen on (0.0.0.0: every network of the machine)");
  miriad::keyi("port", s.port, 8090, "port to listen on (0: any free port, printed)");
  miriad::keyi("idle", s.idle, 5, "minutes without a new dump before the page says so");
  miriad::keya("report", s.report, "", "write the page with its data as one HTML file and stop (finished archive)");
  miriad::keyfin();
  miriad::keyrange("port", s.port, 0, 65535);
  miriad::keyrange("idle", s.idle, 1, 24 * 60);
  if (s.option.size() > kMaxPickLength) talva::stop("talvawatch: option= is longer than 80 characters");
  return s;
}

int run(const Settings& s, talva::Output& out) {
  // The report may not be one of the inputs.
  talva::OutputSet outputs;
  if (!s.report.empty()) {
    for (const std::string* input : {&s.infile, &s.corlfile, &s.gnsfile})
      if (!input->empty()) outputs.claim(*input, talva::Claim::IfPossible);
  }
  talva::OutputFile* report = s.report.empty() ? nullptr : &outputs.add(s.report);

  const c_layout_common_t layout = load_corr_layout_file_(s.corlfile, out);
  talva::watch::MonitorSetup setup;
  setup.layout = &layout;
  if (!s.gnsfile.empty()) {
    setup.gains.resize(kNumAntennas);
    talva::convert::load_gains_(s.gnsfile, kNumAntennas, setup.gains, true, out);
  }
  ArchiveReader reader(out);
  setup.antnum.resize(kMaxProducts);
  setup.nbsln = open_archive(reader, s, setup.antnum, report == nullptr, out);
  setup.antnum.resize(static_cast<std::size_t>(setup.nbsln));
  check_layout_covers_(layout, setup.nbsln, s.corlfile);
  const int nbsln = setup.nbsln;
  WatchState state(s.infile, std::move(setup), s.idle, s.option);

  if (report != nullptr) {
    std::span<const float> vis;
    while (reader.read_dump_view_(nbsln, vis, 0) == 0) {
      talva::stop_if_interrupted(": no report written");
      state.add(dump_in(reader, vis), now_ms());
    }
    talva::stop_if_interrupted(": no report written");
    std::string series, error;
    state.series_json("all", s.option, series, error);
    report->write(report_page(state.summary_json(now_ms()), series));
    outputs.commit();
    out.line("talvawatch: " + std::to_string(state.version()) + " dumps; report written to " + s.report);
    return 0;
  }

  PageServer server(state);
  if (!server.bind(s.bind, s.port))
    talva::stop("talvawatch: cannot listen on " + s.bind + " port " + std::to_string(s.port));
  server.start();
  out.line("talvawatch: watching " + s.infile + " on http://" + s.bind + ":" + std::to_string(server.port()) + "/");
  std::fflush(stdout);  // whoever started the program learns the port at once
  std::span<const float> vis;
  while (talva::interrupt_signal() == 0) {
    if (reader.read_dump_view_(nbsln, vis, 1) == 0) {
      state.add(dump_in(reader, vis), now_ms());
      continue;
    }
    // Only a signal, a corrupt dump or a read error ends the waiting
    // reader; after the latter two the page stays up with what was read.
    while (talva::interrupt_signal() == 0) usleep(kPollMicroseconds);
  }
  server.stop();
  talva::stop_if_interrupted(": " + std::to_string(state.version()) + " dumps watched");
  return 0;
}

}  // namespace talvawatch
