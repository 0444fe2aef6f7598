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
    if (!s.message().empty()) {
      std::FILE* f = s.channel() == Channel::Stderr ? stderr : stdout;
      std::fputs(s.message().c_str(), f);
      std::fputc('\n', f);
      std::fflush(f);
    }
    return s.status();
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
