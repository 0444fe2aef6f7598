// The whole conversion of an archive, as talva2vis3 and talva2vis run it:
// the fuzz input is one byte choosing the flavour, the correlator mode and
// the MD correction, then the archive. Layout, gains, phases and MD table
// are fixed files of the full array; the dataset goes to a scratch directory.
// This reaches what the reader hands on: dates and times into Julian dates,
// hour angles and tilts into the site geometry, modes, odd product tables.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "convert/legacy_modes.h"
#include "fuzz/fuzz_support.h"
#include "util/output.h"

using namespace talva::convert;

namespace {
namespace fs = std::filesystem;

fuzz::MemFile* archive = nullptr;
std::string* scratch = nullptr;

constexpr const char* kModes[] = {"talva1a", "orvex",   "talva1b", "talva1c", "talva1d",
                                  "talva2a", "talva2b", "talva3a", "talva3b", "nomode"};

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  if (!out) std::abort();
}
}  // namespace

// The plot library's font configuration keeps its caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  static fuzz::MemFile file;
  archive = &file;
  static std::string dir = (fs::temp_directory_path() / ("talva-fuzz-conv-" + std::to_string(getpid()))).string();
  fs::create_directories(dir);
  scratch = &dir;
  std::atexit([] { fs::remove_all(*scratch); });
  std::string layout, gains = "", phases = "phases\n";
  for (int a = 1; a <= 95; ++a)
    for (int b = a + 1; b <= 96; ++b) layout += std::to_string(a) + " " + std::to_string(b) + "\n";
  layout += "1 1\n";
  for (int a = 1; a <= 96; ++a) {
    gains += std::to_string(a) + " (1.0,0.1)\n";
    phases += std::to_string(a) + " 10.0\n";
  }
  write_text(dir + "/lay", layout);
  write_text(dir + "/gains", gains);
  write_text(dir + "/phases", phases);
  write_text(dir + "/md", "0 1\n5 0.9\n20 0.5\n60 0\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t choice = data[0];
  archive->set(data + 1, size - 1);
  const std::string uv = *scratch + "/out.uv";
  fs::remove_all(uv);
  fs::remove(*scratch + "/talva2vis3.dbg");

  ConverterSettings s;
  s.flavour = (choice & 0x80) != 0 ? Flavour::Legacy : Flavour::Current;
  s.infile = archive->path();
  s.corlfile = *scratch + "/lay";
  s.gnsfile = *scratch + "/gains";
  s.phasefil = *scratch + "/phases";
  s.uvfile = uv;
  s.device = "/null";
  s.skmode = kModes[(choice & 0x0f) % 10];
  s.mdcorr = (choice & 0x10) != 0;
  s.mdfile = *scratch + "/md";
  s.nunit = (choice & 0x20) != 0 ? 4 : 88;
  s.ampscale = 1.0f;
  s.noiselev = 0.1f;
  fuzz::expect_stop_or_success([&] {
    talva::StdoutOutput out;
    if (s.flavour == Flavour::Legacy) {
      legacy::LegacyModes modes;
      run_converter(s, modes, out);
    } else {
      CurrentModes modes;
      run_converter(s, modes, out);
    }
  });
  return 0;
}
