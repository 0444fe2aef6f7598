#include "util/stop.h"

#include <cstdio>
#include <new>

#include "util/interrupt.h"

namespace talva {

void stop(const std::string& message, int status) { throw Stop(message, status); }

int run_main(const std::function<int()>& body) {
  install_interrupt_handler();
  try {
    int status = body();
    std::fflush(stdout);
    return status;
  } catch (const Stop& s) {
    std::fflush(stdout);
    const int sig = interrupt_signal();
    // A stop caused by the signal on its way (a wait for an input it cut
    // short, "Interrupted system call") ends as the signal does.
    const bool cut = sig != 0 && s.status() == 1;
    if (!s.message().empty()) {
      std::FILE* f = s.channel() == Channel::Stderr ? stderr : stdout;
      std::fputs(s.message().c_str(), f);
      std::fputc('\n', f);
      if (cut) std::fprintf(f, "interrupted by %s: no file written\n", signal_name(sig).c_str());
      std::fflush(f);
    }
    return cut ? 128 + sig : s.status();
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("out of memory\n", stderr);
    return 2;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "internal error: %s\n", e.what());
    return 2;
  }
}

}  // namespace talva
