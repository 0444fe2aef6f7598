// talva2vis: the legacy converter (phase table, hour angle and time counted
// from start values).
#include "convert/legacy_modes.h"
#include "miriad/key.h"
#include "util/output.h"
#include "util/stop.h"

// The leak checker of the sanitizer build: the plot library's font
// configuration keeps its caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

int main(int argc, char** argv) {
  return talva::run_main([&] {
    talva::miriad::keyini(
        argc, argv,
        "the earlier converter: one correlator archive into a MIRIAD uv dataset, applying a phase "
        "table or the phases of a gains table (never amplitudes); hour angle and time counted from start "
        "values",
        "infile=src.arc corlfile=lay.txt phasefil=phasesolve.log uvfile=old.uv device=/null");
    const talva::convert::ConverterSettings settings =
        talva::convert::read_converter_keywords(talva::convert::Flavour::Legacy);
    talva::StdoutOutput out;
    talva::convert::legacy::LegacyModes modes;
    return talva::convert::run_converter(settings, modes, out);
  });
}
