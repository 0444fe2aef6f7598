#include "util/background_sync.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>
#include "util/quiet_thread.h"

namespace talva {

void BackgroundSync::written(std::size_t bytes) {
  unflushed_ += bytes;
  if (unflushed_ < every_ || unavailable_) return;
  unflushed_ = 0;
  if (!thread_.joinable()) {
    try {
      thread_ = quiet_thread([this] { run(); });
    } catch (const std::system_error&) {
      unavailable_ = true;
      return;
    }
  }
  {
    std::lock_guard lock(mutex_);
    pending_ = true;
  }
  wake_.notify_one();
}

void BackgroundSync::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return pending_ || stopping_; });
    if (!pending_) return;  // stopping, every requested flush done
    pending_ = false;
    lock.unlock();
    const int rc = ::fdatasync(fd_);
    const int err = errno;
    lock.lock();
    if (rc != 0 && error_ == 0) error_ = err;
  }
}

int BackgroundSync::finish() {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  return error_;
}

}  // namespace talva
