// talvawatch: follows a correlator archive while it is written and serves a
// live page of it (the observation, class averages, a chosen pair, every
// antenna's standing in its classes, the (u, v) coverage, what looks wrong);
// with report=, writes that page for a finished archive as one HTML file.
#include <malloc.h>

#include "miriad/key.h"
#include "programs/talvawatch/watch_run.h"
#include "util/output.h"
#include "util/stop.h"

int main(int argc, char** argv) {
  // The server's threads build their answers in two shared heaps rather than
  // one each: the memory stays near what one busy client needs.
  mallopt(M_ARENA_MAX, 2);
  return talva::run_main([&] {
    talva::miriad::keyini(argc, argv,
                          "follows an archive as it grows and serves a live page: observation, class averages, a pair, "
                          "antenna standings, (u, v) coverage and what looks wrong; report= writes it as one HTML file",
                          "infile=src.arc corlfile=lay.txt gnsfile=cal.gains port=8090");
    const talva::talvawatch::Settings settings = talva::talvawatch::read_settings();
    talva::StdoutOutput out;
    return talva::talvawatch::run(settings, out);
  });
}
