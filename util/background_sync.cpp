#include "util/background_sync.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace talva {

void BackgroundSync::written(std::size_t bytes) {
  unflushed_ += bytes;
  if (unflushed_ < every_ || unavailable_) return;
  unflushed_ = 0;
  if (!thread_.joinable()) {
    // The new thread inherits the signal mask in force when it is created.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      unavailable_ = true;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (unavailable_) return;
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
