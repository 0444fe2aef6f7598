#pragma once
// Shared pieces of the fuzz targets: the fuzz input as a named file, quiet
// standard output, and the expected way out of a bad input (talva::Stop).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "util/stop.h"

namespace fuzz {

/// The programs print progress on standard output; the targets throw it away
/// so that a run is not slowed down by it. Sanitizer reports go to stderr.
inline void quiet_stdout() {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

/// An in-memory file reachable by path ("/proc/self/fd/N"), rewritten for
/// every input. The loaders open files by name, so this is the cheapest way
/// to hand them the fuzz input without touching the disk.
class MemFile {
 public:
  MemFile() : fd_(memfd_create("talva-fuzz", 0)) {
    if (fd_ < 0) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemFile() { close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  void set(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0) std::abort();
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd_, data + done, size - done);
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
  }
  void set(std::string_view text) { set(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

/// Runs `body`; a fatal stop is an expected outcome of bad input. Any other
/// exception escaping a loader is a fault: abort so that libFuzzer keeps it.
template <typename F>
void expect_stop_or_success(F&& body) {
  try {
    body();
  } catch (const talva::Stop&) {
  } catch (...) {
    std::abort();
  }
}

}  // namespace fuzz
