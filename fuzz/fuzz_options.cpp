// The inspector's option text ("ap(1e,1w)", "bs(2,b)", ...): the fuzz input is
// the text; a decoded option is then used to select products from the
// product table of a full archive (every cross pair, a dummy entry last).
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "programs/dumpscope/options.h"

namespace {
std::vector<std::int32_t>* table = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  static std::vector<std::int32_t> codes;
  for (int a = 1; a <= 95; ++a)
    for (int b = a + 1; b <= 96; ++b) codes.push_back(256 * b + a);
  codes.push_back(257);
  table = &codes;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  fuzz::expect_stop_or_success([&] {
    talva::dumpscope::OptionRecord opt;
    talva::dumpscope::decode_option_(text, opt);
    if (opt.error != 0) return;
    const auto nbsln = static_cast<std::int32_t>(table->size());
    const talva::dumpscope::Selection s = talva::dumpscope::select_products(nbsln, *table, opt);
    if (s.error == 0) {
      if (s.sel.size() > static_cast<std::size_t>(talva::dumpscope::kMaxEntries)) std::abort();
      for (std::int32_t index : s.sel) {
        if (index < 2 || index > nbsln) std::abort();  // items carried by a dump only
      }
    }
  });
  return 0;
}
