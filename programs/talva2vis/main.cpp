// talva2vis: the legacy converter (phase table, hour angle and time counted
// from start values).
#include "miriad/key.h"
#include "programs/talva2vis/legacy_modes.h"
#include "util/stop.h"

int main(int argc, char** argv) {
  return talva::run_main([&] {
    miriad::keyini(argc, argv);
    const ConverterSettings settings = read_converter_keywords(Flavour::Legacy);
    legacy::LegacyModes modes;
    return run_converter(settings, modes);
  });
}
