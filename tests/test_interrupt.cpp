// Outputs that are never lost, redirected or half-written: a run killed or
// interrupted part-way (SIGKILL, SIGINT, SIGTERM in the dump loop), a run
// that fails, meets a write error, finds links planted at its output names,
// or runs side by side with another leaves every output of an earlier run
// byte for byte as it was, and no temporary behind.
//
// The archive reaches the program through a named pipe: the test writes the
// file header and more dumps than the pipe holds, so that once the writes are
// done the program is inside its dump loop, waiting for the next dump. No
// timing is involved.
#include <fcntl.h>
#include <gtest/gtest.h>
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
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "miriad/uvread.h"
#include "support/testsupport.h"
#include "util/plot_file.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using talva::test::bin;
using talva::test::read_bytes;
using talva::test::read_file;
using talva::test::run;
using talva::test::RunResult;
using talva::test::TempDir;
using talva::test::write_file;

// Starts `args` (the program first) with standard output and error on
// /dev/null, in `cwd` unless empty; 0 if it could not be started.
pid_t spawn_quiet(std::vector<std::string> args, const std::string& cwd = "") {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : 0;
}

// Every regular file under `dir` with its bytes (datasets included).
std::map<std::string, std::vector<unsigned char>> snapshot(const fs::path& dir) {
  std::map<std::string, std::vector<unsigned char>> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = read_bytes(e.path().string());
  }
  return files;
}

// No hidden temporary (".<name>.tmp-...") is left in `dir`.
void expect_no_temporaries(const fs::path& dir) {
  for (const auto& e : fs::recursive_directory_iterator(dir))
    EXPECT_NE(e.path().filename().string()[0], '.') << "left behind: " << e.path();
}

class Interrupt : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);  // a program that dies makes our writes fail, not kill us
    const RunResult sim = run("talvasim", {"archive=" + dir_.file("obs.arc"), "layout=" + dir_.file("lay"), "ndumps=12",
                                           "pairs=ew", "noise=0.01", "gainsout=" + dir_.file("true.gains")});
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
  // feeds it the file header and `dumps` dumps, then sends it `sig`. Returns
  // the signal status (128 + signal number) or the exit status.
  int kill_in_dump_loop(const std::string& program, std::vector<std::string> args, int dumps, int sig = SIGKILL) {
    const std::string fifo = dir_.file("pipe.arc");
    fs::remove(fifo);
    if (mkfifo(fifo.c_str(), 0600) != 0) return -1;
    std::vector<std::string> argv_s{bin(program), "infile=" + fifo};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    const pid_t pid = spawn_quiet(argv_s, out());
    if (pid == 0) return -1;

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
    kill(pid, sig);
    ::close(fd);
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  }

  TempDir dir_;
  std::vector<unsigned char> archive_;
  std::size_t header_ = 0, dump_ = 0;
};

TEST_F(Interrupt, KilledOrInterruptedCalibratorsLeaveTheEarlierFilesWhole) {
  // A complete run of each first.
  const std::vector<std::string> g_args{"corlfile=" + dir_.file("lay"), "gnsfile=cal.gains"};
  RunResult r = run(
      "gainsolve",
      [&] {
        auto a = g_args;
        a.push_back("infile=" + dir_.file("obs.arc"));
        return a;
      }(),
      out());
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<std::string> p_args{"corlfile=" + dir_.file("lay"), "device=/null"};
  r = run("phasesolve", {"infile=" + dir_.file("obs.arc"), p_args[0], p_args[1]}, out());
  ASSERT_EQ(r.status, 0) << r.out;
  const auto before = snapshot(out());
  ASSERT_EQ(before.size(), 4u);  // cal.gains, cal.md_dat, phase_dmp.log, phasesolve.log

  // SIGINT and SIGTERM stop at a clean point with 128 + signal; SIGKILL
  // gives no chance to clean up. Neither replaces a file or leaves one.
  EXPECT_EQ(kill_in_dump_loop("gainsolve", g_args, 8), 128 + SIGKILL);
  EXPECT_EQ(kill_in_dump_loop("gainsolve", g_args, 8, SIGINT), 128 + SIGINT);
  EXPECT_EQ(kill_in_dump_loop("phasesolve", p_args, 8), 128 + SIGKILL);
  EXPECT_EQ(kill_in_dump_loop("phasesolve", p_args, 8, SIGTERM), 128 + SIGTERM);
  EXPECT_EQ(snapshot(out()), before);
  expect_no_temporaries(out());
}

