// Keyword input: command-line parsing, tokenising, conversions, files,
// keyfin reports and the help request.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "miriad/key.h"
#include "support/testsupport.h"
#include "util/stop.h"

using namespace talva::miriad;
using talva::test::TempDir;
using talva::test::write_file;

namespace {

// Runs keyini on "prog" + args (argv storage kept alive for the call).
void init(std::vector<std::string> args, const std::string& prog = "/usr/bin/talvatask",
          const char* purpose = nullptr) {
  std::vector<std::string> all{prog};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  keyini(static_cast<int>(argv.size()), argv.data(), purpose);
}

// The message of the fatal stop `f` raises (checking status and channel).
template <typename F>
std::string fatal(F f) {
  try {
    f();
  } catch (const talva::Stop& s) {
    EXPECT_EQ(s.status(), 1);
    EXPECT_EQ(s.channel(), talva::Channel::Stderr);
    return s.message();
  }
  ADD_FAILURE() << "no fatal stop";
  return "";
}

std::string a(const char* key, const std::string& def = "<def>") {
  std::string v;
  keya(key, v, def);
  return v;
}

int i(const char* key, int def = -999) {
  int v;
  keyi(key, v, def);
  return v;
}

std::string warnings_of_keyfin() {
  testing::internal::CaptureStderr();
  keyfin();
  return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(KeyTokens, SplitsAtCommasAndBlanksAndLastRepeatWins) {
  init({"vis=a,b c", "n=1", "n=2"});
  EXPECT_EQ(a("vis"), "a");
  EXPECT_EQ(a("vis"), "b");
  EXPECT_TRUE(keyprsnt("vis"));
  EXPECT_EQ(a("vis"), "c");
  EXPECT_FALSE(keyprsnt("vis"));
  EXPECT_EQ(a("vis"), "<def>");
  EXPECT_EQ(i("n"), 2);
  EXPECT_EQ(i("n"), -999);
  EXPECT_EQ(a("absent"), "<def>");
  EXPECT_FALSE(keyprsnt("absent"));
  EXPECT_EQ(warnings_of_keyfin(), "");
}

TEST(KeyTokens, QuotesAndParenthesesKeepSeparators) {
  init({"select=ant(1,2),pol(xx) \"a,b\" c", "s=f(a,(b c)),d", "q=x\"a,b\"y,'abc,def"});
  EXPECT_EQ(a("select"), "ant(1,2)");
  EXPECT_EQ(a("select"), "pol(xx)");
  EXPECT_EQ(a("select"), "a,b");
  EXPECT_EQ(a("select"), "c");
  EXPECT_EQ(a("s"), "f(a,(b c))");
  EXPECT_EQ(a("s"), "d");
  EXPECT_EQ(a("q"), "x\"a,b\"y");  // quotes kept unless they enclose the token
  EXPECT_EQ(a("q"), "'abc,def");   // unbalanced quote runs to the end
  EXPECT_FALSE(keyprsnt("q"));
  keyfin();
}

TEST(KeyTokens, EmptyTokensGiveTheDefault) {
  init({"v=a,,b", "w=a ,b", "x=1, 2"});
  EXPECT_EQ(a("v"), "a");
  EXPECT_TRUE(keyprsnt("v"));
  EXPECT_EQ(a("v"), "<def>");
  EXPECT_EQ(a("v"), "b");
  EXPECT_EQ(a("w"), "a");
  EXPECT_EQ(i("w", 5), 5);  // the empty token between " " and ","
  EXPECT_EQ(a("w"), "b");
  EXPECT_EQ(i("x"), 1);
  EXPECT_EQ(i("x"), 2);  // ", " is one separator
  EXPECT_FALSE(keyprsnt("x"));
  keyfin();
}

TEST(KeyParameters, KeywordSyntax) {
  init({"v = x", "  w=y", "my_key=1", "a$1=z", "# note=1", "talvatask/loc=1", "loc=2", "other/vis=3", "Case=up"});
  EXPECT_EQ(a("v"), "x");
  EXPECT_EQ(a("w"), "y");
  EXPECT_EQ(a("my"), "<def>");  // '_' is no keyword character: "my_key" is no keyword
  EXPECT_EQ(a("a$1"), "z");
  EXPECT_EQ(a("note"), "<def>");
  EXPECT_EQ(i("loc"), 1);         // the local form is not overridden by a later global one
  EXPECT_EQ(a("vis"), "<def>");   // another task's local form is ignored
  EXPECT_EQ(a("case"), "<def>");  // keywords are case-sensitive
  EXPECT_EQ(fatal([] { keyfin(); }),
            "### Fatal Error:  my_key: no such keyword (talvatask -h lists the keywords).\n"
            "### Fatal Error:  Case: no such keyword; did you mean case?");
}

TEST(KeyParameters, MalformedArgumentsAreNamedByKeyfin) {
  testing::internal::CaptureStderr();
  init({"justword", "vis=", "-x", "n=4"});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "### Warning:  Badly formed parameter: [vis=].\n");
  EXPECT_FALSE(keyprsnt("justword"));
  EXPECT_FALSE(keyprsnt("vis"));
  EXPECT_EQ(i("n"), 4);
  EXPECT_EQ(fatal([] { keyfin(); }),
            "### Fatal Error:  justword: not understood; keywords are written name=value.\n"
            "### Fatal Error:  -x: not understood; the flags are -f FILE, -h and -k, keywords are written "
            "name=value.");
}

// Each row: the arguments, the keywords the program reads, keyfin's message.
TEST(KeyParameters, ArgumentsThatAreNoKeywordOfTheProgram) {
  struct Row {
    std::vector<std::string> args;
    std::vector<const char*> reads;
    std::string message;  ///< after "### Fatal Error:  "; empty: no stop
  };
  const std::vector<Row> rows{
      {{"calflux=10"}, {"calflx", "infile"}, "calflux: no such keyword; did you mean calflx?"},
      {{"CALFLX=10"}, {"calflx"}, "CALFLX: no such keyword; did you mean calflx?"},
      {{"clafx=1"}, {"calflx"}, "clafx: no such keyword; did you mean calflx?"},  // a swap and a deletion
      {{"zzz=1"}, {"calflx"}, "zzz: no such keyword (talvatask -h lists the keywords)."},
      {{"x=1"}, {"y"}, "x: no such keyword (talvatask -h lists the keywords)."},  // one letter: no guess
      {{"cal.arc"}, {"verbose"}, "cal.arc: not understood; keywords are written name=value."},
      {{"--vis=x"}, {"vis"}, "--vis=x: keywords are written without dashes, as vis=x."},
      {{"-vis=x"}, {"vis"}, "-vis=x: keywords are written without dashes, as vis=x."},
      {{"=x"}, {"vis"}, "=x: not understood; keywords are written name=value."},
      {{"\xEF\xBB\xBFvis=x"}, {"vis"}, ""},  // a byte-order mark before the argument
      {{"options=a,b"}, {"options"}, ""},    // read only while present
      {{"n=1,2"}, {"n"}, ""},                // read but not exhausted: a warning only
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args.front());
    init(r.args);
    for (const char* k : r.reads) keyprsnt(k);
    testing::internal::CaptureStderr();
    if (r.message.empty()) {
      keyfin();
    } else {
      EXPECT_EQ(fatal([] { keyfin(); }), "### Fatal Error:  " + r.message);
    }
    testing::internal::GetCapturedStderr();
  }
  // a word without "=" shown as the value of the first required keyword not given
  init({"cal.arc"}, "bin/archinfo");
  std::string v;
  keya("archive", v, "", required("the archive"));
  EXPECT_EQ(fatal([] { keyfin(); }),
            "### Fatal Error:  cal.arc: not understood; keywords are written name=value, as archive=cal.arc.\n"
            "### Fatal Error:  archive= (the archive) is required.");
}

