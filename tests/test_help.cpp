// Every program's help: what it does, its keywords, and last one complete
// example command line whose keywords are all the program's own.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "support/testsupport.h"

using talva::test::run;

TEST(Help, EveryProgramEndsWithAnExampleOfItsOwnKeywords) {
  for (const char* program : {"talva2vis3", "talva2vis", "gainsolve", "phasesolve", "dumpscope", "talvasim", "archinfo",
                              "talvalist", "skyimage", "talvawatch"}) {
    SCOPED_TRACE(program);
    const auto r = run(program, {"-h"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind(std::string(program) + ": ", 0), 0u) << r.out;
    // the listed keywords: "  name=default ..." lines before "Example:"
    const std::size_t example = r.out.rfind("\nExample:\n  " + std::string(program) + " ");
    ASSERT_NE(example, std::string::npos) << r.out;
    std::set<std::string> known;
    std::istringstream lines(r.out.substr(0, example));
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("  ", 0) == 0 && line.find('=') != std::string::npos)
        known.insert(line.substr(2, line.find('=') - 2));
    const std::string tail = r.out.substr(example + 12 + std::string(program).size());
    ASSERT_EQ(tail.find('\n'), tail.size() - 1) << "the example is the last line: " << tail;
    std::istringstream words(tail);
    int n = 0;
    for (std::string w; words >> w; ++n) {
      ASSERT_NE(w.find('='), std::string::npos) << w;
      EXPECT_TRUE(known.count(w.substr(0, w.find('=')))) << w << " is no keyword of " << program;
    }
    EXPECT_GE(n, 1);
    // every required keyword appears in the example
    std::istringstream again(r.out.substr(0, example));
    for (std::string line; std::getline(again, line);)
      if (line.find("  required: ") != std::string::npos) {
        const std::string key = line.substr(2, line.find('=') - 2);
        EXPECT_NE(tail.find(key + "="), std::string::npos) << key << " required but not in the example";
      }
  }
}

// A keyword whose value, when not given, follows from other keywords lists
// no default value: the help must not show one that the run does not use.
TEST(Help, DerivedDefaultsShowNoValue) {
  struct Case {
    const char* program;
    const char* key;
  };
  for (const Case& c : {Case{"talvasim", "ha"}}) {
    SCOPED_TRACE(c.program);
    const auto r = run(c.program, {"-h"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string line = "\n  " + std::string(c.key) + "=";
    const std::size_t at = r.out.find(line);
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out[at + line.size()], ' ') << r.out.substr(at, 80);
  }
}
