// Long archives: the programs' memory must not grow with the number of
// dumps. Each program runs on a short and a ten times longer simulated
// archive and its peak resident set (getrusage of the child) is compared.
// The figures for a 50,000-dump archive are measured by hand (README).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "miriad/uvread.h"
#include "support/testsupport.h"

extern char** environ;

namespace {

using talva::test::bin;
using talva::test::run;
using talva::test::RunResult;
using talva::test::TempDir;

struct Usage {
  int status = -1;
  long peak_kb = 0;
};

// Runs a program with its output thrown away and returns its exit status and
// peak resident set. An AddressSanitizer build keeps freed memory in a
// quarantine whose size grows with the work done; it is made small here so
// that the figures mean the same in both builds.
Usage measure(const std::string& program, std::vector<std::string> args, const std::string& cwd) {
  std::vector<std::string> argv_s{bin(program)};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_s;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("ASAN_OPTIONS=", 0) != 0) env_s.emplace_back(*e);
  }
  env_s.emplace_back("ASAN_OPTIONS=quarantine_size_mb=1:detect_leaks=0");
  std::vector<char*> envp;
  for (auto& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  Usage u;
  if (rc != 0) return u;
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) != pid) return u;
  u.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  u.peak_kb = ru.ru_maxrss;
  return u;
}

struct Peaks {
  std::string program;
  long short_kb = 0, long_kb = 0;
};

TEST(LongArchive, PeakMemoryIsFlatInTheNumberOfDumps) {
  TempDir dir;
  const std::string cwd = dir.path().string();
  constexpr int kShort = 500, kLong = 5000;
  // East-west pairs only keep the files small
  // (about 21 kB a dump) while every program still walks every dump.
  for (int n : {kShort, kLong}) {
    const RunResult sim = run(
        "talvasim", {"archive=" + dir.file(std::to_string(n) + ".arc"), "layout=" + dir.file("lay"),
                     "ndumps=" + std::to_string(n), "pairs=ew", "noise=0.01", "gainsout=" + dir.file("true.gains")});
    ASSERT_EQ(sim.status, 0) << sim.out << sim.err;
  }
  std::string phases = "phases\n";
  for (int a = 1; a <= 96; ++a) phases += std::to_string(a) + " 0.0\n";
  talva::test::write_file(dir.file("phases"), phases);
  auto args_for = [&](const std::string& program, int n) -> std::vector<std::string> {
    const std::string arc = "infile=" + dir.file(std::to_string(n) + ".arc");
    const std::string tag = program + std::to_string(n);
    if (program == "talva2vis3")
      return {arc, "corlfile=" + dir.file("lay"), "gnsfile=" + dir.file("true.gains"),
              "uvfile=" + dir.file(tag + ".uv"), "device=/null"};
    if (program == "talva2vis")
      return {arc, "corlfile=" + dir.file("lay"), "phasefil=" + dir.file("phases"), "uvfile=" + dir.file(tag + ".uv"),
              "device=/null"};
    if (program == "gainsolve") return {arc, "corlfile=" + dir.file("lay"), "gnsfile=" + dir.file(tag + ".gains")};
    if (program == "phasesolve") return {arc, "corlfile=" + dir.file("lay"), "refant=1", "device=/null"};
    return {arc, "corrfile=" + dir.file("lay"), "option=ap(1e,1w)", "oneshot=t", "device=/null"};
  };
  std::vector<Peaks> peaks;
  for (const std::string program : {"talva2vis3", "talva2vis", "gainsolve", "phasesolve", "dumpscope"}) {
    Peaks p{program};
    for (int n : {kShort, kLong}) {
      const Usage u = measure(program, args_for(program, n), cwd);
      ASSERT_EQ(u.status, 0) << program << " on " << n << " dumps";
      (n == kShort ? p.short_kb : p.long_kb) = u.peak_kb;
    }
    peaks.push_back(p);
  }
  for (const auto& p : peaks) {
    std::printf("%-10s peak %6ld kB at %d dumps, %6ld kB at %d dumps\n", p.program.c_str(), p.short_kb, kShort,
                p.long_kb, kLong);
    SCOPED_TRACE(p.program + ": " + std::to_string(p.short_kb) + " kB at " + std::to_string(kShort) + " dumps, " +
                 std::to_string(p.long_kb) + " kB at " + std::to_string(kLong));
    // 4,500 more dumps: keeping as little as 500 bytes per dump would add
    // over 2 MB. The inspector keeps a fixed-size record per dump up to its
    // record limit (50,000): up to 1 kB a dump is allowed for it.
    const long allowed = p.program == "dumpscope" ? (kLong - kShort) : 2048;
    EXPECT_LE(p.long_kb, p.short_kb + std::max(allowed, p.short_kb / 10));
  }
  // The long conversion holds every dump.
  talva::miriad::UvReader uv(dir.file("talva2vis3" + std::to_string(kLong) + ".uv"));
  talva::miriad::UvRecord rec;
  std::int64_t n = 0;
  while (uv.read(rec)) ++n;
  EXPECT_EQ(n % kLong, 0);
  EXPECT_GT(n, 0);
}

}  // namespace