TEST(KeyParameters, TaskNameAndArgumentsKeptVerbatim) {
  TempDir dir;
  write_file(dir.file("p"), "x=1\n");
  init({"in=a, b", "-f", dir.file("p")}, "./bin/talva2vis3");
  EXPECT_EQ(key_task_name(), "talva2vis3");
  EXPECT_EQ(key_arguments(), (std::vector<std::string>{"in=a, b", "-f", dir.file("p")}));
  EXPECT_EQ(a("in"), "a");
  EXPECT_EQ(a("in"), "b");
  EXPECT_EQ(i("x"), 1);
  keyfin();
}

TEST(KeyNumbers, IntegersAreDecimalAndRealsRoundHalfAwayFromZero) {
  init({"n=010,1.6,-2.5,+7,1e3,2.5,-0,2147483647,-2147483648"});
  for (int want : {10, 2, -3, 7, 1000, 3, 0, 2147483647, -2147483647 - 1}) EXPECT_EQ(i("n"), want);
  keyfin();
}

TEST(KeyNumbers, GarbageAndOverflowAreFatalNamingTheKeyword) {
  for (const char* bad : {"12abc", "1.5abc", "0x10", "abc", "3000000000", "1d3", "-", "1e", "inf", "2.2e9"}) {
    init({std::string("n=") + bad});
    EXPECT_EQ(fatal([] { i("n"); }),
              std::string("### Fatal Error:  KeyI: Conversion error decoding parameter [n=") + bad + "].")
        << bad;
  }
  for (const char* bad : {"1.5abc", "1d3", "nan", "0x1p3", "."}) {
    init({std::string("x=") + bad});
    EXPECT_EQ(fatal([] {
                double d;
                keyd("x", d, 0);
              }),
              std::string("### Fatal Error:  KeyD: Conversion error decoding parameter [x=") + bad + "].")
        << bad;
  }
  init({"r=1e39"});
  EXPECT_EQ(fatal([] {
              float f;
              keyr("r", f, 0);
            }),
            "### Fatal Error:  KeyD: Conversion error decoding parameter [r=1e39].");
}

