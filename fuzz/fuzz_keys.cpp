// Keyword layer. The fuzz input up to its first NUL byte is the command
// line, one argument per line; the rest is a file that arguments reach as
// "%F" ("-f %F", "key=@%F", "@%F" inside a value). The program then reads a
// fixed set of keywords in every type, as the programs do, and finishes.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "miriad/key.h"

namespace {
fuzz::MemFile* file = nullptr;

std::string substitute(std::string arg) {
  for (std::size_t p = arg.find("%F"); p != std::string::npos; p = arg.find("%F", p + file->path().size()))
    arg.replace(p, 2, file->path());
  return arg;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  static fuzz::MemFile f;
  file = &f;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string_view command = input.substr(0, nul);
  file->set(nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1));

  std::vector<std::string> args{"fuzzkeys"};
  for (std::size_t start = 0; start <= command.size();) {
    std::size_t end = command.find('\n', start);
    if (end == std::string_view::npos) end = command.size();
    args.push_back(substitute(std::string(command.substr(start, end - start))));
    start = end + 1;
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  fuzz::expect_stop_or_success([&] {
    talva::miriad::keyini(static_cast<int>(args.size()), argv.data());
    static const char* const names[] = {"in", "reclim", "flux", "dec", "options", "mdcorr", "x"};
    for (int k = 0; k < 7; ++k) {
      for (int token = 0; token < 64 && (token == 0 || talva::miriad::keyprsnt(names[k])); ++token) {
        switch ((k + token) % 5) {
          case 0: {
            std::string s;
            talva::miriad::keya(names[k], s, "def");
            break;
          }
          case 1: {
            int i = 0;
            talva::miriad::keyi(names[k], i, -1);
            break;
          }
          case 2: {
            float r = 0;
            talva::miriad::keyr(names[k], r, 1.5f);
            break;
          }
          case 3: {
            double d = 0;
            talva::miriad::keyd(names[k], d, 2.5);
            break;
          }
          default: {
            bool l = false;
            talva::miriad::keyl(names[k], l, true);
            break;
          }
        }
      }
    }
    talva::miriad::keyfin();
  });
  return 0;
}
