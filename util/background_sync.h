#pragma once
// Flushing a file to the disk while it is still being written.
//
// A large output that must be on the disk before the run may call it
// complete (the visdata of a uv dataset) would otherwise leave the whole
// flush to its closing fsync, and on disks with a write cache in front of
// them that wait grows with the file. A BackgroundSync lets one thread of
// its own fdatasync the file each time the writer has written a few more
// megabytes, so the closing fsync only finds the last part left. The writer's
// bytes, and their order, are untouched.
//
// The thread starts with the first flush requested and blocks every signal (the
// program's interrupt handler runs in its main thread). An error of a
// background flush is kept, because the kernel reports it only once: finish()
// returns it (0 when every flush succeeded) after stopping the thread. The
// file descriptor stays the caller's and must stay open until finish() or
// destruction.
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace talva {

class BackgroundSync {
 public:
  /// Flushes `fd` each time at least `every` more bytes have been written.
  explicit BackgroundSync(int fd, std::size_t every = std::size_t{2} << 20) : fd_(fd), every_(every) {}
  ~BackgroundSync() { finish(); }
  BackgroundSync(const BackgroundSync&) = delete;
  BackgroundSync& operator=(const BackgroundSync&) = delete;

  /// `bytes` more were written to the file.
  void written(std::size_t bytes);
  /// Stops the thread once the flushes requested are done and returns the
  /// errno of the first one that failed, or 0.
  int finish();

 private:
  void run();

  int fd_;
  std::size_t every_;
  std::size_t unflushed_ = 0;  ///< bytes written since the last request
  std::mutex mutex_;
  std::condition_variable wake_;
  bool pending_ = false;
  bool stopping_ = false;
  bool unavailable_ = false;  ///< no thread could be started: the closing fsync does it all
  int error_ = 0;
  std::thread thread_;
};

}  // namespace talva
