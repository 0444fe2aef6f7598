// Whole-process times and peak memory of the programs beside a yardstick of
// plain file I/O.
//
//   programs_vs_io BINDIR WORKDIR [ROUNDS] [FULL_ROUNDS]
//
// Writes two simulated archives with the 4561 products of every pair once
// (talvasim; kept in WORKDIR for the next time): 3000 dumps (117 MB), and a
// full 12-hour track of 1-second dumps, 43,200 dumps (1.7 GB), each in a
// folder of its own with a gains and a phase table made from it. Then, for
// each archive and each program, times ROUNDS (FULL_ROUNDS for the long
// archive) runs of the program alternating with runs of its yardsticks (this
// executable again, doing only the plain I/O): a plain read of the archive in
// 1 MiB blocks for the programs that read; for the converters, the same read
// plus a plain write of as many bytes as the program's outputs hold, once as
// it is and once synced to the disk (fsync) before it ends, since a
// converter makes every output durable before it replaces anything. Prints
// Markdown tables of the median wall times, their ratios, the median CPU
// times and the largest resident memory of the program. Start-up counts on
// both sides.
//
//   programs_vs_io --read FILE               (yardstick: read FILE)
//   programs_vs_io --copy FILE OUT N [sync]  (read FILE, write N bytes to OUT [and fsync it])
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

int plain_copy(const char* path, const char* out, long long bytes, bool sync) {
  if (plain_read(path) != 0) return 1;
  const int fd = ::open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return 1;
  block.fill(1);
  for (long long left = bytes; left > 0;) {
    const ssize_t n = ::write(fd, block.data(), static_cast<std::size_t>(std::min<long long>(left, block.size())));
    if (n <= 0) return 1;
    left -= n;
  }
  if (sync && ::fsync(fd) != 0) return 1;
  return ::close(fd) == 0 ? 0 : 1;
}

struct Times {
  double wall = -1.0;  ///< ms; -1 when the run failed
  double cpu = 0.0;    ///< user + system, ms
  double peak = 0.0;   ///< largest resident memory, MB
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
  return {std::chrono::duration<double, std::milli>(t1 - t0).count(), ms(usage.ru_utime) + ms(usage.ru_stime),
          static_cast<double>(usage.ru_maxrss) / 1024.0};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Case {
  std::string name;
  std::vector<std::string> args;     // the program's command line
  std::vector<std::string> outputs;  // datasets to remove before each run (none: a reader)
};

struct Medians {
  double wall = 0, cpu = 0, peak = 0;
};

Medians medians(const std::vector<Times>& t) {
  std::vector<double> wall, cpu, peak;
  for (const Times& x : t) {
    wall.push_back(x.wall);
    cpu.push_back(x.cpu);
    peak.push_back(x.peak);
  }
  return {median(wall), median(cpu), median(peak)};
}

int fail(const std::string& what) {
  std::fprintf(stderr, "programs_vs_io: %s\n", what.c_str());
  return 1;
}

/// Bytes of the files in `path` and below it (a dataset or a MeasurementSet).
std::uintmax_t bytes_of(const fs::path& path) {
  std::uintmax_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(path))
    if (e.is_regular_file()) n += e.file_size();
  return n;
}

/// Makes the archive of `ndumps` dumps in `dir` (once) and its gains and
/// phase tables; the programs' cases, to be run in `dir`.
bool prepare(const std::string& bin, const fs::path& dir, int ndumps, std::vector<Case>& cases) {
  fs::create_directories(dir);
  const std::string arc = (dir / "bench.arc").string(), lay = (dir / "bench.lay").string();
  if (!fs::exists(arc)) {
    const std::string part = arc + ".part";  // a cut-short archive is never taken for a whole one
    if (run({bin + "/talvasim", "archive=" + part, "layout=" + lay, "ndumps=" + std::to_string(ndumps), "noise=0.1",
             "seed=11"})
            .wall < 0)
      return false;
    fs::rename(part, arc);
  }
  fs::current_path(dir);
  fs::remove("bench.gains");
  if (run({bin + "/gainsolve", "infile=" + arc, "corlfile=" + lay, "gnsfile=bench.gains"}).wall < 0) return false;
  // phasesolve's phase table for the legacy converter (phase_dmp.log)
  if (run({bin + "/phasesolve", "infile=" + arc, "corlfile=" + lay, "device=/null"}).wall < 0) return false;
  const std::vector<std::string> v3 = {bin + "/talva2vis3", "infile=" + arc, "corlfile=" + lay, "gnsfile=bench.gains",
                                       "device=/null"};
  auto with = [](std::vector<std::string> a, std::initializer_list<std::string> more) {
    a.insert(a.end(), more);
    return a;
  };
  cases = {
      {"gainsolve", {bin + "/gainsolve", "infile=" + arc, "corlfile=" + lay, "gnsfile=run.gains"}, {}},
      {"gainsolve `interval=5 gnstable=`",
       {bin + "/gainsolve", "infile=" + arc, "corlfile=" + lay, "gnsfile=run.gains", "interval=5",
        "gnstable=run.table"},
       {}},
      {"gainsolve `model=redundant interval=5 refgains=`",
       {bin + "/gainsolve", "infile=" + arc, "corlfile=" + lay, "gnsfile=run.gains", "model=redundant", "interval=5",
        "refgains=bench.gains", "gnstable=run.table"},
       {}},
      {"phasesolve", {bin + "/phasesolve", "infile=" + arc, "corlfile=" + lay, "device=/null"}, {}},
      {"talva2vis (legacy, talva1a)",
       {bin + "/talva2vis", "infile=" + arc, "corlfile=" + lay, "phasefil=phase_dmp.log", "uvfile=legacy.uv",
        "device=/null"},
       {"legacy.uv"}},
      {"talva2vis3 (talva1a) `uvfile=`", with(v3, {"uvfile=current.uv"}), {"current.uv"}},
      {"talva2vis3 `msfile=`", with(v3, {"msfile=current.ms"}), {"current.ms"}},
      {"talva2vis3 `uvfile=` `msfile=`",
       with(v3, {"uvfile=current.uv", "msfile=current.ms"}),
       {"current.uv", "current.ms"}},
      {"dumpscope, 44 passes, device=/null",
       {bin + "/dumpscope", "infile=" + arc, "corrfile=" + lay, "device=/null"},
       {}},
  };
  return true;
}

