// talva2vis3: converts a correlator archive into a MIRIAD uv dataset.
#include "miriad/key.h"
#include "programs/talva2vis3/driver.h"
#include "util/stop.h"

int main(int argc, char** argv) {
  return talva::run_main([&] {
    miriad::keyini(argc, argv);
    const ConverterSettings settings = read_converter_keywords(Flavour::Current);
    CurrentModes modes;
    return run_converter(settings, modes);
  });
}
