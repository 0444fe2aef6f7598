// The keyword layer against MIRIAD's own key routines (casacore's mirlib):
// one table of command lines, each parsed by both and read with the same
// calls. The transcripts (values, warnings, fatal errors) must be equal,
// except in the rows that show one of the project's deliberate departures,
// which are listed by name below; there they must differ.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "miriad/key.h"
#include "support/mirlib.h"
#include "support/testsupport.h"
#include "util/stop.h"

namespace {

using talva::test::TempDir;
using talva::test::mir::KeyCall;
using Routine = KeyCall::Routine;

// The project's deliberate departures from MIRIAD's key routines.
const std::map<std::string, std::string> kDepartures{
    {"decimal-only numbers", "a leading 0 is not octal; 0x.., inf, nan and Fortran 1d3 are conversion errors"},
    {"trailing garbage refused", "12abc and 1.5abc are conversion errors, not 12 and 1.5"},
    {"out-of-range numbers refused", "an integer beyond 32 bits or a real beyond single precision in keyr is an error"},
    {"@file lines lose trailing blanks", "so a blank before a line's end makes no empty token"},
    {"malformed parameter quoted as given", "\"Badly formed parameter: [vis=].\" quotes the argument itself"},
    {"help flags", "-h and --help list the keywords and their defaults"},
    {"arguments that are no keyword stop",
     "an unknown keyword, a word without = and an unknown flag are fatal in keyfin"},
};

struct Row {
  std::string name;
  std::vector<std::string> args;   ///< "$D" stands for the scratch directory
  std::vector<std::string> calls;  ///< "a:key:default", "i:..", "r:..", "d:..", "l:key:t|f", "p:key", "fin"
  std::string departure;           ///< empty: the transcripts must be equal
};

// Files every row can use, in the scratch directory.
const std::map<std::string, std::string> kFiles{
    {"par", "# a comment\n\n  vis = a,b\nn=3\nvis=c\n"},
    {"list", "  one\n# skipped\n\ntwo,three\n\"four five\"\n"},
    {"blanks", "one  \ntwo\n"},
    {"blankline", "n=2\n   \nvis=x\n"},
};

const std::vector<Row> kRows{
    {"plain values and lists",
     {"vis=a,b c", "n=1"},
     {"a:vis:<d>", "p:vis", "a:vis:<d>", "a:vis:<d>", "a:vis:<d>", "i:n:-9", "i:n:-9", "fin"},
     ""},
    {"missing keyword gives the default",
     {"n=4"},
     {"a:absent:dflt", "i:m:7", "r:r:2.5", "d:x:-0.125", "l:o:t", "l:o:f", "p:absent", "i:n:0", "fin"},
     ""},
    {"repeated keyword: the last wins",
     {"n=1", "n=2", "vis=first", "vis=second"},
     {"i:n:-9", "i:n:-9", "a:vis:<d>", "a:vis:<d>", "fin"},
     ""},
    {"quotes and parentheses",
     {"select=ant(1,2),pol(xx) \"a,b\" c", "s=f(a,(b c)),d", "q=x\"a,b\"y,'abc,def"},
     {"a:select:", "a:select:", "a:select:", "a:select:", "a:s:", "a:s:", "a:q:", "a:q:", "p:q", "fin"},
     ""},
    {"empty tokens",
     {"v=a,,b", "w=a ,b", "x=1, 2"},
     {"a:v:<d>", "p:v", "a:v:<d>", "a:v:<d>", "a:w:", "i:w:5", "a:w:", "i:x:0", "i:x:0", "p:x", "fin"},
     ""},
    {"keyword syntax",
     {"v = x", "  w=y", "my_key=1", "a$1=z", "# note=1", "talvatask/loc=1", "loc=2", "other/vis=3", "Case=up"},
     {"a:v:", "a:w:", "a:my:", "a:a$1:", "a:note:<d>", "i:loc:0", "a:vis:<d>", "a:case:<d>", "fin"},
     "arguments that are no keyword stop"},
    {"numbers",
     {"n=1.6,-2.5,+7,1e3,2.5,-0,2147483647,-2147483648,12", "x=0.1,.5,-3.25e-2,7", "r=0.1,1e-3"},
     {"i:n:0", "i:n:0", "i:n:0", "i:n:0", "i:n:0", "i:n:0", "i:n:0", "i:n:0", "i:n:0", "d:x:0", "d:x:0", "d:x:0",
      "d:x:0", "d:x:42.5", "r:r:0", "r:r:0", "fin"},
     ""},
    {"logicals",
     {"o=yes,No,.true.,F,1,0,.f.,T,n"},
     {"l:o:t", "l:o:f", "l:o:t", "l:o:t", "l:o:f", "l:o:t", "l:o:t", "l:o:f", "l:o:t", "fin"},
     ""},
    {"invalid logical warns and gives the default", {"o=maybe,."}, {"l:o:t", "l:o:f", "fin"}, ""},
    {"parameter file", {"n=1", "-f", "$D/par", "extra=x"}, {"a:vis:<d>", "i:n:0", "a:extra:", "fin"}, ""},
    {"-f without a file", {"-f"}, {"fin"}, ""},
    {"blank lines and arguments", {"", "  ", "-f", "$D/blankline"}, {"i:n:0", "a:vis:", "fin"}, ""},
    {"-f with a missing file", {"-f", "$D/missing"}, {"fin"}, ""},
    {"@file values",
     {"v=@$D/list,six", "w='@$D/list'"},
     {"a:v:", "a:v:", "a:v:", "a:v:", "a:v:", "p:v", "a:w:", "fin"},
     ""},
    {"@file that is missing", {"v=@$D/nope"}, {"a:v:", "fin"}, ""},
    {"unknown flag", {"-x", "n=4"}, {"i:n:0", "fin"}, "arguments that are no keyword stop"},
    {"keyfin warns for what is left, last keyword first",
     {"vis=x,y", "extra=1", "VIS=up", "done=1", "empty=, "},
     {"a:vis:", "i:done:0", "a:empty:<d>", "fin"},
     "arguments that are no keyword stop"},
    {"blank remainder",
     {"empty=, ", "v=a  ", "w=b , "},
     {"a:empty:<d>", "p:empty", "a:v:", "p:v", "a:v:<d>", "p:v", "a:w:", "p:w", "a:w:<d>", "p:w", "a:w:<d>", "p:w",
      "fin"},
     ""},
    {"keyword without a value", {"justword", "n=1"}, {"i:n:0", "fin"}, "arguments that are no keyword stop"},
    {"conversion error", {"n=abc"}, {"i:n:0"}, ""},
    {"real conversion error", {"x=abc"}, {"d:x:0"}, ""},
    // Departures.
    {"octal and hexadecimal integers", {"n=010"}, {"i:n:0"}, "decimal-only numbers"},
    {"hexadecimal integer", {"n=0x10"}, {"i:n:0"}, "decimal-only numbers"},
    {"Fortran exponent", {"x=1d3"}, {"d:x:0"}, "decimal-only numbers"},
    {"infinity", {"x=inf"}, {"d:x:0"}, "decimal-only numbers"},
    {"integer with trailing garbage", {"n=12abc"}, {"i:n:0"}, "trailing garbage refused"},
    {"real with trailing garbage", {"x=1.5abc"}, {"d:x:0"}, "trailing garbage refused"},
    {"integer beyond 32 bits", {"n=3000000000"}, {"i:n:0"}, "out-of-range numbers refused"},
    {"real beyond single precision", {"r=1e39"}, {"r:r:0"}, "out-of-range numbers refused"},
    {"@file line ending in blanks",
     {"v=@$D/blanks"},
     {"a:v:<d>", "a:v:<d>", "a:v:<d>", "fin"},
     "@file lines lose trailing blanks"},
    {"empty value", {"vis=", "n=1"}, {"i:n:0", "fin"}, "malformed parameter quoted as given"},
    {"help flag", {"-h", "n=1"}, {"i:n:0"}, "help flags"},
};

KeyCall call_of(const std::string& spec) {
  KeyCall c;
  if (spec == "fin") {
    c.routine = Routine::Fin;
    return c;
  }
  const std::size_t a = spec.find(':'), b = spec.find(':', a + 1);
  c.key = spec.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
  c.def = b == std::string::npos ? "" : spec.substr(b + 1);
  switch (spec[0]) {
    case 'a':
      c.routine = Routine::A;
      break;
    case 'i':
      c.routine = Routine::I;
      break;
    case 'r':
      c.routine = Routine::R;
      break;
    case 'd':
      c.routine = Routine::D;
      break;
    case 'l':
      c.routine = Routine::L;
      break;
    default:
      c.routine = Routine::Prsnt;
      break;
  }
  return c;
}

std::vector<std::string> expand(std::vector<std::string> args, const std::string& dir) {
  for (auto& a : args)
    for (std::size_t p; (p = a.find("$D")) != std::string::npos;) a.replace(p, 2, dir);
  return args;
}

/// The same transcript as MIRIAD's runner, from the project's key layer.
std::string project_transcript(const std::vector<std::string>& args, const std::vector<KeyCall>& calls,
                               const std::string& cwd) {
  return talva::test::mir::in_child(
      [&] {
        try {
          std::vector<std::string> all{"talvatask"};
          all.insert(all.end(), args.begin(), args.end());
          std::vector<char*> argv;
          for (auto& a : all) argv.push_back(a.data());
          talva::miriad::keyini(static_cast<int>(argv.size()), argv.data());
          char num[64];
          for (const auto& c : calls) {
            std::string value;
            switch (c.routine) {
              case Routine::A:
                talva::miriad::keya(c.key.c_str(), value, c.def);
                break;
              case Routine::I: {
                int v = 0;
                talva::miriad::keyi(c.key.c_str(), v, std::stoi(c.def));
                value = std::to_string(v);
                break;
              }
              case Routine::R: {
                float v = 0;
                talva::miriad::keyr(c.key.c_str(), v, std::stof(c.def));
                std::snprintf(num, sizeof num, "%.9g", static_cast<double>(v));
                value = num;
                break;
              }
              case Routine::D: {
                double v = 0;
                talva::miriad::keyd(c.key.c_str(), v, std::stod(c.def));
                std::snprintf(num, sizeof num, "%.17g", v);
                value = num;
                break;
              }
              case Routine::L: {
                bool v = false;
                talva::miriad::keyl(c.key.c_str(), v, c.def == "t");
                value = v ? "T" : "F";
                break;
              }
              case Routine::Prsnt:
                value = talva::miriad::keyprsnt(c.key.c_str()) ? "T" : "F";
                break;
              case Routine::Fin:
                talva::miriad::keyfin();
                break;
            }
            std::fflush(stdout);
            std::printf("%s\n", talva::test::mir::key_transcript_line(c, value).c_str());
            std::fflush(stdout);
          }
        } catch (const talva::Stop& s) {
          std::fflush(stdout);
          if (!s.message().empty()) std::fprintf(stderr, "%s\n", s.message().c_str());
          std::fflush(stderr);
          ::_exit(s.status());
        }
      },
      cwd);
}

TEST(KeyAgainstMiriad, OneTableOfCommandLines) {
  TempDir dir;
  for (const auto& [name, text] : kFiles) talva::test::write_file(dir.file(name), text);
  std::set<std::string> shown;
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    std::vector<KeyCall> calls;
    for (const auto& c : row.calls) calls.push_back(call_of(c));
    const auto args = expand(row.args, dir.path().string());
    const std::string ours = project_transcript(args, calls, dir.path().string());
    const std::string theirs = talva::test::mir::run_keys(args, calls, dir.path().string());
    if (row.departure.empty()) {
      EXPECT_EQ(ours, theirs);
    } else {
      ASSERT_EQ(kDepartures.count(row.departure), 1u) << row.departure;
      EXPECT_NE(ours, theirs) << "no longer a departure: " << row.departure << "\n" << ours;
      shown.insert(row.departure);
    }
  }
  // Every departure listed is one the table shows.
  for (const auto& [name, what] : kDepartures) EXPECT_EQ(shown.count(name), 1u) << name << ": " << what;
}

}  // namespace
