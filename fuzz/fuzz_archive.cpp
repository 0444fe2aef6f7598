// Archive reader: the whole fuzz input is an archive file (file header and
// dumps). Every dump is read with its decoded header, the product
// table is indexed as the programs index it, and the verbose decoder prints
// each header (standard output is thrown away).
#include <complex>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "fuzz/fuzz_support.h"
#include "util/stop.h"

using talva::archive::ArchiveOptions;
using talva::archive::ArchiveReader;
using talva::archive::Dump;
using talva::array::c_layout_common_t;
using talva::array::getvis_;
using talva::array::kMaxProducts;
using talva::array::ProductTable;

namespace {
fuzz::MemFile* archive = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  static fuzz::MemFile file;
  archive = &file;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  archive->set(data, size);
  static talva::StdoutOutput out;
  static const c_layout_common_t no_layout;  // no layout loaded: every sign 0
  // Verbose: every decoded header is printed too. A file header the reader
  // refuses is a clean stop.
  ArchiveOptions options;
  options.verbose = true;
  std::optional<ArchiveReader> opened;
  try {
    opened.emplace(archive->path(), out, options);
  } catch (const talva::Stop&) {
    return 0;
  }
  ArchiveReader& reader = *opened;
  const int nbsln = reader.file_header().nbsln;
  const std::vector<std::int32_t>& antnum = reader.file_header().antnum;
  if (nbsln < 0 || nbsln > kMaxProducts || antnum.size() != static_cast<std::size_t>(nbsln))
    std::abort();  // the reader promised a checked count
  const ProductTable table(antnum);
  int dumps = 0;
  while (const std::optional<Dump> dump = reader.next()) {
    if (dump->vis.size() != 2 * static_cast<std::size_t>(nbsln)) std::abort();
    // Every product of the table through the layout-free lookup.
    for (int k = 0; k < nbsln; ++k) {
      // Entry k (counted from 0 here) is product index k + 2; the first match wins.
      const std::int32_t index = table.index_of(antnum[static_cast<std::size_t>(k)]);
      if (index < 2 || index > k + 2) std::abort();
      std::complex<float> value;
      std::int32_t flag = 0;
      getvis_(no_layout, index, dump->vis, value, flag);
    }
    if (++dumps > 100000) std::abort();  // more dumps than bytes: a loop that does not advance
  }
  return 0;
}
