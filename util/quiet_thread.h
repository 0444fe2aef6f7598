#pragma once
// A helper thread that never takes a signal: SIGINT and SIGTERM reach the
// program's own thread, which stops at its next clean point.
#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace talva {

/// Starts `f` on a new thread with every signal blocked (the thread inherits
/// the mask in force when it is created; the caller's mask is restored).
/// Throws std::system_error when no thread can be started.
template <typename F>
std::thread quiet_thread(F&& f) {
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  struct Restore {
    sigset_t mask;
    ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{old};
  return std::thread(std::forward<F>(f));
}

}  // namespace talva
