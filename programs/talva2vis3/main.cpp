// talva2vis3: converts a correlator archive into a MIRIAD uv dataset.
#include "convert/driver.h"
#include "miriad/key.h"
#include "util/output.h"
#include "util/stop.h"

// The leak checker of the sanitizer build: the plot library's font
// configuration keeps its caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

int main(int argc, char** argv) {
  return talva::run_main([&] {
    talva::miriad::keyini(argc, argv,
                          "converts one correlator archive into a MIRIAD uv dataset, applying the antenna gains of "
                          "gainsolve",
                          "infile=src.arc corlfile=lay.txt gnsfile=cal.gains uvfile=src.uv device=src.png/png");
    const talva::convert::ConverterSettings settings =
        talva::convert::read_converter_keywords(talva::convert::Flavour::Current);
    talva::StdoutOutput out;
    talva::convert::CurrentModes modes;
    return talva::convert::run_converter(settings, modes, out);
  });
}
