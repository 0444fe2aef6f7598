// Gains loader of the converter: the first input byte gives the antenna
// count (0..255, also above the table's capacity); the rest is the file.
#include <complex>
#include <cstdint>
#include <vector>

#include "convert/gains.h"
#include "fuzz/fuzz_support.h"

using namespace talva::convert;

namespace {
fuzz::MemFile* file = nullptr;
constexpr std::size_t kCapacity = 100;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  static fuzz::MemFile f;
  file = &f;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int nant = data[0];
  file->set(data + 1, size - 1);
  std::vector<std::complex<float>> gains(kCapacity, {5.0f, 5.0f});
  talva::StdoutOutput out;
  fuzz::expect_stop_or_success([&] { load_gains_(file->path(), nant, gains, true, out); });
  for (const auto& g : gains) (void)z2phase_(g);
  return 0;
}
