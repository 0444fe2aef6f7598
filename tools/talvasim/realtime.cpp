// talvasim's correlator pace: the archive written dump by dump, in pieces.
#include "realtime.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>
#include <vector>

#include "archive/archiv_util.h"
#include "util/interrupt.h"
#include "util/output.h"
#include "util/stop.h"

using talva::archive::ArchiveOptions;
using talva::archive::ArchiveReader;

namespace talva::talvasim {
namespace {

using Clock = std::chrono::steady_clock;

// Copies bytes [from, to) of `in` to `out`.
void copy_range(int in, int out, long long from, long long to, const std::string& archive) {
  std::vector<char> buf(64 * 1024);
  while (from < to) {
    const auto want = static_cast<std::size_t>(std::min<long long>(to - from, static_cast<long long>(buf.size())));
    const ssize_t got = ::pread(in, buf.data(), want, from);
    if (got <= 0) talva::stop("talvasim: cannot read back the computed dumps for " + archive);
    for (ssize_t done = 0; done < got;) {
      const ssize_t n = ::write(out, buf.data() + done, static_cast<std::size_t>(got - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) talva::stop("talvasim: cannot write " + archive + ": " + std::strerror(errno));
      done += n;
    }
    from += got;
  }
}

// Sleeps until `t`; a signal ends the sleep early.
void sleep_until(Clock::time_point t) {
  while (Clock::now() < t && talva::interrupt_signal() == 0) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(t - Clock::now()).count();
    ::usleep(static_cast<useconds_t>(std::clamp<long long>(left, 0, 100000)));
  }
}

// A folder of its own beside the archive for the computed dumps, removed
// with what is in it. (Not a PrivateDir: that holds a lock on itself,
// which the simulator's own commit into it would wait for.)
class Scratch {
 public:
  explicit Scratch(const std::string& archive) {
    const auto slash = archive.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : archive.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? archive : archive.substr(slash + 1);
    std::string name = dir + "/." + base + ".realtime-XXXXXX";
    if (::mkdtemp(name.data()) == nullptr)
      talva::stop("talvasim: cannot make a scratch folder beside " + archive + ": " + std::strerror(errno));
    path_ = name;
  }
  ~Scratch() { std::filesystem::remove_all(path_, ec_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::error_code ec_;
};

}  // namespace

void start_now(Settings& s) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  s.date = {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday};
  s.time = {utc.tm_hour, utc.tm_min, utc.tm_sec};
}

int simulate_realtime(const Settings& s, const Realtime& rt) {
  check(s);
  if (!(rt.speed > 0.0) || rt.speed > 1e6) talva::stop("talvasim: speed must be above 0, at most 1e6");
  if (rt.pieces < 1 || rt.pieces > 1000) talva::stop("talvasim: pieces must be 1 to 1000");

  // 1. every dump computed into a private temporary beside the archive
  Scratch scratch(s.archive);
  Settings t = s;
  t.archive = scratch.path() + "/archive";
  const int nbsln = simulate(t);
  const int in = ::open(t.archive.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) talva::stop("talvasim: cannot read back the computed dumps for " + s.archive);

  // the dumps' byte ranges, as the archive reader finds them
  std::vector<long long> ends;
  {
    talva::StringOutput quiet;
    ArchiveOptions options;
    options.open_failed = options.header_failed = "talvasim: cannot read back the computed dumps for " + s.archive;
    ArchiveReader reader(t.archive, quiet, options);
    ends.push_back(reader.offset());
    while (reader.next()) ends.push_back(reader.offset());
  }
  const long long size = ::lseek(in, 0, SEEK_END);

  // 2. the archive made anew, never through a link
  if (::unlink(s.archive.c_str()) != 0 && errno != ENOENT)
    talva::stop("talvasim: cannot replace " + s.archive + ": " + std::strerror(errno));
  const int out = ::open(s.archive.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (out < 0) talva::stop("talvasim: cannot create " + s.archive + ": " + std::strerror(errno));

  std::printf("talvasim: appending %zu dumps to %s at %g x the dump time of %g s\n", ends.size() - 1, s.archive.c_str(),
              rt.speed, s.dt);
  std::fflush(stdout);
  const auto start = Clock::now();
  const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s.dt / rt.speed));
  copy_range(in, out, 0, ends.front(), s.archive);
  Random cuts(s.seed ^ 0xBB67AE8584CAA73Bull);  // piece sizes: a stream of their own
  std::size_t written = 0;
  for (std::size_t n = 1; n < ends.size(); ++n) {
    // the dump in k pieces at random places, spread over its dump time
    const int k = 1 + static_cast<int>(cuts.uniform() * rt.pieces);
    std::vector<long long> at{ends[n - 1], ends[n]};
    for (int c = 1; c < k; ++c)
      at.push_back(ends[n - 1] + static_cast<long long>(cuts.uniform() * static_cast<double>(ends[n] - ends[n - 1])));
    std::sort(at.begin(), at.end());
    const auto dump_start = start + interval * static_cast<long long>(n - 1);
    for (std::size_t c = 0; c + 1 < at.size(); ++c) {
      // a signal finishes the dump at once
      sleep_until(dump_start + interval * static_cast<long long>(c + 1) / static_cast<long long>(at.size() - 1));
      copy_range(in, out, at[c], at[c + 1], s.archive);
    }
    ++written;
    talva::stop_if_interrupted(": " + std::to_string(written) + " whole dumps written");
  }
  // what lies past the last whole dump (truncate=): a dump cut short for good
  if (size > ends.back()) copy_range(in, out, ends.back(), size, s.archive);
  ::close(in);
  if (::close(out) != 0) talva::stop("talvasim: cannot write " + s.archive + ": " + std::strerror(errno));
  return nbsln;
}

}  // namespace talva::talvasim
