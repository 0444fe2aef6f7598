// A run killed part-way (SIGKILL in the dump loop) must leave every output of
// an earlier run as it was and no half-written gains or phase file.
//
// The archive reaches the program through a named pipe: the test writes the
// file header and more dumps than the pipe holds, so that once the writes are
// done the program is inside its dump loop, waiting for the next dump. No
// timing is involved.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/testsupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using talva::test::bin;
using talva::test::read_bytes;
using talva::test::read_file;
using talva::test::run;
using talva::test::RunResult;
using talva::test::TempDir;

// Every regular file under `dir` with its bytes (datasets included).
std::map<std::string, std::vector<unsigned char>> snapshot(const fs::path& dir) {
  std::map<std::string, std::vector<unsigned char>> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = read_bytes(e.path().string());
  }
  return files;
}

class Interrupt : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);  // a program that dies makes our writes fail, not kill us
    const RunResult sim = run("talvasim", {"archive=" + dir_.file("obs.arc"), "layout=" + dir_.file("lay"),
                                           "ndumps=12", "pairs=ew", "noise=0.01", "gainsout=" + dir_.file("true.gains")});
    ASSERT_EQ(sim.status, 0) << sim.out << sim.err;
    archive_ = read_bytes(dir_.file("obs.arc"));
    std::int32_t nant = 0, nbsln = 0;
    std::memcpy(&nant, &archive_[0], 4);
    std::memcpy(&nbsln, &archive_[4], 4);
    header_ = 8 + 4 * static_cast<std::size_t>(nbsln);
    dump_ = 12 + 96 + 24 * static_cast<std::size_t>(nant) + 8 * static_cast<std::size_t>(nbsln);
    ASSERT_EQ(archive_.size(), header_ + 12 * dump_);
    ASSERT_GT(6 * dump_, std::size_t{65536});  // of 8 dumps fed, at least 2 are read before the kill
    fs::create_directory(dir_.path() / "out");
  }

  std::string out() const { return (dir_.path() / "out").string(); }

  // Runs `program` in the output directory with its archive on a named pipe,
  // feeds it the file header and `dumps` dumps, then kills it. Returns the
  // signal status (128 + signal number) or the exit status if it ended first.
  int kill_in_dump_loop(const std::string& program, std::vector<std::string> args, int dumps) {
    const std::string fifo = dir_.file("pipe.arc");
    fs::remove(fifo);
    if (mkfifo(fifo.c_str(), 0600) != 0) return -1;
    std::vector<std::string> argv_s{bin(program), "infile=" + fifo};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, out().c_str());
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;

    // Open the writing end once the program has opened the reading end (or
    // learn that it ended before it got there).
    int fd = -1;
    int status = 0;
    while (fd < 0) {
      fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) break;
      if (errno != ENXIO) return -1;
      if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      usleep(2000);
    }
    fcntl(fd, F_SETFL, 0);  // blocking writes from here on
    const std::size_t n = header_ + static_cast<std::size_t>(dumps) * dump_;
    std::size_t done = 0;
    while (done < n) {
      const ssize_t w = ::write(fd, archive_.data() + done, n - done);
      if (w <= 0) break;  // the program stopped reading
      done += static_cast<std::size_t>(w);
    }
    // All but at most a pipe's worth has been read: the program is in its
    // dump loop, working on a dump or waiting for the next one.
    kill(pid, SIGKILL);
    ::close(fd);
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  }

  TempDir dir_;
  std::vector<unsigned char> archive_;
  std::size_t header_ = 0, dump_ = 0;
};

TEST_F(Interrupt, KilledCalibratorsLeaveTheEarlierFilesWhole) {
  // A complete run of each first.
  const std::vector<std::string> g_args{"corlfile=" + dir_.file("lay"), "gnsfile=cal.gains"};
  RunResult r = run("gainsolve", [&] {
    auto a = g_args;
    a.push_back("infile=" + dir_.file("obs.arc"));
    return a;
  }(), out());
  ASSERT_EQ(r.status, 0) << r.out;
  r = run("phasesolve", {"infile=" + dir_.file("obs.arc"), "corlfile=" + dir_.file("lay"), "device=/null"}, out());
  ASSERT_EQ(r.status, 0) << r.out;
  auto before = snapshot(out());
  ASSERT_EQ(before.size(), 4u);  // cal.gains, cal.md_dat, phase_dmp.log, phasesolve.log
  const std::string phase_log = read_file(out() + "/phasesolve.log");

  EXPECT_EQ(kill_in_dump_loop("gainsolve", g_args, 8), 128 + SIGKILL);
  auto after = snapshot(out());
  EXPECT_EQ(after, before);  // the gains, MD data and phase files are untouched; no part file

  EXPECT_EQ(kill_in_dump_loop("phasesolve", {"corlfile=" + dir_.file("lay"), "device=/null"}, 8), 128 + SIGKILL);
  after = snapshot(out());
  // phasesolve.log holds its title line from start-up on: after a killed run
  // it is the title of that run alone, never a file cut inside its lines.
  const std::string log = read_file(out() + "/phasesolve.log");
  EXPECT_EQ(log, "data file : " + dir_.file("pipe.arc") + "\n");
  after.erase("phasesolve.log");
  before.erase("phasesolve.log");
  EXPECT_EQ(after, before);
  EXPECT_GT(phase_log.size(), log.size());

  // A later run replaces what a killed run left.
  r = run("phasesolve", {"infile=" + dir_.file("obs.arc"), "corlfile=" + dir_.file("lay"), "device=/null"}, out());
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(read_file(out() + "/phasesolve.log"), phase_log);
}

TEST_F(Interrupt, KilledConverterLeavesEarlierDatasetsAndDebugTableWhole) {
  auto args = [&](const std::string& uv) {
    return std::vector<std::string>{"corlfile=" + dir_.file("lay"), "gnsfile=" + dir_.file("true.gains"),
                                    "uvfile=" + uv, "device=/null", "skmode=orvex", "dbgplt=t"};
  };
  auto first = args("first.uv");
  first.push_back("infile=" + dir_.file("obs.arc"));
  const RunResult r = run("talva2vis3", first, out());
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(fs::exists(out() + "/talva2vis3.dbg"));
  const auto before = snapshot(out());

  EXPECT_EQ(kill_in_dump_loop("talva2vis3", args("second.uv"), 8), 128 + SIGKILL);
  auto after = snapshot(out());
  // The killed run's own dataset and the debug table it was writing under
  // its temporary name are the only new files; everything else is as it was.
  for (auto it = after.begin(); it != after.end();) {
    if (it->first.rfind("second.uv/", 0) == 0 || it->first == "talva2vis3.dbg.part")
      it = after.erase(it);
    else
      ++it;
  }
  EXPECT_EQ(after, before);
}

TEST_F(Interrupt, KilledInspectorLeavesAnEarlierPlotWhole) {
  const std::vector<std::string> args{"corrfile=" + dir_.file("lay"), "oneshot=t", "device=scope.png/png"};
  auto first = args;
  first.push_back("infile=" + dir_.file("obs.arc"));
  const RunResult r = run("dumpscope", first, out());
  ASSERT_EQ(r.status, 0) << r.out;
  const auto before = snapshot(out());
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(kill_in_dump_loop("dumpscope", args, 8), 128 + SIGKILL);
  EXPECT_EQ(snapshot(out()), before);
}

}  // namespace
