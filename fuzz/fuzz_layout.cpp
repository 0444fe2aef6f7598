// Correlator layout loader: the fuzz input is the layout file. A load that
// succeeds must leave a record the lookups can trust.
#include <cstdint>

#include "array/layout.h"
#include "fuzz/fuzz_support.h"

using talva::array::c_layout_common_t;
using talva::array::kMaxProducts;
using talva::array::load_corr_layout_file_;
using talva::array::set_antnum_;

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
  file->set(data, size);
  bool loaded = false;
  talva::StdoutOutput out;
  static c_layout_common_t lay;  // 140 kB: kept off the stack
  fuzz::expect_stop_or_success([&] {
    lay = load_corr_layout_file_(file->path(), out);
    loaded = true;
  });
  if (!loaded) return 0;
  if (lay.lay_count < 0 || lay.lay_count > kMaxProducts) std::abort();
  for (int k = 1; k < lay.lay_count; ++k) {  // entries 2..lay_count come from the file
    const auto i = static_cast<std::size_t>(k);
    const std::int32_t lo = lay.lay_ant1[i], hi = lay.lay_ant2[i];
    if (lo < 1 || hi > 96 || lo > hi) std::abort();
    if (lay.lay_code[i] != set_antnum_(lo, hi) && lo != hi) std::abort();
    if (lay.lay_sign[i] != 1 && lay.lay_sign[i] != -1) std::abort();
  }
  return 0;
}
