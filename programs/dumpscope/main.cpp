// dumpscope: looks at one correlator archive: sums the correlations of the
// selected antenna pairs dump by dump, removes the fringe rotation and the
// meridian-distance gain on request, prints statistics and dump headers, and
// plots amplitude and phase against dump number.
#include "miriad/key.h"
#include "programs/dumpscope/scope.h"
#include "util/stop.h"

int main(int argc, char** argv) {
  return talva::run_main([&] {
    talva::miriad::keyini(argc, argv,
                          "looks at one archive: sums the selected pairs dump by dump, prints statistics and dump "
                          "headers, plots MD, MD gain, amplitude and phase against dump number",
                          "infile=cal.arc corrfile=lay.txt option='ap(1e,1w)' oneshot=t device=scope.png/png nxy=2,2");
    const talva::dumpscope::Settings settings = talva::dumpscope::read_settings();
    return talva::dumpscope::run(settings);
  });
}

// Under LeakSanitizer: the font configuration that the plot library loads
// once per process is never released by it; that is not a leak of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
