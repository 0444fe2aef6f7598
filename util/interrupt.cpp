#include "util/interrupt.h"

#include <signal.h>

#include <csignal>

#include "util/stop.h"

namespace talva {
namespace {

volatile std::sig_atomic_t received = 0;

extern "C" void on_signal(int sig) {
  if (received != 0) {
    // The second one: no more waiting for a clean point.
    ::signal(sig, SIG_DFL);
    ::raise(sig);
    return;
  }
  received = sig;
}

}  // namespace

void install_interrupt_handler() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocked read returns EINTR
  for (int sig : {SIGINT, SIGTERM}) {
    struct sigaction old {};
    // A signal ignored by whoever started the program (nohup, a shell's
    // background job) stays ignored.
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &sa, nullptr);
  }
  // A reader that goes away (`| head`) is seen as EPIPE on standard output
  // (request_stop), never as a signal that kills the run mid-write.
  ::signal(SIGPIPE, SIG_IGN);
}

void request_stop(int sig) {
  if (received == 0) received = sig;
}

int interrupt_signal() { return received; }

std::string signal_name(int sig) {
  switch (sig) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGPIPE:
      return "SIGPIPE (standard output closed)";
    default:
      return "signal " + std::to_string(sig);
  }
}

void stop_if_interrupted(const std::string& what) {
  const int sig = received;
  if (sig != 0) throw Stop("interrupted by " + signal_name(sig) + what, 128 + sig);
}

}  // namespace talva
