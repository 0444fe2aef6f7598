// Conversion speed of talva2vis3 on a simulated 96-antenna archive of 3000
// dumps (device=/null), beside the floor that no converter can beat: a plain
// sequential read of the archive plus a plain write of a file as large as
// the dataset's visdata. The converters run as child processes; their CPU
// time is reported as the counter "child_cpu_s".
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
constexpr int kDumps = 3000;

int spawn(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd) {
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  const fs::path old = fs::current_path();
  fs::current_path(cwd);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  fs::current_path(old);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

double children_cpu() {
  rusage ru{};
  getrusage(RUSAGE_CHILDREN, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

// The simulated archive, written once per benchmark process.
struct Archive {
  fs::path dir;
  std::uintmax_t visdata_bytes = 0;
  Archive() {
    dir = fs::temp_directory_path() / ("talva-bench-convert-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string bin = TALVA_BIN_DIR;
    if (spawn(bin + "/talvasim",
              {"archive=a.arc", "layout=lay.txt", "ndumps=" + std::to_string(kDumps), "gainsout=g.txt"}, dir) != 0)
      throw std::runtime_error("talvasim failed");
    if (spawn(bin + "/talva2vis3",
              {"infile=a.arc", "corlfile=lay.txt", "gnsfile=g.txt", "uvfile=probe.uv", "device=/null"}, dir) != 0)
      throw std::runtime_error("talva2vis3 failed");
    visdata_bytes = fs::file_size(dir / "probe.uv" / "visdata");
  }
  ~Archive() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

Archive& archive() {
  static Archive a;
  return a;
}

void BM_Floor_ReadArchiveWriteVisdata(benchmark::State& state) {
  Archive& a = archive();
  std::vector<char> buf(1 << 20);
  for (auto _ : state) {
    std::FILE* in = std::fopen((a.dir / "a.arc").c_str(), "rb");
    std::size_t total = 0, n = 0;
    while ((n = std::fread(buf.data(), 1, buf.size(), in)) > 0) total += n;
    std::fclose(in);
    std::FILE* out = std::fopen((a.dir / "floor.bin").c_str(), "wb");
    for (std::uintmax_t left = a.visdata_bytes; left > 0;) {
      const std::size_t k = static_cast<std::size_t>(std::min<std::uintmax_t>(left, buf.size()));
      std::fwrite(buf.data(), 1, k, out);
      left -= k;
    }
    std::fclose(out);
    benchmark::DoNotOptimize(total);
  }
  state.counters["archive_MB"] = static_cast<double>(fs::file_size(a.dir / "a.arc")) / 1e6;
  state.counters["visdata_MB"] = static_cast<double>(a.visdata_bytes) / 1e6;
}

void convert(benchmark::State& state, const std::string& mode) {
  Archive& a = archive();
  const std::string bin = std::string(TALVA_BIN_DIR) + "/talva2vis3";
  double cpu = 0.0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(a.dir / "out.uv");
    state.ResumeTiming();
    const double before = children_cpu();
    if (spawn(bin,
              {"infile=a.arc", "corlfile=lay.txt", "gnsfile=g.txt", "uvfile=out.uv", "device=/null", "skmode=" + mode},
              a.dir) != 0)
      state.SkipWithError("conversion failed");
    cpu += children_cpu() - before;
  }
  state.counters["child_cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
  state.counters["dumps"] = kDumps;
}

void BM_Talva2vis3_Talva1a(benchmark::State& state) { convert(state, "talva1a"); }
void BM_Talva2vis3_Orvex(benchmark::State& state) { convert(state, "orvex"); }

}  // namespace

BENCHMARK(BM_Floor_ReadArchiveWriteVisdata)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_Talva2vis3_Talva1a)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_Talva2vis3_Orvex)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

BENCHMARK_MAIN();
