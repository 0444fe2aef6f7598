#pragma once
// Helpers of the converter tests: simulated archives, converter runs and
// reading the datasets back.
#include <gtest/gtest.h>

#include <complex>
#include <map>
#include <string>
#include <vector>

#include "miriad/uvread.h"
#include "support/testsupport.h"
#include "util/textin.h"

namespace conv_test {

using talva::test::RunResult;
using talva::test::TempDir;

/// Runs talvasim in `dir` with archive a.arc and layout lay.txt plus `extra` keywords.
inline void simulate(const TempDir& dir, std::vector<std::string> extra) {
  std::vector<std::string> args{"archive=a.arc", "layout=lay.txt"};
  args.insert(args.end(), extra.begin(), extra.end());
  const RunResult r = talva::test::run(talva::test::bin("talvasim"), args, dir.path().string());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
}

/// Runs a converter in `dir` on a.arc / lay.txt with device=/null unless given.
inline RunResult convert(const std::string& program, const TempDir& dir, std::vector<std::string> extra) {
  std::vector<std::string> args{"infile=a.arc", "corlfile=lay.txt"};
  bool device = false;
  for (const auto& e : extra) device = device || e.rfind("device=", 0) == 0;
  if (!device) args.push_back("device=/null");
  args.insert(args.end(), extra.begin(), extra.end());
  return talva::test::run(talva::test::bin(program), args, dir.path().string());
}

/// A gains file with every antenna 1..96 at gain g.
inline void write_uniform_gains(const std::string& path, std::complex<float> g) {
  std::string text;
  for (int a = 1; a <= 96; ++a)
    text += " " + std::to_string(a) + " (" + std::to_string(g.real()) + "," + std::to_string(g.imag()) + ")\n";
  talva::test::write_file(path, text);
}

/// Gains as the simulator wrote them (gainsout), [a-1].
inline std::vector<std::complex<float>> read_sim_gains(const std::string& path) {
  std::vector<std::complex<float>> g(96);
  talva::TextInput in(path, "gains");
  std::string line;
  while (in.next_line(line)) {
    talva::FreeFormat ff(line, &in);
    if (ff.at_end()) continue;
    const int a = ff.integer("antenna");
    g.at(static_cast<std::size_t>(a - 1)) = ff.complex32("gain");
  }
  return g;
}

/// All records of a dataset.
inline std::vector<talva::miriad::UvRecord> records(const std::string& path) {
  talva::miriad::UvReader reader(path);
  std::vector<talva::miriad::UvRecord> out;
  talva::miriad::UvRecord r;
  while (reader.read(r)) out.push_back(r);
  return out;
}

/// Whether `text` has a line equal to `line`.
inline bool has_line(const std::string& text, const std::string& line) {
  for (const auto& l : talva::test::lines(text))
    if (l == line) return true;
  return false;
}

}  // namespace conv_test
