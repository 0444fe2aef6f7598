#include "miriad/bug.h"

#include <cstdio>

#include "util/stop.h"

namespace talva::miriad {

void bug_warn(const std::string& text) {
  std::fflush(stdout);
  std::fprintf(stderr, "### Warning:  %s\n", text.c_str());
  std::fflush(stderr);
}

void bug_fatal(const std::string& text) { throw talva::Stop("### Fatal Error:  " + text, 1, talva::Channel::Stderr); }

}  // namespace talva::miriad
