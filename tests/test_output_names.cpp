// Output names checked before any work: an output that is an input of the
// same run (compared as files, however the names are spelled), and the hint
// for a uv dataset name that exists (a remnant is named as such only when it
// carries the marks of an unfinished dataset; nothing else is ever proposed
// for removal).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "miriad/uvio.h"
#include "support/testsupport.h"
#include "util/output_file.h"
#include "util/stop.h"

namespace {

namespace fs = std::filesystem;
using talva::test::TempDir;
using talva::test::write_file;

/// The message of the stop `f` throws ("" when it throws none).
template <class F>
std::string stop_message(F&& f) {
  try {
    f();
  } catch (const talva::Stop& e) {
    return e.message();
  }
  return "";
}

TEST(OutputNames, AnOutputThatIsAnInputIsRefusedHoweverItIsSpelled) {
  TempDir dir;
  const fs::path d = dir.path();
  write_file(dir.file("cal.md_dat"), "md table\n");
  fs::create_directory(d / "sub");
  fs::create_symlink(d / "cal.md_dat", d / "link.md_dat");
  fs::create_hard_link(d / "cal.md_dat", d / "hard.md_dat");
  write_file(dir.file("other"), "another file\n");
  struct Case {
    std::string input, output;
    bool refused;
  };
  const std::string p = d.string();
  const std::vector<Case> cases{
      {p + "/cal.md_dat", p + "/cal.md_dat", true},
      {p + "/cal.md_dat", p + "/sub/../cal.md_dat", true},
      {p + "/cal.md_dat", p + "/./cal.md_dat", true},
      {p + "/link.md_dat", p + "/cal.md_dat", true},  // the input read through a link
      {p + "/cal.md_dat", p + "/link.md_dat", true},  // the output a link to the input
      {p + "/cal.md_dat", p + "/hard.md_dat", true},  // one file, two names
      {p + "/cal.md_dat", p + "/other", false},
      {p + "/cal.md_dat", p + "/new.gains", false},
      {p + "/absent", p + "/absent", false},  // no input there: its reader reports it
      {p + "/sub", p + "/sub/x.uv", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + " -> " + c.output);
    // Either order of naming them.
    for (const bool input_first : {true, false}) {
      talva::OutputSet set;
      const std::string msg = stop_message([&] {
        if (input_first) set.input(c.input);
        set.claim(c.output);
        if (!input_first) set.input(c.input);
      });
      if (c.refused) {
        EXPECT_NE(msg.find("is the input"), std::string::npos) << msg;
      } else {
        EXPECT_EQ(msg, "");
      }
    }
  }
  EXPECT_EQ(talva::test::read_file(dir.file("cal.md_dat")), "md table\n");
}

TEST(OutputNames, TrailingSlashesNameTheSameFolder) {
  EXPECT_EQ(talva::without_trailing_slashes("x.ms/"), "x.ms");
  EXPECT_EQ(talva::without_trailing_slashes("d/y.uv//"), "d/y.uv");
  EXPECT_EQ(talva::without_trailing_slashes("/"), "/");
  EXPECT_EQ(talva::without_trailing_slashes("z.uv"), "z.uv");
}

TEST(OutputNames, OnlyAFolderWithTheMarksOfAnUnfinishedDatasetIsCalledARemnant) {
  TempDir dir;
  auto folder = [&](const std::string& name, const std::vector<std::string>& files) {
    fs::create_directory(dir.path() / name);
    for (const auto& f : files) write_file(dir.file(name + "/" + f), "");
    return dir.file(name);
  };
  struct Case {
    std::string path;
    bool remnant;  // named the remnant of an interrupted run, rm -r proposed
    bool dataset;  // a complete dataset: rm -r proposed as before
  };
  const std::vector<Case> cases{
      {folder("cut.uv", {"visdata"}), true, false},
      {folder("cut2.uv", {"visdata", "history", ".vartable.tmp-AbCdEfGhIjKl"}), true, false},
      {folder("home", {".bashrc", "notes.txt"}), false, false},
      {folder("empty", {}), false, false},
      {folder("mixed.uv", {"visdata", "thesis.tex"}), false, false},
      {folder("done.uv", {"header", "visdata"}), false, true},
      {dir.path().string(), false, false},
      {"/tmp", false, false},
      {".", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string msg = stop_message([&] { talva::miriad::uvcheck_new(c.path, "uvfile"); });
    ASSERT_NE(msg, "");
    EXPECT_EQ(msg.find("remnant") != std::string::npos, c.remnant) << msg;
    EXPECT_EQ(msg.find("rm -r") != std::string::npos, c.remnant || c.dataset) << msg;
    if (!c.remnant && !c.dataset) {
      EXPECT_NE(msg.find("Give another name in uvfile="), std::string::npos) << msg;
    }
  }
}

}  // namespace

namespace {

// Every program refuses, before any work, an output named as one of its
// inputs, and leaves the input as it was.
TEST(OutputNames, EveryProgramRefusesToWriteOverItsOwnInput) {
  TempDir dir;
  const auto sim = talva::test::run("talvasim", {"archive=obs.arc", "layout=lay", "ndumps=2", "gainsout=g.gains"},
                                    dir.path().string());
  ASSERT_EQ(sim.status, 0) << sim.out << sim.err;
  write_file(dir.file("cal.md_dat"), "0 1\n90 1\n");
  fs::copy_file(dir.file("obs.arc"), dir.file("scope.png"));
  fs::copy_file(dir.file("lay"), dir.file("talva2vis3.dbg"));
  fs::copy_file(dir.file("lay"), dir.file("talva2vis.dbg"));
  fs::copy_file(dir.file("lay"), dir.file("phasesolve.log"));
  struct Case {
    std::string program;
    std::vector<std::string> args;
    std::string input;  // the file named as an output
  };
  const std::vector<Case> cases{
      {"gainsolve", {"infile=obs.arc", "corlfile=lay", "gnsfile=obs.arc"}, "obs.arc"},
      {"gainsolve",
       {"infile=obs.arc", "corlfile=lay", "gnsfile=cal.gains", "mdcorr=t", "mdfile=cal.md_dat"},
       "cal.md_dat"},
      {"gainsolve",
       {"infile=obs.arc", "corlfile=./lay", "gnsfile=../" + dir.path().filename().string() + "/lay"},
       "lay"},
      {"talva2vis3",
       {"infile=obs.arc", "corlfile=talva2vis3.dbg", "gnsfile=g.gains", "uvfile=x.uv", "dbgplt=t", "device=/null"},
       "talva2vis3.dbg"},
      {"talva2vis3",
       {"infile=obs.arc", "corlfile=lay", "gnstable=talva2vis3.dbg", "uvfile=x.uv", "dbgplt=t", "device=/null"},
       "talva2vis3.dbg"},
      {"talva2vis",
       {"infile=obs.arc", "corlfile=lay", "gnstable=talva2vis.dbg", "uvfile=x.uv", "dbgplt=t", "device=/null"},
       "talva2vis.dbg"},
      {"phasesolve", {"infile=obs.arc", "corlfile=phasesolve.log", "device=/null"}, "phasesolve.log"},
      {"dumpscope", {"infile=scope.png", "corrfile=lay", "oneshot=t", "device=scope.png/png"}, "scope.png"},
      {"talvasim", {"archive=new.arc", "layout=new.lay", "gains=g.gains", "gainsout=g.gains"}, "g.gains"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program + " " + c.args.back());
    const auto before = talva::test::read_bytes(dir.file(c.input));
    const auto r = talva::test::run(c.program, c.args, dir.path().string());
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find("is the input"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(talva::test::read_bytes(dir.file(c.input)), before);
    EXPECT_FALSE(fs::exists(dir.file("x.uv")));
  }
}

}  // namespace