TEST_F(Interrupt, StoppedOrFailedConvertersLeaveEarlierOutputsWholeAndTheirDatasetReadable) {
  auto args = [&](const std::string& uv) {
    return std::vector<std::string>{"corlfile=" + dir_.file("lay"),
                                    "gnsfile=" + dir_.file("true.gains"),
                                    "uvfile=" + uv,
                                    "device=uv.png/png",
                                    "skmode=orvex",
                                    "dbgplt=t"};
  };
  auto first = args("first.uv");
  first.push_back("infile=" + dir_.file("obs.arc"));
  RunResult r = run("talva2vis3", first, out());
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(fs::exists(out() + "/talva2vis3.dbg"));
  const auto before = snapshot(out());
  auto without = [&](const std::string& uv) {
    auto now = snapshot(out());
    std::erase_if(now, [&](const auto& e) { return e.first.rfind(uv + "/", 0) == 0; });
    return now;
  };

  // Failed runs: the dataset exists, the archive is missing.
  r = run("talva2vis3", first, out());
  EXPECT_EQ(r.status, 1);
  auto missing = args("missing.uv");
  missing.push_back("infile=" + dir_.file("absent.arc"));
  EXPECT_EQ(run("talva2vis3", missing, out()).status, 1);
  EXPECT_EQ(snapshot(out()), before);

  // SIGKILL: only the killed run's own dataset is new (its plot would leave
  // the private directory it was drawn in).
  auto killed = args("killed.uv");
  killed[3] = "device=/null";
  EXPECT_EQ(kill_in_dump_loop("talva2vis3", killed, 8), 128 + SIGKILL);
  EXPECT_EQ(without("killed.uv"), before);
  fs::remove_all(out() + "/killed.uv");

  // SIGINT/SIGTERM: the dataset holds whole dumps, readable, and says where
  // the run stopped; nothing else is replaced.
  for (const auto& [program, sig] : {std::pair{"talva2vis3", SIGINT}, std::pair{"talva2vis", SIGTERM}}) {
    SCOPED_TRACE(program);
    const std::string uv = std::string(program) + ".uv";
    auto a = args(uv);
    if (std::string(program) == "talva2vis") {
      write_file(dir_.file("phases"), "no phases\n");
      a[1] = "phasefil=" + dir_.file("phases");
      a.push_back("startha=0");  // the dumps' hour angles within the meridian-distance limit
    }
    EXPECT_EQ(kill_in_dump_loop(program, a, 8, sig), 128 + sig);
    talva::miriad::UvReader uvr(out() + "/" + uv);
    const auto history = uvr.history();
    ASSERT_FALSE(history.empty());
    const std::string tag = std::string(program == std::string("talva2vis") ? "TALVA2VIS" : "TALVA2VIS3") +
                            ": interrupted by " + (sig == SIGINT ? "SIGINT" : "SIGTERM") + " after dump ";
    ASSERT_EQ(history.back().rfind(tag, 0), 0u) << history.back();
    const int dumps = std::stoi(history.back().substr(tag.size()));
    EXPECT_GE(dumps, 2);
    talva::miriad::UvRecord rec;
    while (uvr.read(rec)) {
    }
    EXPECT_EQ(uvr.records_read(), 88 * dumps);
    EXPECT_EQ(without(uv), before);
    fs::remove_all(out() + "/" + uv);
  }
  expect_no_temporaries(out());
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
  // The private directory the killed run drew in goes at the next run.
  bool left = false;
  for (const auto& e : fs::directory_iterator(out())) left = left || e.path().filename().string()[0] == '.';
  EXPECT_TRUE(left);
  ASSERT_EQ(run("dumpscope", first, out()).status, 0);
  expect_no_temporaries(out());
}

// ---- links, write errors, sets of files, runs side by side --------------------

