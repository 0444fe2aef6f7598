// Writing uv datasets of the converter's shape: 24 fixed variables, then
// one-channel records whose u, v, time and baseline change every record.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <bit>
#include <complex>
#include <cstdint>
#include <filesystem>
#include <string>

#include "miriad/uvio.h"
#include "miriad/uvread.h"

namespace {

namespace fs = std::filesystem;

void put_r(int tno, const char* name, float x) { talva::miriad::uvputvrr(tno, name, std::span<const float>(&x, 1)); }
void put_i(int tno, const char* name, std::int32_t x) {
  talva::miriad::uvputvri(tno, name, std::span<const std::int32_t>(&x, 1));
}
void put_d(int tno, const char* name, double x) { talva::miriad::uvputvrd(tno, name, std::span<const double>(&x, 1)); }

void write_dataset(const std::string& path, std::int64_t nrecords) {
  int tno = 0;
  talva::miriad::uvopen(tno, path, "new");
  talva::miriad::uvset(tno, "preamble", "uvw/time/baseline", 0, 0.0, 0.0, 0.0);
  talva::miriad::hisopen(tno, "write");
  talva::miriad::hiswrite(tno, "TALVA: Miriad version 1.1 29-Aug-2006");
  put_r(tno, "epoch", 2000.0f);
  put_i(tno, "nants", 96);
  put_r(tno, "veldop", 0.0f);
  put_r(tno, "vsource", 0.0f);
  talva::miriad::uvputvra(tno, "source", "TALVA");
  put_d(tno, "ra", 3.1415928);
  put_d(tno, "obsra", 3.1415928);
  put_d(tno, "dec", -0.7853982);
  put_d(tno, "obsdec", -0.7853982);
  put_d(tno, "latitud", -0.6173499822616577);
  put_d(tno, "longitu", 2.607928991317749);
  talva::miriad::uvputvra(tno, "telescop", "TALVA");
  put_r(tno, "inttime", std::bit_cast<float>(0x3F7FFFFFu));
  for (const char* n : {"nchan", "ischan", "nschan", "nspect"}) put_i(tno, n, 1);
  put_d(tno, "sfreq", 0.843);
  put_d(tno, "sdf", 0.003);
  put_i(tno, "npol", 1);
  put_i(tno, "pol", 1);
  put_r(tno, "jyperk", 40.0f);
  put_r(tno, "systemp", 45.0f);
  put_d(tno, "restfreq", 0.0);
  std::int32_t flag = 1;
  for (std::int64_t k = 0; k < nrecords; ++k) {
    double p[5] = {100.5 * static_cast<double>(k % 130 + 1), -20.25 * static_cast<double>(k % 130 + 1), 0.0,
                   2453737.0 + static_cast<double>(k / 130) / 86400.0,
                   65536.0 + 2048.0 + 2.0 + static_cast<double>(k % 130)};
    std::complex<float> d(1.5f + static_cast<float>(k % 7), -0.5f);
    talva::miriad::uvwrite(tno, p, std::span(&d, 1), std::span(&flag, 1), 1);
  }
  talva::miriad::hisclose(tno);
  talva::miriad::uvclose(tno);
}

std::string scratch(const char* what) {
  return (fs::temp_directory_path() / ("bench_uvio_" + std::to_string(::getpid()) + "_" + what)).string();
}

void BM_WriteConverterRecords(benchmark::State& state) {
  const std::int64_t n = state.range(0);
  std::string path = scratch("w");
  for (auto _ : state) {
    write_dataset(path, n);
    state.PauseTiming();
    fs::remove_all(path);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * n), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WriteConverterRecords)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadConverterRecords(benchmark::State& state) {
  const std::int64_t n = state.range(0);
  std::string path = scratch("r");
  fs::remove_all(path);
  write_dataset(path, n);
  for (auto _ : state) {
    talva::miriad::UvReader r(path);
    talva::miriad::UvRecord rec;
    std::int64_t count = 0;
    while (r.read(rec)) ++count;
    benchmark::DoNotOptimize(count);
  }
  fs::remove_all(path);
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * n), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadConverterRecords)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
