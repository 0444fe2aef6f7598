// What only the talvawatch program shows: its keywords refused by name,
// its inputs named when missing, the report on disk, and the report never
// written over one of its inputs.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/testsupport.h"

using talva::test::bin;
using talva::test::read_file;
using talva::test::run;
using talva::test::TempDir;

namespace {

struct Archive {
  TempDir dir;
  Archive() {
    const auto r = run(bin("talvasim"),
                       {"archive=" + dir.file("obs.dat"), "layout=" + dir.file("lay.file"), "ndumps=5", "noise=0.1"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }
  std::string arch() const { return "infile=" + dir.file("obs.dat"); }
  std::string lay() const { return "corlfile=" + dir.file("lay.file"); }
};

TEST(TalvawatchProgram, ReportIsOneFileOfTheWholeArchive) {
  Archive a;
  const std::string report = a.dir.file("obs.html");
  const auto r = run(bin("talvawatch"), {a.arch(), a.lay(), "report=" + report, "option=bs(2,e)"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("talvawatch: 5 dumps; report written to " + report), std::string::npos) << r.out;
  const std::string page = read_file(report);
  EXPECT_NE(page.find("window.TALVA_REPORT"), std::string::npos);
  EXPECT_NE(page.find("\"dumps\":5"), std::string::npos);
  EXPECT_NE(page.find("\"option\":\"bs(2,e)\""), std::string::npos);
  EXPECT_EQ(page.find("src=\"assets/"), std::string::npos);  // nothing left to fetch
}

TEST(TalvawatchProgram, BadKeywordsAndInputsStopWithTheirNames) {
  Archive a;
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{a.arch(), a.lay(), "port=70000"}, "port"},
      {{a.arch(), a.lay(), "port=-1"}, "port"},
      {{a.arch(), a.lay(), "idle=0"}, "idle"},
      {{a.arch(), a.lay(), "option=" + std::string(81, 'a')}, "option="},
      {{"infile=" + a.dir.file("missing.dat"), a.lay(), "report=" + a.dir.file("r.html")}, "missing.dat"},
      {{a.arch(), "corlfile=" + a.dir.file("nolayout"), "report=" + a.dir.file("r.html")}, "nolayout"},
      {{a.arch(), a.lay(), "report=" + a.dir.file("obs.dat")}, "obs.dat"},    // the report over the archive
      {{a.arch(), a.lay(), "report=" + a.dir.file("lay.file")}, "lay.file"},  // or over the layout
      {{a.arch(), a.lay(), "bind=256.1.1.1", "port=0"}, "cannot listen on 256.1.1.1"},
      // counts outside the format: no waiting for more of the header, even live
      {{"infile=" + a.dir.file("bad.dat"), a.lay(), "port=0"}, "cannot read the file header of"},
  };
  talva::test::write_file(a.dir.file("bad.dat"), std::string("\x60\0\0\0\x9f\x86\x01\0", 8));  // nbsln 99999
  const auto archive_before = talva::test::read_bytes(a.dir.file("obs.dat"));
  for (const Case& c : cases) {
    const auto r = run(bin("talvawatch"), c.args);
    EXPECT_NE(r.status, 0) << c.message;
    EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
  }
  EXPECT_EQ(talva::test::read_bytes(a.dir.file("obs.dat")), archive_before);
  EXPECT_FALSE(std::filesystem::exists(a.dir.file("r.html")));
}

}  // namespace