TEST_F(Interrupt, LinksPlantedAtOutputNamesRedirectNothing) {
  // Links at the names the outputs once used for their temporaries, and at
  // final names: the outputs replace the links, the victim stays as it was.
  const std::string victim = dir_.file("victim");
  write_file(victim, "precious\n");
  for (const char* name :
       {"cal.gains.part", "phase_dmp.log.part", "phasesolve.log.part", "cal.md_dat", "sim.arc", "sim.arc.part",
        "scope.png", "scope.png.part", "talva2vis3.dbg", "talva2vis3.dbg.part", "uv.png"})
    fs::create_symlink(victim, out() + "/" + name);
  RunResult r =
      run("gainsolve", {"infile=" + dir_.file("obs.arc"), "corlfile=" + dir_.file("lay"), "gnsfile=cal.gains"}, out());
  EXPECT_EQ(r.status, 0) << r.out;
  r = run("phasesolve", {"infile=" + dir_.file("obs.arc"), "corlfile=" + dir_.file("lay"), "device=/null"}, out());
  EXPECT_EQ(r.status, 0) << r.out;
  r = run("talvasim", {"archive=sim.arc", "layout=sim.lay", "ndumps=2", "pairs=ew"}, out());
  EXPECT_EQ(r.status, 0) << r.out;
  r = run("dumpscope",
          {"infile=" + dir_.file("obs.arc"), "corrfile=" + dir_.file("lay"), "oneshot=t", "device=scope.png/png",
           "nxy=2,2"},
          out());
  EXPECT_EQ(r.status, 0) << r.out;
  r = run("talva2vis3",
          {"infile=" + dir_.file("obs.arc"), "corlfile=" + dir_.file("lay"), "gnsfile=" + dir_.file("true.gains"),
           "uvfile=l.uv", "skmode=orvex", "dbgplt=t", "device=uv.png/png"},
          out());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(victim), "precious\n");
  for (const char* name : {"cal.gains", "cal.md_dat", "phase_dmp.log", "phasesolve.log", "sim.arc", "scope.png",
                           "talva2vis3.dbg", "uv.png"}) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out() + "/" + name))) << name;
  }
  EXPECT_TRUE(talva::plot_file_complete(out() + "/scope.png"));
}

TEST_F(Interrupt, WriteErrorsStopNamingTheFileAndKeepTheEarlierOne) {
  ASSERT_EQ(run("talvasim", {"archive=sim.arc", "layout=sim.lay", "ndumps=12", "pairs=ew"}, out()).status, 0);
  const std::vector<std::string> scope{"infile=" + dir_.file("obs.arc"), "corrfile=" + dir_.file("lay"), "oneshot=t",
                                       "device=scope.png/png", "nxy=2,2"};
  ASSERT_EQ(run("dumpscope", scope, out()).status, 0);
  const auto before = snapshot(out());
  // Files may grow to `blocks` x 512 bytes: writes past that fail (EFBIG,
  // the short write a full disk gives).
  auto limited = [&](int blocks, const std::string& program, const std::vector<std::string>& args) {
    std::string cmd = "ulimit -f " + std::to_string(blocks) + "; trap '' XFSZ; exec " + bin(program);
    for (const auto& a : args) cmd += " '" + a + "'";
    return run("/bin/sh", {"-c", cmd}, out());
  };
  RunResult r = limited(64, "talvasim", {"archive=sim.arc", "layout=sim.lay", "ndumps=12", "pairs=ew", "seed=5"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("cannot write sim.arc: File too large"), std::string::npos) << r.out;
  // A plot cut short: a warning, the run goes on, the earlier plot stays.
  r = limited(2, "dumpscope", scope);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("the plot file scope.png was not written completely"), std::string::npos) << r.out;
  // A device is no file to replace.
  r = run("gainsolve", {"infile=" + dir_.file("obs.arc"), "corlfile=" + dir_.file("lay"), "gnsfile=/dev/full"}, out());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("cannot replace /dev/full: not a regular file"), std::string::npos) << r.out;
  EXPECT_EQ(snapshot(out()), before);
  expect_no_temporaries(out());
}