/// Times the cases of one archive and prints their table.
bool time_cases(const std::string& self, const fs::path& dir, const std::vector<Case>& cases, int rounds) {
  const std::string arc = (dir / "bench.arc").string(), out = (dir / "yardstick.out").string();
  std::printf("Archive: %s, %.0f MB; %d rounds, medians\n\n", arc.c_str(),
              static_cast<double>(fs::file_size(arc)) / 1e6, rounds);
  std::printf(
      "| Program | Time | Peak memory | Yardstick | Ratio | Ratio to the synced yardstick | CPU time: program / "
      "yardstick |\n|---|---|---|---|---|---|---|\n");
  for (const Case& c : cases) {
    // One untimed run: warms the page cache and gives the outputs' size.
    for (const auto& o : c.outputs) fs::remove_all(o);
    if (run(c.args).wall < 0) {
      fail(c.name + " failed");
      return false;
    }
    std::uintmax_t bytes = 0;
    for (const auto& o : c.outputs) bytes += bytes_of(o);
    const bool writes = !c.outputs.empty();
    const std::vector<std::string> plain =
        writes ? std::vector<std::string>{self, "--copy", arc, out, std::to_string(bytes)}
               : std::vector<std::string>{self, "--read", arc};
    std::vector<std::string> synced = plain;
    synced.push_back("sync");
    std::vector<Times> program, stick, stick_synced;
    for (int r = 0; r < rounds; ++r) {
      for (const auto& o : c.outputs) fs::remove_all(o);
      fs::remove(out);
      const Times p = run(c.args), y = run(plain);
      fs::remove(out);
      const Times s = writes ? run(synced) : y;
      if (p.wall < 0 || y.wall < 0 || s.wall < 0) {
        fail(c.name + " or its yardstick failed");
        return false;
      }
      program.push_back(p);
      stick.push_back(y);
      stick_synced.push_back(s);
    }
    const Medians p = medians(program), y = medians(stick), s = medians(stick_synced);
    const std::string label =
        writes ? "read + write of " + std::to_string((bytes + 500000) / 1000000) + " MB" : "plain read";
    char synced_cell[64] = "";
    if (writes) std::snprintf(synced_cell, sizeof synced_cell, "%.2fx (%.0f ms)", p.wall / s.wall, s.wall);
    std::printf("| %s | %.0f ms | %.0f MB | %s (%.0f ms) | %.2fx | %s | %.0f / %.0f ms: %.2fx |\n", c.name.c_str(),
                p.wall, p.peak, label.c_str(), y.wall, p.wall / y.wall, writes ? synced_cell : "-", p.cpu, y.cpu,
                p.cpu / y.cpu);
    std::fflush(stdout);
  }
  fs::remove(out);
  for (const Case& c : cases)
    for (const auto& o : c.outputs) fs::remove_all(o);
  std::printf("\n");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--read") == 0) return plain_read(argv[2]);
  if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "--copy") == 0)
    return plain_copy(argv[2], argv[3], std::atoll(argv[4]), argc == 6);
  if (argc < 3) {
    std::fprintf(stderr, "usage: programs_vs_io BINDIR WORKDIR [ROUNDS] [FULL_ROUNDS]\n");
    return 2;
  }
  const std::string bin = fs::absolute(argv[1]).string();
  const fs::path work = fs::absolute(argv[2]);
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 7;
  const int full_rounds = argc > 4 ? std::max(0, std::atoi(argv[4])) : 3;
  const std::string self = fs::canonical("/proc/self/exe").string();
  struct Length {
    const char* folder;
    int ndumps, rounds;
  };
  for (const Length& l : {Length{"3000", 3000, rounds}, Length{"43200", 43200, full_rounds}}) {
    if (l.rounds == 0) continue;
    std::vector<Case> cases;
    if (!prepare(bin, work / l.folder, l.ndumps, cases))
      return fail("the archive of " + std::to_string(l.ndumps) + " dumps or its tables could not be made");
    if (!time_cases(self, work / l.folder, cases, l.rounds)) return 1;
  }
  return 0;
}
