// Phase-calibration loader: the first input byte gives nmax (the antenna
// limit the converter passes), the rest is the file.
#include <cstdint>
#include <vector>

#include "calib/mdgain.h"
#include "fuzz/fuzz_support.h"

using talva::calib::load_phasecal_;

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
  const int nmax = static_cast<int>(data[0]) - 8;  // also negative and above the capacity
  file->set(data + 1, size - 1);
  std::vector<float> phases(kCapacity, 0.0f);
  int status = -1;
  talva::StdoutOutput out;
  fuzz::expect_stop_or_success([&] { load_phasecal_(file->path(), nmax, phases, status, out); });
  return 0;
}