TEST_F(Interrupt, GainsolvesThreeFilesAreOneSet) {
  const std::vector<std::string> args{"infile=" + dir_.file("obs.arc"), "corlfile=" + dir_.file("lay")};
  auto gainsolve = [&](const std::string& gns) {
    auto a = args;
    a.push_back("gnsfile=" + gns);
    return run("gainsolve", a, out());
  };
  ASSERT_EQ(gainsolve("cal.gains").status, 0);
  auto before = snapshot(out());
  // One of the three cannot replace its file: none is replaced.
  fs::rename(out() + "/phase_dmp.log", dir_.file("phase.saved"));
  fs::create_directory(out() + "/phase_dmp.log");
  before.erase("phase_dmp.log");
  RunResult r = gainsolve("cal.gains");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("cannot replace phase_dmp.log: Is a directory"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("records read"), std::string::npos) << "refused before any work: " << r.out;
  EXPECT_EQ(snapshot(out()), before);
  fs::remove(out() + "/phase_dmp.log");
  fs::rename(dir_.file("phase.saved"), out() + "/phase_dmp.log");
  before = snapshot(out());
  // Two of the three resolving to one file: refused before any work.
  for (const std::string gns : {"phase_dmp.log", "./phase_dmp.log", "cal.md_dat", "md_dat", "../out/x.md_dat"}) {
    SCOPED_TRACE(gns);
    r = gainsolve(gns);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("is the same file as output"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("records read"), std::string::npos) << r.out;
  }
  EXPECT_EQ(snapshot(out()), before);
  expect_no_temporaries(out());
}

TEST_F(Interrupt, RunsSideBySideEachWriteAWholeOutputOfTheirOwn) {
  // Two archives with different gains; what each writes alone.
  for (const char* seed : {"1", "2"}) {
    const RunResult r = run(
        "talvasim",
        {"archive=" + dir_.file(std::string("s") + seed + ".arc"),
         "layout=" + dir_.file(std::string("s") + seed + ".lay"), "ndumps=20", "pairs=ew", std::string("seed=") + seed},
        dir_.path().string());
    ASSERT_EQ(r.status, 0) << r.out;
  }
  auto gains_run = [&](int k) {
    return run("gainsolve",
               {"infile=" + dir_.file("s" + std::to_string(k) + ".arc"),
                "corlfile=" + dir_.file("s" + std::to_string(k) + ".lay"), "gnsfile=cal.gains"},
               out());
  };
  std::vector<std::map<std::string, std::vector<unsigned char>>> alone;
  for (int k : {1, 2}) {
    ASSERT_EQ(gains_run(k).status, 0);
    alone.push_back(snapshot(out()));
  }
  ASSERT_NE(alone[0], alone[1]);
  for (int round = 0; round < 6; ++round) {
    auto a = std::async(std::launch::async, gains_run, 1);
    auto b = std::async(std::launch::async, gains_run, 2);
    EXPECT_EQ(a.get().status, 0);
    EXPECT_EQ(b.get().status, 0);
    const auto now = snapshot(out());
    EXPECT_TRUE(now == alone[0] || now == alone[1]) << "round " << round << ": a mixed or cut set";
  }
  expect_no_temporaries(out());

  // Two simulations on one archive name: the archive is one run's, whole.
  auto sim_run = [&](int seed) {
    return run("talvasim",
               {"archive=sim.arc", "layout=sim.lay", "ndumps=300", "pairs=ew", "seed=" + std::to_string(seed)}, out());
  };
  std::vector<std::vector<unsigned char>> sims;
  for (int seed : {1, 2}) {
    ASSERT_EQ(sim_run(seed).status, 0);
    sims.push_back(read_bytes(out() + "/sim.arc"));
  }
  for (int round = 0; round < 3; ++round) {
    auto a = std::async(std::launch::async, sim_run, 1);
    auto b = std::async(std::launch::async, sim_run, 2);
    EXPECT_EQ(a.get().status, 0);
    EXPECT_EQ(b.get().status, 0);
    const auto arc = read_bytes(out() + "/sim.arc");
    EXPECT_TRUE(arc == sims[0] || arc == sims[1]) << "round " << round;
  }

  // Two converters on one dataset name: one stops with "exists", the other
  // writes the whole dataset.
  auto convert = [&](const std::string& uv) {
    return run("talva2vis3",
               {"infile=" + dir_.file("obs.arc"), "corlfile=" + dir_.file("lay"), "gnsfile=" + dir_.file("true.gains"),
                "uvfile=" + uv, "device=/null", "skmode=orvex"},
               out());
  };
  ASSERT_EQ(convert("alone.uv").status, 0);
  const auto whole = snapshot(out() + "/alone.uv");
  for (int round = 0; round < 3; ++round) {
    const std::string uv = "both" + std::to_string(round) + ".uv";
    auto a = std::async(std::launch::async, convert, uv);
    auto b = std::async(std::launch::async, convert, uv);
    const RunResult ra = a.get(), rb = b.get();
    EXPECT_EQ(ra.status + rb.status, 1) << ra.err << rb.err;
    EXPECT_NE((ra.err + rb.err).find("in UVOPEN(new): File exists"), std::string::npos) << ra.err << rb.err;
    auto got = snapshot(out() + "/" + uv);
    EXPECT_EQ(got.size(), whole.size());
    EXPECT_EQ(got["visdata"], whole.at("visdata"));
  }
}

