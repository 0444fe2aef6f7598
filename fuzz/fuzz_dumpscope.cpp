// The inspector's single pass over an archive: the fuzz input is one byte
// choosing the option text, verbose decoding, MD correction, fringe
// tracking and smoothing, then the archive. The layout and MD table are
// fixed files of the full array.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive/archiv_util.h"
#include "fuzz/fuzz_support.h"
#include "programs/dumpscope/scope.h"

namespace {
namespace fs = std::filesystem;

fuzz::MemFile* archive = nullptr;
std::string* scratch = nullptr;

constexpr const char* kOptions[] = {"ap(1e,2e)", "ap(1e,1w)", "bs(1,e)", "bs(2,x)"};

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
  static std::string dir = (fs::temp_directory_path() / ("talva-fuzz-scope-" + std::to_string(getpid()))).string();
  fs::create_directories(dir);
  scratch = &dir;
  std::atexit([] { fs::remove_all(*scratch); });
  std::string layout;
  for (int a = 1; a <= 95; ++a)
    for (int b = a + 1; b <= 96; ++b) layout += std::to_string(a) + " " + std::to_string(b) + "\n";
  layout += "1 1\n";
  write_text(dir + "/lay", layout);
  write_text(dir + "/md", "0 1\n5 0.9\n20 0.5\n60 0\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t choice = data[0];
  archive->set(data + 1, size - 1);
  talva::dumpscope::Settings s;
  s.infile = archive->path();
  s.corrfile = *scratch + "/lay";
  s.mdfile = *scratch + "/md";
  s.option = kOptions[(choice >> 4) & 3];
  s.verbose = (choice & 1) != 0;  // the reader stays verbose from then on
  s.mdcorr = (choice & 2) != 0;
  s.phstrk = (choice & 4) != 0;
  s.pltfrng = s.phstrk;
  s.navrg = (choice & 8) != 0 ? 3 : 1;
  s.tltmin = 15.0f / talva::dumpscope::kDegPerRad;
  s.mdmax = 60.0f / talva::dumpscope::kDegPerRad;
  s.dec = -45.0f / talva::dumpscope::kDegPerRad;
  s.oneshot = true;
  s.device = "/null";
  fuzz::expect_stop_or_success([&] { talva::dumpscope::run(s); });
  return 0;
}