TEST(KeyNumbers, RealsAndDoubles) {
  init({"x=0.1,.5,-3.25e-2,7", "r=0.1"});
  double d;
  keyd("x", d, 0);
  EXPECT_EQ(d, 0.1);
  keyd("x", d, 0);
  EXPECT_EQ(d, 0.5);
  keyd("x", d, 0);
  EXPECT_EQ(d, -3.25e-2);
  keyd("x", d, 0);
  EXPECT_EQ(d, 7.0);
  keyd("x", d, 42.5);
  EXPECT_EQ(d, 42.5);
  float f;
  keyr("r", f, 0);
  EXPECT_EQ(f, 0.1f);  // rounded once from the double
  keyfin();
}

TEST(KeyLogicals, MiriadSpellingsAndInvalidValues) {
  init({"o=yes,No,.true.,F,1,0,.f.,T,n"});
  std::vector<bool> got;
  for (int k = 0; k < 9; ++k) {
    bool b;
    keyl("o", b, k % 2 == 0);
    got.push_back(b);
  }
  EXPECT_EQ(got, (std::vector<bool>{true, false, true, false, true, false, false, true, false}));
  init({"o=maybe,."});
  testing::internal::CaptureStderr();
  bool b1, b2;
  keyl("o", b1, true);
  keyl("o", b2, false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "### Warning:  KeyL: invalid value for a logical: [maybe].\n"
            "### Warning:  KeyL: invalid value for a logical: [.].\n");
  EXPECT_TRUE(b1);
  EXPECT_FALSE(b2);
  keyfin();
}

TEST(KeyFiles, ParameterFile) {
  TempDir dir;
  write_file(dir.file("par"), "# comment\n\n  vis = a,b\r\nn=3\nvis=c\n");
  init({"n=1", "-f", dir.file("par"), "extra=x"});
  EXPECT_EQ(a("vis"), "c");
  EXPECT_EQ(i("n"), 3);
  EXPECT_EQ(a("extra"), "x");
  keyfin();
  EXPECT_EQ(fatal([] { init({"-f"}); }), "### Fatal Error:  KeyIni: No parameter file given for -f option.");
  std::string missing = dir.file("missing");
  EXPECT_EQ(fatal([&] {
              init({"-f", missing});
            }),
            "### Fatal Error:  KeyIni: Failed to open the parameter file [" + missing + "].");
}

