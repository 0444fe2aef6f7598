// Reader throughput: every dump of a simulated archive (2000 dumps x 4608
// products, 96 antenna records) through ArchiveReader::next(),
// beside a plain sequential fread of the same file in 1 MiB blocks and in
// dump-sized blocks; and the averaging readers' accumulation of one dump
// into every product's sum.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"

using talva::archive::ArchiveReader;
using talva::array::accumulate_products;
using talva::array::c_layout_common_t;

namespace {

constexpr int kDumps = 2000;
constexpr int kProducts = 4608;
std::string archive_path;

bool make_archive() {
  const std::string dir = std::filesystem::temp_directory_path().string();
  archive_path = dir + "/talva-bench-" + std::to_string(::getpid()) + ".dat";
  const std::string cmd = std::string(TALVA_BIN_DIR) + "/talvasim archive=" + archive_path + " layout=" + archive_path +
                          ".layout ndumps=" + std::to_string(kDumps) + " nprod=" + std::to_string(kProducts) +
                          " noise=0.1 > /dev/null";
  return std::system(cmd.c_str()) == 0;
}

void BM_Reader(benchmark::State& state) {
  long long bytes = 0;
  talva::StdoutOutput out;
  for (auto _ : state) {
    ArchiveReader reader(archive_path, out);
    int dumps = 0;
    while (const auto dump = reader.next()) {
      benchmark::DoNotOptimize(dump->vis.data());
      ++dumps;
    }
    bytes += reader.offset();
    if (dumps != kDumps) state.SkipWithError("wrong number of dumps");
  }
  state.SetBytesProcessed(bytes);
}

// The destination is page-aligned: the kernel's copy into a buffer whose
// address disagrees with the file offset modulo the cache line takes about
// twice as long, and a heap vector's alignment depends on the heap's history.
alignas(4096) std::array<char, 1 << 20> plain_block;

void BM_PlainRead(benchmark::State& state) {
  auto& block = plain_block;
  long long bytes = 0;
  for (auto _ : state) {
    std::FILE* f = std::fopen(archive_path.c_str(), "rb");
    if (f == nullptr) state.SkipWithError("cannot open the archive");
    std::size_t n;
    while ((n = std::fread(block.data(), 1, block.size(), f)) > 0) bytes += static_cast<long long>(n);
    std::fclose(f);
    benchmark::DoNotOptimize(block.data());
  }
  state.SetBytesProcessed(bytes);
}

// The same bytes requested one dump at a time (39276 bytes), default stdio buffering.
void BM_PlainReadDumpSized(benchmark::State& state) {
  constexpr std::size_t kDumpBytes = 12 + 96 + 96 * 24 + kProducts * 8;
  std::vector<char> block(kDumpBytes);
  long long bytes = 0;
  for (auto _ : state) {
    std::FILE* f = std::fopen(archive_path.c_str(), "rb");
    if (f == nullptr) state.SkipWithError("cannot open the archive");
    std::size_t n;
    while ((n = std::fread(block.data(), 1, block.size(), f)) > 0) bytes += static_cast<long long>(n);
    std::fclose(f);
    benchmark::DoNotOptimize(block.data());
  }
  state.SetBytesProcessed(bytes);
}

// accumulate_products over one dump of 4561 products (the 96-antenna
// correlator's pairs), signs alternating, a few values not finite.
void BM_AccumulateProducts(benchmark::State& state) {
  constexpr std::size_t n = 4561;
  c_layout_common_t layout;
  for (std::size_t k = 0; k < n; ++k) layout.lay_sign[k] = k % 2 == 0 ? 1 : -1;
  std::vector<float> vis(2 * n);
  for (std::size_t k = 0; k < vis.size(); ++k) vis[k] = k % 997 == 0 ? INFINITY : static_cast<float>(k % 13) - 6.0f;
  std::vector<std::complex<float>> sums(n);
  std::vector<std::int32_t> used(n);
  for (auto _ : state) {
    accumulate_products(layout, vis, sums, used);
    benchmark::DoNotOptimize(sums.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<long long>(n));
}

BENCHMARK(BM_AccumulateProducts);
BENCHMARK(BM_Reader)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PlainReadDumpSized)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!make_archive()) {
    std::fprintf(stderr, "bench_archive: talvasim (in %s) could not write the archive\n", TALVA_BIN_DIR);
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove(archive_path);
  std::filesystem::remove(archive_path + ".layout");
  return 0;
}