TEST_F(Interrupt, KilledConverterLeavesARemnantTheRerunNames) {
  const std::vector<std::string> args{"corlfile=" + dir_.file("lay"), "gnsfile=" + dir_.file("true.gains"),
                                      "uvfile=cut.uv", "device=/null", "skmode=orvex"};
  EXPECT_EQ(kill_in_dump_loop("talva2vis3", args, 8), 128 + SIGKILL);
  // No header: no reader takes the directory for a dataset.
  EXPECT_TRUE(fs::is_directory(out() + "/cut.uv"));
  EXPECT_FALSE(fs::exists(out() + "/cut.uv/header"));
  auto again = args;
  again.push_back("infile=" + dir_.file("obs.arc"));
  const RunResult r = run("talva2vis3", again, out());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cut.uv is the remnant of an interrupted run"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("remove it (rm -r cut.uv)"), std::string::npos) << r.err;
}

// ---- stops that only a program shows ------------------------------------------

// Starts argv[0] in the output directory with standard output on `out_fd`
// (-1: /dev/null), standard error on /dev/null and SIGINT, SIGTERM and
// SIGPIPE at their default, as a shell starts a program. -1 on failure.
pid_t spawn(std::vector<std::string> argv_s, int out_fd = -1, const std::string& dir = "") {
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out_fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t deflt;
  sigemptyset(&deflt);
  for (int sig : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&deflt, sig);
  posix_spawnattr_setsigdefault(&attr, &deflt);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc == 0 ? pid : -1;
}

// A signal before the first record: no dataset and no MeasurementSet (an
// empty one, with options=interop, is what readers refused).
TEST_F(Interrupt, InterruptedBeforeTheFirstRecordWritesNoOutput) {
  const std::vector<std::string> args{"corlfile=" + dir_.file("lay"),
                                      "gnsfile=" + dir_.file("true.gains"),
                                      "uvfile=none.uv",
                                      "msfile=none.ms",
                                      "options=interop",
                                      "device=/null",
                                      "skmode=orvex"};
  EXPECT_EQ(kill_in_dump_loop("talva2vis3", args, 0, SIGINT), 128 + SIGINT);
  EXPECT_FALSE(fs::exists(out() + "/none.uv"));
  EXPECT_FALSE(fs::exists(out() + "/none.ms"));
  expect_no_temporaries(out());
}

// A dump range past the archive's end: no output, the range and the dump
// count named, an earlier output of the same name untouched.
TEST_F(Interrupt, ADumpRangeWithoutADumpWritesNothing) {
  write_file(out() + "/talva2vis3.dbg", "earlier\n");
  const RunResult r =
      run("talva2vis3",
          {"infile=" + dir_.file("obs.arc"), "corlfile=" + dir_.file("lay"), "gnsfile=" + dir_.file("true.gains"),
           "uvfile=r.uv", "msfile=r.ms", "reclim=20,30", "dbgplt=t", "device=/null", "skmode=orvex"},
          out());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("no dump in the range reclim=20,30: " + dir_.file("obs.arc") + " has 12 dumps"),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(fs::exists(out() + "/r.uv"));
  EXPECT_FALSE(fs::exists(out() + "/r.ms"));
  EXPECT_EQ(read_file(out() + "/talva2vis3.dbg"), "earlier\n");
  expect_no_temporaries(out());
}