TEST(KeyFiles, AtFileValues) {
  TempDir dir;
  write_file(dir.file("list"), "  one  \n# skipped\n\ntwo,three\n\"four five\"\n");
  write_file(dir.file("self"), "@" + dir.file("self") + "\n");
  init({"v=@" + dir.file("list") + ",six", "w='@" + dir.file("list") + "'"});
  for (const char* want : {"one", "two", "three", "four five", "six"}) EXPECT_EQ(a("v"), want);
  EXPECT_FALSE(keyprsnt("v"));
  EXPECT_EQ(a("w"), "one");
  keyfin();
  init({"v=@" + dir.file("nope"), "s=@" + dir.file("self")});
  EXPECT_EQ(fatal([] { a("v"); }), "### Fatal Error:  Error opening @ file [" + dir.file("nope") + "].");
  EXPECT_NE(fatal([] { a("s"); }).find("Too many nested @ files"), std::string::npos);
}

TEST(KeyFin, WarnsForUnreadKeywordsInReverseOrderThenForgets) {
  init({"vis=x,y", "extra=1", "VIS=up", "done=1", "empty=, "});
  EXPECT_EQ(a("vis"), "x");
  EXPECT_EQ(i("done"), 1);
  EXPECT_EQ(a("empty"), "<def>");
  testing::internal::CaptureStderr();
  EXPECT_EQ(fatal([] { keyfin(); }),  // the keywords never read stop the program
            "### Fatal Error:  extra: no such keyword (talvatask -h lists the keywords).\n"
            "### Fatal Error:  VIS: no such keyword; did you mean vis?");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),  // "empty" still holds the blank after its comma
            "### Warning:  Keyword [empty] not used or not exhausted.\n"
            "### Warning:  Keyword [vis] not used or not exhausted.\n");
  EXPECT_EQ(fatal([] { a("vis"); }), "### Fatal Error:  The Key initialization routine must be called first.");
}

