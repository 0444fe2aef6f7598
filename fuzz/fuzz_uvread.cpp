// uv-dataset reader. The fuzz input is a sequence of items, each one byte
// naming the item (index into kItems), a 2-byte little-endian length and the
// bytes (cut at the end of the input); they are written as the files of a
// dataset directory, which is then opened and read to the end.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/fuzz_support.h"
#include "miriad/uvread.h"

namespace {
namespace fs = std::filesystem;

constexpr const char* kItems[] = {"header", "vartable", "visdata", "flags", "history", "vislen", "ncorr", "wflags"};
constexpr std::size_t kNumItems = sizeof kItems / sizeof kItems[0];
std::string* dataset = nullptr;

void write_item(const std::string& name, const std::uint8_t* p, std::size_t n) {
  std::ofstream out(fs::path(*dataset) / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
  if (!out) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  static std::string dir = (fs::temp_directory_path() / ("talva-fuzz-uv-" + std::to_string(getpid()))).string();
  fs::create_directories(dir);
  dataset = &dir;
  std::atexit([] { fs::remove_all(*dataset); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const char* item : kItems) fs::remove(fs::path(*dataset) / item);
  std::size_t pos = 0;
  while (pos + 3 <= size) {
    const std::size_t which = data[pos] % kNumItems;
    std::size_t n = data[pos + 1] | static_cast<std::size_t>(data[pos + 2]) << 8;
    pos += 3;
    if (n > size - pos) n = size - pos;
    write_item(kItems[which], data + pos, n);
    pos += n;
  }
  fuzz::expect_stop_or_success([&] {
    talva::miriad::UvReader reader(*dataset);
    (void)reader.items();
    for (const auto& v : reader.variables()) (void)v.format();
    (void)reader.history();
    std::string text;
    std::int64_t number = 0;
    (void)reader.item_text("obstype", text);
    (void)reader.item_int8("nvis", number);
    talva::miriad::UvRecord record;
    std::int64_t records = 0;
    while (reader.read(record)) {
      if (record.flags.size() != record.data.size()) std::abort();
      if (++records > static_cast<std::int64_t>(size)) std::abort();  // every record takes bytes
      for (const auto& v : reader.variables()) (void)v.format();
    }
  });
  return 0;
}
