// Rejection-list loaders: the first input byte picks the loader and the
// capacity of the caller's list (small capacities reach the overflow
// checks); the rest is the list file.
#include <cstdint>
#include <vector>

#include "array/rejections.h"
#include "fuzz/fuzz_support.h"

namespace {
fuzz::MemFile* file = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  static fuzz::MemFile f;
  file = &f;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t choice = data[0];
  file->set(data + 1, size - 1);
  const std::size_t capacity = (choice >> 2) % 8 == 0 ? 5000 : (choice >> 2) % 8;
  std::vector<std::int32_t> list(capacity, -7);
  std::int32_t n = -1;
  bool loaded = false;
  talva::StdoutOutput out;
  fuzz::expect_stop_or_success([&] {
    switch (choice & 3) {
      case 0:
        talva::array::load_rejects_(file->path(), n, list, out);
        break;
      case 1:
        talva::array::load_antreject_(file->path(), n, list, out);
        break;
      case 2: {
        const talva::array::talva_bsln_rejections_t bad = talva::array::load_badbslns_(file->path(), out);
        n = bad.count;
        if (n < 0 || n > 2000) std::abort();
        (void)talva::array::rejected_bsln_(bad, 1);
      } break;
      default: {
        const talva::array::talva_antenna_rejections_t bad = talva::array::load_badants_(file->path(), out);
        n = bad.count;
        if (n < 0 || n > 100) std::abort();
        (void)talva::array::rejected_ant_(bad, 1);
      }
        return;
    }
    loaded = true;
  });
  if (loaded && (choice & 3) < 2) {
    if (n < 0 || static_cast<std::size_t>(n) > list.size()) std::abort();
    for (std::int32_t k = 0; k < n; ++k) {
      if (!talva::array::reject_(n, list, list[static_cast<std::size_t>(k)])) std::abort();
    }
  }
  return 0;
}
