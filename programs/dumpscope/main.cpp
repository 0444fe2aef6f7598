// dumpscope: looks at one correlator archive: sums the correlations of the
// selected antenna pairs dump by dump, removes the fringe rotation and the
// meridian-distance gain on request, prints statistics and dump headers, and
// plots amplitude and phase against dump number.
#include "miriad/key.h"
#include "programs/dumpscope/scope.h"
#include "util/stop.h"

int main(int argc, char** argv) {
  return talva::run_main([&] {
    miriad::keyini(argc, argv);
    const dumpscope::Settings settings = dumpscope::read_settings();
    return dumpscope::run(settings);
  });
}
