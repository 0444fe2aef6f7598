#include "programs/talvawatch/watch_run.h"

#include <star/pal.h>
#include <unistd.h>

#include <complex>
#include <cstdio>
#include <optional>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "convert/gains.h"
#include "miriad/key.h"
#include "programs/talvawatch/server.h"
#include "util/interrupt.h"
#include "util/output_file.h"
#include "util/stop.h"

using talva::array::c_layout_common_t;
using talva::array::check_layout_covers_;
using talva::array::kNumAntennas;
using talva::array::load_corr_layout_file_;

namespace talva::talvawatch {
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

talva::watch::DumpIn dump_in(const talva::archive::Dump& dump) {
  const talva::archive::DumpHeader& h = dump.header;
  talva::watch::DumpIn d;
  d.vis = dump.vis;
  d.ha_hours = h.ha_hours;
  d.ra_hours = h.ra_hours;
  d.dec_deg = h.dec_deg;
  d.year = h.year, d.mon = h.mon, d.day = h.day;
  d.hr = h.hr, d.mins = h.mins, d.sec = h.sec;
  d.mode = h.mode;
  d.unix_time = unix_seconds(d.year, d.mon, d.day, d.hr, d.mins, d.sec);
  return d;
}

// How the watcher reads: a live archive (`wait`) is followed as it grows,
// its file header waited for while it is not all written yet.
talva::archive::ArchiveOptions archive_options(const Settings& s, bool wait, talva::Output& out) {
  talva::archive::ArchiveOptions o;
  o.wait = wait;
  o.on_header_wait = [&out, path = s.infile] { out.line("talvawatch: waiting for the file header of " + path); };
  o.open_failed = "talvawatch: cannot open the archive " + s.infile;
  o.header_failed = "talvawatch: cannot read the file header of " + s.infile;
  return o;
}

}  // namespace

Settings read_settings() {
  Settings s;
  talva::miriad::keya("infile", s.infile, "",
                      talva::miriad::required("the archive to watch (it may still be growing)"));
  talva::miriad::keya("corlfile", s.corlfile, "", talva::miriad::required("the correlator layout file"));
  talva::miriad::keya("gnsfile", s.gnsfile, "",
                      "gains (as gainsolve writes them): class averages and standings corrected");
  talva::miriad::keya("option", s.option, "ap(1e,1w)",
                      "pair shown first: ap(n1a1,n2a2) or bs(L,a), as dumpscope takes it");
  talva::miriad::keya("bind", s.bind, "127.0.0.1", "address to listen on (0.0.0.0: every network of the machine)");
  talva::miriad::keyi("port", s.port, 8090, "port to listen on (0: any free port, printed)");
  talva::miriad::keyi("idle", s.idle, 5, "minutes without a new dump before the page says so");
  talva::miriad::keya("report", s.report, "",
                      "write the page with its data as one HTML file and stop (finished archive)");
  talva::miriad::keyfin();
  talva::miriad::keyrange("port", s.port, 0, 65535);
  talva::miriad::keyrange("idle", s.idle, 1, 24 * 60);
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
  talva::archive::ArchiveReader reader(s.infile, out, archive_options(s, report == nullptr, out));
  setup.antnum = reader.file_header().antnum;
  setup.nbsln = reader.file_header().nbsln;
  check_layout_covers_(layout, setup.nbsln, s.corlfile);
  WatchState state(s.infile, std::move(setup), s.idle, s.option);

  if (report != nullptr) {
    while (const std::optional<talva::archive::Dump> dump = reader.next()) {
      talva::stop_if_interrupted(": no report written");
      state.add(dump_in(*dump), now_ms());
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
  while (talva::interrupt_signal() == 0) {
    if (const std::optional<talva::archive::Dump> dump = reader.next()) {
      state.add(dump_in(*dump), now_ms());
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

}  // namespace talva::talvawatch
