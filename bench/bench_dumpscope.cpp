// dumpscope: a full run of 44 passes over a simulated archive of 3000 dumps,
// beside one plain sequential read of the same file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/archiv_util.h"

using talva::archive::ArchiveReader;

extern char** environ;

namespace {

constexpr int kDumps = 3000;

/// Runs a built program with its output sent to /dev/null; returns its status
/// and adds the child's processor time (user + system, ms) to *cpu_ms.
int run_quiet(const std::string& name, const std::vector<std::string>& args, double* cpu_ms = nullptr) {
  const std::string path = name.front() == '/' ? name : std::string(TALVA_BIN_DIR) + "/" + name;
  std::vector<std::string> words{path};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  if (cpu_ms != nullptr) {
    *cpu_ms +=
        (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// The simulated archive, written once per benchmark process.
struct Fixture {
  std::filesystem::path dir;
  std::string archive;
  std::string layout;
  Fixture() {
    dir = std::filesystem::temp_directory_path() / ("bench_dumpscope_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    archive = (dir / "a.arc").string();
    layout = (dir / "layout.txt").string();
    if (run_quiet("talvasim",
                  {"archive=" + archive, "layout=" + layout, "ndumps=" + std::to_string(kDumps), "noise=0.1"}) != 0) {
      throw std::runtime_error("talvasim failed");
    }
  }
  ~Fixture() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_PlainRead(benchmark::State& state) {
  const Fixture& f = fixture();
  std::vector<char> buf(1 << 20);
  std::size_t total = 0;
  for (auto _ : state) {
    std::FILE* file = std::fopen(f.archive.c_str(), "rb");
    if (file == nullptr) state.SkipWithError("cannot open the archive");
    total = 0;
    for (std::size_t got = 0; (got = std::fread(buf.data(), 1, buf.size(), file)) > 0;) total += got;
    std::fclose(file);
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total));
}
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReaderDumpLoop(benchmark::State& state) {
  const Fixture& f = fixture();
  talva::StdoutOutput out;
  for (auto _ : state) {
    int dumps = 0;
    ArchiveReader reader(f.archive, out);
    while (reader.next()) ++dumps;
    if (dumps != kDumps) state.SkipWithError("unexpected dump count");
  }
}
BENCHMARK(BM_ReaderDumpLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

/// dumpscope with `extra` keywords; the counter cpu_ms is the child's
/// processor time per run (steadier than wall time on a shared machine).
void run_dumpscope(benchmark::State& state, const std::vector<std::string>& extra) {
  const Fixture& f = fixture();
  std::vector<std::string> args{"infile=" + f.archive, "corrfile=" + f.layout, "phstrk=t", "navrg=5"};
  args.insert(args.end(), extra.begin(), extra.end());
  double cpu_ms = 0;
  for (auto _ : state) {
    if (run_quiet("dumpscope", args, &cpu_ms) != 0) state.SkipWithError("dumpscope failed");
  }
  state.counters["cpu_ms"] = cpu_ms / static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
}

/// 44 passes, the plots drawn by the plot library and discarded (/null).
void BM_Dumpscope44PassesNullDevice(benchmark::State& state) { run_dumpscope(state, {"device=/null"}); }
BENCHMARK(BM_Dumpscope44PassesNullDevice)->Unit(benchmark::kMillisecond)->UseRealTime();

/// 44 passes without a plot device (it cannot be opened): reading, passes, printing.
void BM_Dumpscope44PassesNoPlots(benchmark::State& state) { run_dumpscope(state, {"device=/nodevice"}); }
BENCHMARK(BM_Dumpscope44PassesNoPlots)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DumpscopeOneshotNoPlots(benchmark::State& state) { run_dumpscope(state, {"device=/nodevice", "oneshot=t"}); }
BENCHMARK(BM_DumpscopeOneshotNoPlots)->Unit(benchmark::kMillisecond)->UseRealTime();

/// A plain sequential read of the archive by a separate process (cat), for
/// the same process start and kernel copy costs as a dumpscope run.
void BM_PlainReadProcess(benchmark::State& state) {
  const Fixture& f = fixture();
  double cpu_ms = 0;
  for (auto _ : state) {
    if (run_quiet("/bin/cat", {f.archive}, &cpu_ms) != 0) state.SkipWithError("cat failed");
  }
  state.counters["cpu_ms"] = cpu_ms / static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
}
BENCHMARK(BM_PlainReadProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
