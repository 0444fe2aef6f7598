// The watcher's speed: the computation of one dump of all 4561 products
// (1-second dumps: 1 s / time per dump is how many times real time it keeps
// up with, on one core), what each page event and each series fetch costs,
// and the latency from a dump landing in the archive to its event reaching a
// client of the page's stream (the archive growing as the correlator writes
// it, read by the waiting reader as talvawatch reads it).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "programs/talvawatch/server.h"
#include "programs/talvawatch/watch_state.h"

using talva::archive::ArchiveOptions;
using talva::archive::ArchiveReader;
using talva::array::c_layout_common_t;
using talva::array::load_corr_layout_file_;

namespace {

constexpr int kDumps = 64;
std::string dir;

struct Archive {
  std::unique_ptr<c_layout_common_t> layout;
  std::vector<std::int32_t> antnum;
  int nbsln = 0;
  std::vector<std::vector<float>> dumps;
  std::vector<char> bytes;      // the whole file
  std::vector<long long> ends;  // end of the file header, then of every dump
};

const Archive& archive() {
  static const Archive a = [] {
    Archive r;
    dir = std::filesystem::temp_directory_path().string() + "/talva-bench-watch-" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    const std::string cmd = std::string(TALVA_BIN_DIR) + "/talvasim archive=" + dir + "/obs.dat layout=" + dir +
                            "/lay.file ndumps=" + std::to_string(kDumps) + " noise=0.1 > /dev/null";
    if (std::system(cmd.c_str()) != 0) std::abort();
    talva::StringOutput quiet;
    r.layout = std::make_unique<c_layout_common_t>(load_corr_layout_file_(dir + "/lay.file", quiet));
    ArchiveReader reader(dir + "/obs.dat", quiet);
    r.antnum = reader.file_header().antnum;
    r.nbsln = reader.file_header().nbsln;
    r.ends.push_back(reader.offset());
    while (const auto dump = reader.next()) {
      r.dumps.emplace_back(dump->vis.begin(), dump->vis.end());
      r.ends.push_back(reader.offset());
    }
    std::ifstream in(dir + "/obs.dat", std::ios::binary);
    r.bytes.assign(std::istreambuf_iterator<char>(in), {});
    return r;
  }();
  return a;
}

talva::watch::MonitorSetup setup(const Archive& a) {
  talva::watch::MonitorSetup s;
  s.layout = a.layout.get();
  s.antnum = a.antnum;
  s.nbsln = a.nbsln;
  return s;
}

talva::watch::DumpIn dump(const Archive& a, std::size_t n) {
  talva::watch::DumpIn d;
  d.vis = a.dumps[n % a.dumps.size()];
  d.unix_time = 1.2e9 + static_cast<double>(n);
  d.ha_hours = static_cast<float>(n) / 3600.0f;
  d.dec_deg = -45.0f;
  return d;
}

// One dump through the monitor: class averages, standings, anomalies, bins.
void BM_MonitorDump(benchmark::State& state) {
  const Archive& a = archive();
  talva::watch::Monitor m(setup(a));
  std::size_t n = 0;
  for (auto _ : state) m.add(dump(a, n++));
  state.counters["x_real_time_1s_dumps"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["series_MB"] = static_cast<double>(m.series_bytes()) / 1e6;
}
BENCHMARK(BM_MonitorDump)->Unit(benchmark::kMicrosecond);

// A dump and the event the page gets for it (the summary).
void BM_DumpAndEvent(benchmark::State& state) {
  const Archive& a = archive();
  talva::talvawatch::WatchState s("obs.dat", setup(a), 5, "ap(1e,1w)");
  std::size_t n = 0;
  for (auto _ : state) {
    s.add(dump(a, n++), talva::talvawatch::now_ms());
    benchmark::DoNotOptimize(s.summary_json(talva::talvawatch::now_ms()));
  }
}
BENCHMARK(BM_DumpAndEvent)->Unit(benchmark::kMicrosecond);

// A series fetch after 12 hours of 1-second dumps (every bin in use).
void BM_SeriesAfterTwelveHours(benchmark::State& state) {
  const Archive& a = archive();
  talva::talvawatch::WatchState s("obs.dat", setup(a), 5, "ap(1e,1w)");
  for (std::size_t n = 0; n < 43200; ++n) s.add(dump(a, n), 0);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string json, error;
    s.series_json(state.range(0) ? "all" : "", "bs(2,b)", json, error);
    bytes = json.size();
  }
  state.counters["json_kB"] = static_cast<double>(bytes) / 1e3;
}
BENCHMARK(BM_SeriesAfterTwelveHours)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(20);

// From a dump's last byte written to its event at a client of /events: the
// archive grows dump by dump (every 0.37 s, out of step with the reader's
// half-second polls), followed by the waiting reader in a thread as the
// program follows it.
void BM_EventLatency(benchmark::State& state) {
  const Archive& a = archive();
  using Clock = std::chrono::steady_clock;
  for (auto _ : state) {
    const std::string path = dir + "/live.dat";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(a.bytes.data(), 1, static_cast<std::size_t>(a.ends[0]), f);
    std::fflush(f);
    talva::talvawatch::WatchState ws("live.dat", setup(a), 5, "ap(1e,1w)");
    talva::talvawatch::PageServer server(ws);
    if (!server.bind("127.0.0.1", 0)) state.SkipWithError("cannot bind");
    server.start();
    const int dumps = static_cast<int>(a.dumps.size()) / 2;
    std::thread follower([&] {
      talva::StringOutput quiet;
      ArchiveOptions options;
      options.wait = true;
      ArchiveReader reader(path, quiet, options);
      for (int n = 0; n < dumps; ++n) {
        const auto dump = reader.next();
        if (!dump) break;
        talva::watch::DumpIn d;
        d.vis = dump->vis;
        ws.add(d, talva::talvawatch::now_ms());
      }
    });
    // the page's stream, read by a client of its own
    std::vector<Clock::time_point> arrived(static_cast<std::size_t>(dumps) + 1);
    std::thread client([&] {
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(static_cast<std::uint16_t>(server.port()));
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return;
      const std::string req = "GET /events HTTP/1.1\r\nHost: x\r\n\r\n";
      ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
      std::string got;
      char buf[65536];
      int seen = 0;
      while (seen < dumps) {
        const ssize_t k = ::recv(fd, buf, sizeof buf, 0);
        if (k <= 0) break;
        got.append(buf, static_cast<std::size_t>(k));
        for (std::size_t at; (at = got.find("\"dumps\":")) != std::string::npos;) {
          const int n = std::atoi(got.c_str() + at + 8);
          for (int m = seen + 1; m <= n && m <= dumps; ++m) arrived[static_cast<std::size_t>(m)] = Clock::now();
          seen = std::max(seen, n);
          got.erase(0, at + 8);
        }
      }
      ::close(fd);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<Clock::time_point> written(static_cast<std::size_t>(dumps) + 1);
    for (int n = 1; n <= dumps; ++n) {
      std::this_thread::sleep_for(std::chrono::milliseconds(370));
      const auto from = a.ends[static_cast<std::size_t>(n - 1)], to = a.ends[static_cast<std::size_t>(n)];
      std::fwrite(a.bytes.data() + from, 1, static_cast<std::size_t>(to - from), f);
      std::fflush(f);
      written[static_cast<std::size_t>(n)] = Clock::now();
    }
    follower.join();
    client.join();
    server.stop();
    std::fclose(f);
    double sum = 0, worst = 0;
    for (int n = 1; n <= dumps; ++n) {
      const double ms = std::chrono::duration<double, std::milli>(arrived[static_cast<std::size_t>(n)] -
                                                                  written[static_cast<std::size_t>(n)])
                            .count();
      sum += ms;
      worst = std::max(worst, ms);
    }
    state.counters["mean_ms"] = sum / dumps;
    state.counters["max_ms"] = worst;
  }
}
BENCHMARK(BM_EventLatency)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!dir.empty()) std::filesystem::remove_all(dir);
  return 0;
}
