// Compares two MeasurementSets by content (msio/ms_compare.h):
//   ms_compare A B      prints the differences; exit status 0 when none
#include <cstdio>

#include "msio/ms_compare.h"
#include "util/stop.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: ms_compare A B\n");
    return 2;
  }
  return talva::run_main([&] {
    const auto differences = talva::msio::compare_tables(argv[1], argv[2]);
    for (const auto& d : differences) std::printf("%s\n", d.c_str());
    if (differences.empty()) std::printf("%s and %s hold the same\n", argv[1], argv[2]);
    return differences.empty() ? 0 : 1;
  });
}
