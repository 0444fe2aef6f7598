// archinfo: opens an archive and summarises it: one line per range of like
// dumps (same correlator mode, times running on without a jump), then the
// dump count. full=true adds one line per dump, verbose=true every decoded
// dump header.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "miriad/key.h"
#include "util/stop.h"

using talva::archive::ArchiveOptions;
using talva::archive::ArchiveReader;
using talva::archive::Dump;
using talva::archive::DumpHeader;

namespace {

/// Mean amplitude of the items that belong to a product (items 2..nbsln).
double mean_amplitude(std::span<const float> vis, int nbsln) {
  if (nbsln < 2) return 0;
  double sum = 0;
  for (int k = 2; k <= nbsln; ++k) sum += std::hypot(double{vis[2 * k - 2]}, double{vis[2 * k - 1]});
  return sum / (nbsln - 1);
}

// A run of like dumps, printed as one line.
struct DumpRange {
  int first = 0, last = 0, mode = 0;
  int yr = 0, mn = 0, dy = 0;
  int start_s = 0, end_s = 0;  // seconds of the day of the first and last dump
  float ha_first = 0, ha_last = 0;
  double amp_sum = 0;
};

// Seconds of the day, with whole days counted on from the range's start
// date (a range may run past midnight).
int seconds_of(int hr, int mi, int se) { return (hr * 60 + mi) * 60 + se; }

std::string clock(int s) {
  char buf[16];
  const int day = s / 86400;
  s %= 86400;
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d%s", s / 3600, s / 60 % 60, s % 60, day > 0 ? "+1" : "");
  return buf;
}

void print_range(const DumpRange& r) {
  const int n = r.last - r.first + 1;
  std::printf("dumps %5d-%-5d %04d-%02d-%02d %s .. %s  HA %9.4f .. %9.4f h  mode %4d  mean amplitude %12.6f\n", r.first,
              r.last, r.yr, r.mn, r.dy, clock(r.start_s).c_str(), clock(r.end_s).c_str(),
              static_cast<double>(r.ha_first), static_cast<double>(r.ha_last), r.mode, r.amp_sum / n);
}

// A dump more than this far from the previous one (or before it) starts a
// new range.
constexpr int kMaxStepSeconds = 600;

}  // namespace

int main(int argc, char** argv) {
  return talva::run_main([&] {
    std::string path;
    bool verbose = false, full = false;
    talva::miriad::keyini(
        argc, argv,
        "lists an archive's file header and one line per range of like dumps (date, time, hour angle, "
        "mode)",
        "archive=cal.arc full=t");
    talva::miriad::keya("archive", path, "", talva::miriad::required("the archive"));
    talva::miriad::keyl("full", full, false, "one line per dump instead of one per range of like dumps");
    talva::miriad::keyl("verbose", verbose, false, "also print every dump header the archive reader decodes");
    talva::miriad::keyfin();

    talva::StdoutOutput out;
    ArchiveOptions options;
    options.verbose = verbose;
    options.open_failed = "archinfo: cannot open " + path;
    options.header_failed = "archinfo: cannot read the file header of " + path;
    ArchiveReader archive(path, out, options);
    const int nbsln = archive.file_header().nbsln;
    std::printf("archive %s: %d antenna records and %d products per dump\n", path.c_str(), archive.file_header().nant,
                nbsln);

    int dumps = 0;
    DumpRange range;
    while (const std::optional<Dump> dump = archive.next()) {
      ++dumps;
      const DumpHeader& h = dump->header;
      const int yr = h.year, mn = h.mon, dy = h.day, hr = h.hr, mi = h.mins, se = h.sec, mode = h.mode;
      const float ha = h.ha_hours;
      const double amp = mean_amplitude(dump->vis, nbsln);
      const std::string& why = h.time_problem;
      if (full || !why.empty()) {
        // A dump whose date or time is impossible stands on a line of its own.
        if (!full && range.first > 0) print_range(range), range = DumpRange{};
        std::printf("dump %5d  %04d-%02d-%02d %02d:%02d:%02d  HA %9.4f h  mode %4d  mean amplitude %12.6f%s\n", dumps,
                    yr, mn, dy, hr, mi, se, static_cast<double>(ha), mode, amp,
                    why.empty() ? "" : ("  impossible date or time: " + why).c_str());
        continue;
      }
      int t = seconds_of(hr, mi, se);
      const bool next_day = range.first > 0 && (yr != range.yr || mn != range.mn || dy != range.dy);
      if (next_day) t += 86400;  // taken as the next day; a real jump shows as a step
      const int step = t - range.end_s;
      if (range.first > 0 && (mode != range.mode || step < 0 || step > kMaxStepSeconds)) {
        print_range(range);
        range = DumpRange{};
        t = seconds_of(hr, mi, se);
      }
      if (range.first == 0) {
        range.first = dumps, range.mode = mode, range.yr = yr, range.mn = mn, range.dy = dy;
        range.start_s = t, range.ha_first = ha;
      }
      range.last = dumps, range.end_s = t, range.ha_last = ha;
      range.amp_sum += amp;
    }
    if (range.first > 0) print_range(range);
    std::printf("%d dumps read\n", dumps);
    return 0;
  });
}