// The reader of standard output gone (`| head`): no death by SIGPIPE, the
// dataset either whole or ending on a whole dump, never a remnant.
TEST_F(Interrupt, AClosedStandardOutputIsACleanStop) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ::close(fds[0]);  // nobody reads
  const pid_t pid = spawn({bin("talva2vis3"), "infile=" + dir_.file("obs.arc"), "corlfile=" + dir_.file("lay"),
                           "gnsfile=" + dir_.file("true.gains"), "uvfile=piped.uv", "device=/null", "skmode=orvex"},
                          fds[1], out());
  ASSERT_GT(pid, 0);
  ::close(fds[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_TRUE(WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 128 + SIGPIPE) << WEXITSTATUS(status);
  talva::miriad::UvReader uv(out() + "/piped.uv");
  talva::miriad::UvRecord rec;
  while (uv.read(rec)) {
  }
  EXPECT_EQ(uv.records_read() % 88, 0);
  EXPECT_GT(uv.records_read(), 0);
  expect_no_temporaries(out());
}

// SIGTERM while the program waits to open its archive (a named pipe nobody
// writes): the signal's status, not a failed open.
TEST_F(Interrupt, ASignalWhileWaitingToOpenAnInputEndsWithItsStatus) {
  const std::string fifo = dir_.file("never.arc");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    const pid_t pid = spawn({bin("talva2vis3"), "infile=" + fifo, "corlfile=" + dir_.file("lay"),
                             "gnsfile=" + dir_.file("true.gains"), "uvfile=wait.uv", "device=/null"},
                            -1, out());
    ASSERT_GT(pid, 0);
    // Until the kernel shows it waiting for a writer of the pipe.
    const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
    bool waiting = false;
    for (int k = 0; k < 5000 && !waiting; ++k) {
      waiting = read_file(wchan).find("fifo") != std::string::npos ||
                read_file(wchan).find("wait_for_partner") != std::string::npos;
      if (!waiting) usleep(1000);
    }
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!waiting) GTEST_SKIP() << "the wait could not be seen in " << wchan;
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 128 + sig);
    EXPECT_FALSE(fs::exists(out() + "/wait.uv"));
  }
}

}  // namespace

// A keyword file on a named pipe: SIGINT or SIGTERM ends the wait for its
// writer (the program blocked opening it) and the wait for its lines, with
// 128 + the signal number.
TEST(InterruptedWait, KeywordFileOnANamedPipe) {
  std::signal(SIGPIPE, SIG_IGN);
  TempDir dir;
  const std::string fifo = dir.file("keys");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const int sig : {SIGTERM, SIGINT}) {
    for (const bool opened : {false, true}) {
      SCOPED_TRACE(std::to_string(sig) + (opened ? " waiting for lines" : " waiting for a writer"));
      const pid_t pid = spawn_quiet({bin("archinfo"), "-f", fifo});
      ASSERT_NE(pid, 0);
      int fd = -1;
      if (opened) {
        // The program has opened the reading end once our open succeeds; a
        // line without its end keeps it reading.
        while ((fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0) {
          ASSERT_EQ(errno, ENXIO);
          usleep(2000);
        }
        ASSERT_EQ(::write(fd, "archive=", 8), 8);
      } else {
        // Blocked in the kernel's wait for a writer (no timing: its wait channel says so).
        const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
        for (std::string w; w.find("partner") == std::string::npos && w.find("fifo") == std::string::npos;) {
          std::ifstream in(wchan);  // a /proc file: read as a stream (its size reads 0)
          std::getline(in, w);
          usleep(2000);
        }
      }
      kill(pid, sig);
      // closed after the signal: a signal that came just before the read
      // began is then seen at the end of the file, not waited on for ever
      if (fd >= 0) ::close(fd);
      int status = 0;
      waitpid(pid, &status, 0);
      ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
      EXPECT_EQ(WEXITSTATUS(status), 128 + sig);
    }
  }
}