TEST(KeyHelp, ListsKeywordsWithDefaultsAndStopsWithStatusZero) {
  for (const char* flag : {"-?", "-h", "--help", "-k"}) {
    SCOPED_TRACE(flag);
    init({"vis=given", flag, "unused=1"}, "bin/gainsolve", "solves gains");
    std::string v;
    keya("vis", v, " ", required("the archive"));
    EXPECT_EQ(v, " ");  // the defaults are returned
    int r = 0;
    keyi("reclim", r, 1, "first and last dump");
    EXPECT_EQ(r, 1);
    keyi("reclim", r, 0, "(only the first meaning counts)");
    EXPECT_EQ(r, 0);
    float f;
    keyr("a_long_keyword_name", f, 2.5f, "flux, Jy");
    EXPECT_EQ(f, 2.5f);
    bool b;
    keyl("mdcorr", b, false);
    EXPECT_FALSE(keyprsnt("vis"));
    EXPECT_FALSE(keyprsnt("options", "option words"));  // a loop "while keyprsnt" reads nothing
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    try {
      keyfin();
      ADD_FAILURE() << "keyfin did not stop";
    } catch (const talva::Stop& s) {
      EXPECT_EQ(s.status(), 0);
      EXPECT_EQ(s.message(), "");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // no keyfin warnings, no missing keyword
    const std::string out = testing::internal::GetCapturedStdout();
    if (std::string(flag) == "-k") {
      EXPECT_EQ(out,
                "Keywords of gainsolve (keyword=default):\n"
                "  vis= \n"
                "  reclim=1,0\n"
                "  a_long_keyword_name=2.5\n"
                "  mdcorr=false\n"
                "  options=\n");
    } else {
      EXPECT_EQ(out,
                "gainsolve: solves gains\n"
                "Keywords (keyword=default, then the meaning):\n"
                "  vis=          required: the archive\n"
                "  reclim=1,0    first and last dump\n"
                "  a_long_keyword_name=2.5  flux, Jy\n"
                "  mdcorr=false\n"
                "  options=      option words\n");
    }
  }
}

TEST(KeyRequired, MissingKeywordsAreNamedAfterTheWarnings) {
  init({"infile=a.arc", "extra=1"});
  std::string v;
  keya("infile", v, " ", required("the archive"));
  keya("corlfile", v, " ", required("the layout file"));
  keya("corlfile", v, " ", required("the layout file"));  // named once
  keya("uvfile", v, " ", required("the dataset"));
  testing::internal::CaptureStderr();
  const std::string msg = fatal([] { keyfin(); });
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(msg,
            "### Fatal Error:  extra: no such keyword (talvatask -h lists the keywords).\n"
            "### Fatal Error:  corlfile= (the layout file) is required.\n"
            "### Fatal Error:  uvfile= (the dataset) is required.");
  init({"infile=a.arc"});  // given: no stop
  keya("infile", v, " ", required("the archive"));
  EXPECT_EQ(warnings_of_keyfin(), "");
}

TEST(KeyFiles, AtFilesThatNameThemselvesStop) {
  TempDir dir;
  write_file(dir.file("again"), "1\n@" + dir.file("again") + "\n");  // no deeper at each step
  init({"n=@" + dir.file("again")});
  int taken = 0;
  const std::string msg = fatal([&] {
    while (keyprsnt("n")) {
      i("n");
      ++taken;
    }
  });
  EXPECT_EQ(msg,
            "### Fatal Error:  The value of keyword [n] reads more than 1000 @ files (an @ file that names itself?).");
  EXPECT_EQ(taken, 1000);
  // a large file named twice: the bytes of one keyword's @ files are bounded
  std::string big;
  while (big.size() < (std::size_t{9} << 20)) big += std::string(1000, 'x') + "\n";
  write_file(dir.file("big"), big);
  init({"v=@" + dir.file("big") + ",@" + dir.file("big")});
  EXPECT_NE(fatal([] {
              while (keyprsnt("v")) a("v");
            }).find("The @ files of keyword [v] hold more than 16777216 bytes"),
            std::string::npos);
}

TEST(KeyFiles, ByteOrderMarkBeforeTheFirstLineIsSkipped) {
  TempDir dir;
  write_file(dir.file("par"), "\xEF\xBB\xBFvis=a\nn=2\n");
  write_file(dir.file("list"), "\xEF\xBB\xBFone\ntwo\n");
  init({"-f", dir.file("par"), "w=@" + dir.file("list")});
  EXPECT_EQ(a("vis"), "a");
  EXPECT_EQ(i("n"), 2);
  EXPECT_EQ(a("w"), "one");
  EXPECT_EQ(a("w"), "two");
  EXPECT_EQ(warnings_of_keyfin(), "");
}

// A FIFO (or a process substitution) can be read once only: keyini keeps its
// lines for the history instead of the history writer opening it again.
TEST(KeyFiles, ParameterFileIsReadOnceAndItsLinesKeptForTheHistory) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    std::FILE* f = std::fopen(fifo.c_str(), "w");
    if (f == nullptr) return;
    std::fputs("vis=a\n# note\nn=3\n", f);
    std::fclose(f);
  });
  init({"x=1", "-f", fifo, "y=2"});
  writer.join();
  EXPECT_EQ(key_history(), (std::vector<std::string>{"x=1", "vis=a", "# note", "n=3", "y=2"}));
  EXPECT_EQ(key_arguments(), (std::vector<std::string>{"x=1", "-f", fifo, "y=2"}));
  EXPECT_EQ(a("vis"), "a");
  EXPECT_EQ(i("n"), 3);
  EXPECT_EQ(i("x"), 1);
  EXPECT_EQ(i("y"), 2);
  keyfin();
}

TEST(KeyHelp, EndsWithTheExampleCommandLine) {
  std::vector<std::string> all{"bin/archinfo", "-h"};
  std::vector<char*> argv;
  for (auto& s : all) argv.push_back(s.data());
  keyini(2, argv.data(), "lists an archive", "archive=cal.arc");
  std::string v;
  keya("archive", v, "", required("the archive"));
  testing::internal::CaptureStdout();
  try {
    keyfin();
  } catch (const talva::Stop&) {
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "archinfo: lists an archive\n"
            "Keywords (keyword=default, then the meaning):\n"
            "  archive=  required: the archive\n"
            "Example:\n"
            "  archinfo archive=cal.arc\n");
}
