#include "util/sync_all.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <system_error>
#include <thread>
#include "util/quiet_thread.h"

namespace talva {

namespace {

constexpr std::size_t kThreads = 8;  // syncs in flight besides the caller's

}  // namespace

int sync_all(const std::vector<int>& fds) {
  std::atomic<std::size_t> next{0};
  std::atomic<int> error{0};
  auto work = [&] {
    for (std::size_t k; (k = next.fetch_add(1)) < fds.size();) {
      if (::fsync(fds[k]) != 0) {
        int none = 0;
        error.compare_exchange_strong(none, errno);
      }
    }
  };
  std::vector<std::thread> threads;
  if (fds.size() > 1) {
    try {
      for (std::size_t t = 0; t < std::min(kThreads, fds.size() - 1); ++t) threads.push_back(quiet_thread(work));
    } catch (const std::system_error&) {
      // fewer threads: the others and the caller do the rest
    }
  }
  work();
  for (auto& t : threads) t.join();
  return error.load();
}

}  // namespace talva
