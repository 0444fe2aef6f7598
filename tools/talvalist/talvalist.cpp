// talvalist: lists a uv dataset with the project's reader.
//
//   talvalist vis=DATASET [full=true] [recs=N]
//
// By default a summary: one line each for records, variables, first and
// last time, distinct baselines, channels, flagged data, the mean of the
// unflagged data and of their amplitudes, obstype and history lines.
// full=true (or summary=false, or recs=N): the full listing: items,
// vartable, records (preamble, data, flags, and the variables updated at
// each record with their values), history; recs=N lists at most N records
// (all are still read and checked).
#include <complex>
#include <cstdio>
#include <set>
#include <string>

#include "miriad/bug.h"
#include "miriad/key.h"
#include "miriad/uvdump.h"
#include "miriad/uvread.h"
#include "util/stop.h"

namespace {

std::string g(const char* f, double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, f, x);
  return buf;
}

std::string summary(talva::miriad::UvReader& r) {
  talva::miriad::UvRecord rec;
  std::set<double> baselines;
  double first = 0, last = 0;
  std::size_t min_chan = 0, max_chan = 0, bad = 0, good = 0;
  double sum_re = 0, sum_im = 0, sum_amp = 0;
  while (r.read(rec)) {
    if (r.records_read() == 1) first = rec.time, min_chan = max_chan = rec.data.size();
    last = rec.time;
    baselines.insert(rec.baseline);
    min_chan = std::min(min_chan, rec.data.size());
    max_chan = std::max(max_chan, rec.data.size());
    for (bool f : rec.flags) bad += f ? 0 : 1;
    for (std::size_t c = 0; c < rec.data.size() && c < rec.flags.size(); ++c) {
      if (!rec.flags[c]) continue;
      ++good;
      sum_re += rec.data[c].real();
      sum_im += rec.data[c].imag();
      sum_amp += std::abs(rec.data[c]);
    }
  }
  std::string obstype = "-";
  r.item_text("obstype", obstype);
  std::string out = "dataset:    " + r.name() + "\n";
  out += "records:    " + std::to_string(r.records_read()) + "\n";
  out += "variables:  " + std::to_string(r.variables().size()) + "\n";
  if (r.records_read() > 0) {
    out += "first time: " + g("%.9f", first) + "\n";
    out += "last time:  " + g("%.9f", last) + "\n";
    out += "baselines:  " + std::to_string(baselines.size()) + "\n";
    out += "channels:   " + std::to_string(min_chan) +
           (min_chan == max_chan ? std::string() : " to " + std::to_string(max_chan)) + "\n";
    out += "flagged:    " + std::to_string(bad) + "\n";
    if (good > 0) {
      out += "mean data:  (" + g("%.6g", sum_re / static_cast<double>(good)) + "," +
             g("%.6g", sum_im / static_cast<double>(good)) + ")\n";
      out += "mean amp:   " + g("%.6g", sum_amp / static_cast<double>(good)) + "\n";
    }
  }
  out += "obstype:    " + obstype + "\n";
  out += "history:    " + std::to_string(r.history().size()) + " line(s)\n";
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  return talva::run_main([&] {
    talva::miriad::keyini(argc, argv, "lists a uv dataset (items, variables, records, history) or summarises it",
                          "vis=src.uv full=t recs=3");
    std::string vis;
    bool brief = true, full = false;
    int recs = -1;
    talva::miriad::keya("vis", vis, "", talva::miriad::required("the uv dataset"));
    talva::miriad::keyl("summary", brief, true, "a summary of a few lines (false: the full listing)");
    talva::miriad::keyl("full", full, false, "the full listing: items, variables, records, history");
    talva::miriad::keyi("recs", recs, -1, "records to list in the full listing (-1: all; all are read and checked)");
    talva::miriad::keyfin();
    if (full || recs >= 0) brief = false;
    talva::miriad::UvReader r(vis);
    std::string out;
    if (brief) {
      out = summary(r);
    } else {
      out = talva::miriad::uv_dump_items(r) + talva::miriad::uv_dump_vartable(r) +
            talva::miriad::uv_dump_records(r, recs) + talva::miriad::uv_dump_history(r);
    }
    std::fputs(out.c_str(), stdout);
    return 0;
  });
}
