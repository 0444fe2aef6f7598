// Meridian-distance gain table: the first input byte gives nmax (also zero
// and negative), the rest is the table file; the loaded table is then
// looked up as the programs do.
#include <cstdint>
#include <vector>

#include "calib/mdgain.h"
#include "fuzz/fuzz_support.h"

using talva::calib::find_mdgain_;
using talva::calib::load_mdtable_;

namespace {
fuzz::MemFile* file = nullptr;
constexpr std::size_t kCapacity = 64;  // entries; the table holds two floats each
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  static fuzz::MemFile f;
  file = &f;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int nmax = static_cast<int>(data[0]) - 4;
  file->set(data + 1, size - 1);
  std::vector<float> table(2 * kCapacity, 0.0f);
  int n = -1;
  bool loaded = false;
  talva::StdoutOutput out;
  fuzz::expect_stop_or_success([&] {
    load_mdtable_(nmax, file->path(), n, table, out);
    loaded = true;
  });
  if (!loaded) return 0;
  if (n < 0 || static_cast<std::size_t>(n) > kCapacity) std::abort();
  for (float md : {-1.0f, 0.0f, 0.01f, 0.3f, 1.5f}) {
    float gain = 1.0f;
    find_mdgain_(n, table, md, gain);
  }
  return 0;
}
