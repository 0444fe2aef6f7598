#pragma once
// talvawatch's run: follows the archive with the waiting reader and serves
// the page, or (report=) reads a finished archive and writes the page as
// one file.
#include <string>

#include "util/output.h"

namespace talva::talvawatch {

struct Settings {
  std::string infile;                ///< the archive
  std::string corlfile;              ///< the correlator layout
  std::string gnsfile;               ///< gains (empty: none)
  std::string option = "ap(1e,1w)";  ///< the pair shown first (dumpscope's syntax)
  std::string bind = "127.0.0.1";
  int port = 8090;
  int idle = 5;        ///< minutes without a dump before the page says so
  std::string report;  ///< the report page to write (empty: serve)
};

/// Reads the keywords (MIRIAD keyword input) and checks them.
Settings read_settings();

/// The whole program after the keywords.
int run(const Settings& s, talva::Output& out);

}  // namespace talva::talvawatch
