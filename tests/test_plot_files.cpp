// Plot page sets: which names belong to a plot, and a later plot replacing
// an earlier one as a whole set (its extra pages removed in the same step).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/testsupport.h"
#include "util/plot_file.h"

using talva::test::read_file;
using talva::test::TempDir;
using talva::test::write_file;
namespace fs = std::filesystem;

TEST(PlotPages, NamesOfOnePlot) {
  struct Row {
    const char* file;
    bool page;
  };
  const Row rows[] = {
      {"uv.png", true},        {"uv_0000.png", true},   {"uv_0042.png", true}, {"uv_12345.png", true},
      {"uv_000.png", false},   {"uv_00a1.png", false},  {"uv_0001.ps", false}, {"uv.png.txt", false},
      {"uvx_0001.png", false}, {"xuv_0001.png", false}, {"uv0001.png", false}, {"uv_.png", false},
      {"uv_0001.png~", false}, {"UV_0001.png", false},
  };
  for (const auto& r : rows) EXPECT_EQ(talva::plot_page_of(r.file, "uv.png"), r.page) << r.file;
  EXPECT_FALSE(talva::plot_page_of("giza_0001", "giza"));  // no extension: only the name itself
  EXPECT_TRUE(talva::plot_page_of("giza", "giza"));
}

namespace {
// The end of a complete PNG file.
const std::string kPngEnd("\0\0\0\0IEND\xAE\x42\x60\x82", 12);

// Writes `names` into the directory the plot library would write to.
void draw_pages(const talva::PlotFiles& files, const std::vector<std::string>& names, const std::string& text) {
  const std::string dev = files.device();
  const std::string dir = dev.substr(0, dev.rfind('/', dev.rfind('/') - 1));
  for (const auto& n : names) write_file(dir + "/" + n, text + kPngEnd);
}
}  // namespace

TEST(PlotPages, ALaterPlotReplacesTheWholeSet) {
  TempDir dir;
  // an earlier run of five pages, one of a single page, and files of other names
  for (const char* n : {"p_0000.png", "p_0001.png", "p_0002.png", "p_0003.png", "p_0004.png", "p.png"})
    write_file(dir.file(n), "old" + kPngEnd);
  for (const char* n : {"p_x.png", "q_0001.png", "p.png.txt", "p_0001.ps"}) write_file(dir.file(n), "other");
  fs::create_directory(dir.file("p_0009.png"));  // not a regular file: left alone

  {
    std::string problem;
    talva::PlotFiles files(dir.file("p.png") + "/png", problem);
    ASSERT_EQ(problem, "");
    draw_pages(files, {"p_0000.png", "p_0001.png"}, "new");
    ASSERT_TRUE(files.publish(problem)) << problem;
  }  // its private directory goes with it

  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir.path())) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"p.png.txt", "p_0000.png", "p_0001.png", "p_0001.ps", "p_0009.png",
                                            "p_x.png", "q_0001.png"}));
  EXPECT_EQ(read_file(dir.file("p_0000.png")), "new" + kPngEnd);
  EXPECT_EQ(read_file(dir.file("p_0001.png")), "new" + kPngEnd);
  EXPECT_EQ(read_file(dir.file("q_0001.png")), "other");
}

TEST(PlotPages, AnIncompletePageKeepsTheEarlierSet) {
  TempDir dir;
  for (const char* n : {"p_0000.png", "p_0001.png", "p_0002.png"}) write_file(dir.file(n), "old" + kPngEnd);
  std::string problem;
  talva::PlotFiles files(dir.file("p.png") + "/png", problem);
  draw_pages(files, {"p_0000.png"}, "new");
  const std::string dev = files.device();
  write_file(dev.substr(0, dev.rfind('/', dev.rfind('/') - 1)) + "/p_0001.png", "cut short");
  EXPECT_FALSE(files.publish(problem));
  EXPECT_NE(problem.find("p_0001.png was not written completely"), std::string::npos) << problem;
  for (const char* n : {"p_0000.png", "p_0001.png", "p_0002.png"}) EXPECT_EQ(read_file(dir.file(n)), "old" + kPngEnd);
}
