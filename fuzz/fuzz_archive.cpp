// Archive reader: the whole fuzz input is an archive file (file header and
// dumps). Every dump is read and every dump parameter fetched, the product
// table is indexed as the programs index it, and the verbose decoder prints
// each header (standard output is thrown away).
#include <complex>
#include <cstdint>
#include <span>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "fuzz/fuzz_support.h"

namespace {
fuzz::MemFile* archive = nullptr;
// One reader for the run, verbose: every decoded header is printed too.
ArchiveReader* reader_ptr = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  static fuzz::MemFile file;
  archive = &file;
  static talva::StdoutOutput out;
  static ArchiveReader reader(out);
  reader.setverbose();
  reader_ptr = &reader;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  archive->set(data, size);
  ArchiveReader& reader = *reader_ptr;
  static const c_layout_common_t no_layout;                             // no layout loaded: every sign 0
  if (reader.init_archiv_(archive->path().c_str()) != 0) std::abort();  // the file exists
  // The programs' buffers: 5000 product codes, 5000 complex items.
  std::vector<std::int32_t> antnum(kMaxProducts);
  std::vector<float> vis(2 * kMaxProducts);
  int nant = 0, nbsln = 0;
  if (reader.read_header_(nant, nbsln, antnum) == 0) {
    if (nbsln < 0 || nbsln > kMaxProducts) std::abort();  // the reader promised a checked count
    const ProductTable table(std::span<const std::int32_t>(antnum).first(static_cast<std::size_t>(nbsln)));
    int dumps = 0;
    while (reader.read_dump_(nbsln, vis, 0) == 0) {
      float f[4];
      int i[3];
      reader.read_dumppar_ra_(f[0]);
      reader.read_dumppar_dec_(f[1]);
      reader.read_dumppar_ha_(f[2]);
      reader.read_dumppar_temp_(f[3]);
      reader.read_dumppar_date_(i[0], i[1], i[2]);
      reader.read_dumppar_time_(i[0], i[1], i[2]);
      reader.read_dumppar_mode_(i[0]);
      reader.read_dumppar_tilts_(f[0], f[1], f[2], f[3]);
      reader.read_dumppar_md_inrad_(f[0]);
      // Every product of the table through the layout-free lookup.
      for (int k = 0; k < nbsln; ++k) {
        // Entry k (counted from 0 here) is product index k + 2; the first match wins.
        const std::int32_t index = table.index_of(antnum[static_cast<std::size_t>(k)]);
        if (index < 2 || index > k + 2) std::abort();
        std::complex<float> value;
        std::int32_t flag = 0;
        getvis_(no_layout, index, std::span<const float>(vis).first(2 * static_cast<std::size_t>(nbsln)), value, flag);
      }
      if (++dumps > 100000) std::abort();  // more dumps than bytes: a loop that does not advance
    }
  }
  reader.close_archiv_();
  return 0;
}
