// Whole-process times of the programs beside a yardstick of plain file I/O.
//
//   programs_vs_io BINDIR WORKDIR [ROUNDS]
//
// Writes a long simulated archive into WORKDIR once (talvasim: 3000 dumps,
// the 4561 products of every pair), a gains and a phase table from it, and
// then times, for each program, ROUNDS runs of the program alternating with
// ROUNDS runs of its yardstick (this executable again, doing only the plain
// I/O): a plain read of the archive in 1 MiB blocks for the programs that
// read, the same read plus a plain write of as many bytes as the program's
// dataset holds in visdata for the converters. Prints a Markdown table of the
// median wall times and their ratio, and of the median CPU times (steadier on
// a busy machine). Start-up counts on both sides.
//
//   programs_vs_io --read FILE          (yardstick: read FILE)
//   programs_vs_io --copy FILE OUT N    (yardstick: read FILE, write N bytes to OUT)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

alignas(4096) std::array<char, 1 << 20> block;

int plain_read(const char* path) {
  const int fd = ::open(path, O_RDONLY);
  if (fd < 0) return 1;
  ssize_t n;
  while ((n = ::read(fd, block.data(), block.size())) > 0) {
  }
  ::close(fd);
  return n < 0 ? 1 : 0;
}

int plain_copy(const char* path, const char* out, long long bytes) {
  if (plain_read(path) != 0) return 1;
  const int fd = ::open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return 1;
  block.fill(1);
  for (long long left = bytes; left > 0;) {
    const ssize_t n = ::write(fd, block.data(), static_cast<std::size_t>(std::min<long long>(left, block.size())));
    if (n <= 0) return 1;
    left -= n;
  }
  return ::close(fd) == 0 ? 0 : 1;
}

struct Times {
  double wall = -1.0;  ///< ms; -1 when the run failed
  double cpu = 0.0;    ///< user + system, ms
};

/// Runs argv (output to /dev/null) and returns its times.
Times run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return {};
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) < 0) return {};
  const auto t1 = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
  return {std::chrono::duration<double, std::milli>(t1 - t0).count(), ms(usage.ru_utime) + ms(usage.ru_stime)};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Case {
  std::string name;
  std::vector<std::string> args;  // the program's command line
  std::string output;             // a dataset to remove before each run ("" for none)
  std::string yardstick;          // "read" or "copy"
};

int fail(const std::string& what) {
  std::fprintf(stderr, "programs_vs_io: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--read") == 0) return plain_read(argv[2]);
  if (argc == 5 && std::strcmp(argv[1], "--copy") == 0) return plain_copy(argv[2], argv[3], std::atoll(argv[4]));
  if (argc < 3) {
    std::fprintf(stderr, "usage: programs_vs_io BINDIR WORKDIR [ROUNDS]\n");
    return 2;
  }
  const std::string bin = fs::absolute(argv[1]).string();
  const fs::path work = fs::absolute(argv[2]);
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 7;
  const std::string self = fs::canonical("/proc/self/exe").string();
  fs::create_directories(work);
  fs::current_path(work);

  const std::string arc = (work / "long.arc").string(), lay = (work / "long.lay").string();
  if (!fs::exists(arc)) {
    if (run({bin + "/talvasim", "archive=" + arc, "layout=" + lay, "ndumps=3000", "noise=0.1", "seed=11"}).wall < 0)
      return fail("talvasim failed");
  }
  fs::remove(work / "long.gains");
  if (run({bin + "/gainsolve", "infile=" + arc, "corlfile=" + lay, "gnsfile=long.gains"}).wall < 0)
    return fail("gainsolve failed on the archive");
  // phasesolve's phase table for the legacy converter (phase_dmp.log)
  if (run({bin + "/phasesolve", "infile=" + arc, "corlfile=" + lay, "device=/null"}).wall < 0)
    return fail("phasesolve failed on the archive");

  const std::vector<Case> cases = {
      {"gainsolve", {bin + "/gainsolve", "infile=" + arc, "corlfile=" + lay, "gnsfile=bench.gains"}, "", "read"},
      {"phasesolve", {bin + "/phasesolve", "infile=" + arc, "corlfile=" + lay, "device=/null"}, "", "read"},
      {"talva2vis (legacy, talva1a)",
       {bin + "/talva2vis", "infile=" + arc, "corlfile=" + lay, "phasefil=phase_dmp.log", "uvfile=legacy.uv",
        "device=/null"},
       "legacy.uv",
       "copy"},
      {"talva2vis3 (talva1a)",
       {bin + "/talva2vis3", "infile=" + arc, "corlfile=" + lay, "gnsfile=long.gains", "uvfile=current.uv",
        "device=/null"},
       "current.uv",
       "copy"},
      {"dumpscope, 44 passes, device=/null",
       {bin + "/dumpscope", "infile=" + arc, "corrfile=" + lay, "device=/null"},
       "",
       "read"},
  };

  std::printf("Archive: %s, %.0f MB; %d rounds, median wall times\n\n", arc.c_str(),
              static_cast<double>(fs::file_size(arc)) / 1e6, rounds);
  std::printf("| Program | Time | Yardstick | Ratio | CPU time (user + system): program / yardstick |\n|---|---|---|---|---|\n");
  for (const Case& c : cases) {
    // One untimed run: warms the page cache and gives the visdata size.
    if (!c.output.empty()) fs::remove_all(c.output);
    if (run(c.args).wall < 0) return fail(c.name + " failed");
    std::vector<std::string> yard = {self, "--read", arc};
    std::string label = "plain read";
    if (c.yardstick == "copy") {
      const auto bytes = fs::file_size(fs::path(c.output) / "visdata");
      yard = {self, "--copy", arc, (work / "yardstick.out").string(), std::to_string(bytes)};
      label = "plain read + write of " + std::to_string(bytes / 1000000) + " MB";
    }
    std::vector<double> program, stick, program_cpu, stick_cpu;
    for (int r = 0; r < rounds; ++r) {
      if (!c.output.empty()) fs::remove_all(c.output);
      fs::remove(work / "yardstick.out");
      const Times p = run(c.args), y = run(yard);
      if (p.wall < 0 || y.wall < 0) return fail(c.name + " or its yardstick failed");
      program.push_back(p.wall);
      stick.push_back(y.wall);
      program_cpu.push_back(p.cpu);
      stick_cpu.push_back(y.cpu);
    }
    const double p = median(program), y = median(stick), pc = median(program_cpu), yc = median(stick_cpu);
    std::printf("| %s | %.0f ms | %s (%.0f ms) | %.2fx | %.0f / %.0f ms: %.2fx |\n", c.name.c_str(), p, label.c_str(), y,
                p / y, pc, yc, pc / yc);
    std::fflush(stdout);
  }
  fs::remove(work / "yardstick.out");
  return 0;
}
