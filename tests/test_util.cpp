// Fortran-style formatting, the strict text-input helpers, the background
// flush of large outputs and the sync of many files at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <tuple>
#include <vector>

#include "support/testsupport.h"
#include "util/background_sync.h"
#include "util/fmt.h"
#include "util/plotdev.h"
#include "util/stop.h"
#include "util/sync_all.h"
#include "util/textin.h"

using namespace talva;

TEST(Format, IntegerAndFixedFields) {
  EXPECT_EQ(fmt_i(289, 6), "   289");
  EXPECT_EQ(fmt_i(-5, 2), "-5");
  EXPECT_EQ(fmt_i(100000, 5), "*****");
  EXPECT_EQ(fmt_f(6.0, 10, 4), "    6.0000");
  EXPECT_EQ(fmt_f(-0.5, 4, 2), "-.50");
  EXPECT_EQ(fmt_f(-0.5, 5, 2), "-0.50");
  EXPECT_EQ(fmt_f(123456.0, 5, 1), "*****");
}

TEST(Format, ListDirectedLine) {
  ListLine l;
  l << "RES0=" << 0.5f;
  EXPECT_EQ(l.str(), " RES0= 0.5");
  ListLine m;
  m << 3 << std::complex<float>(0.5f, -0.25f) << "x";
  EXPECT_EQ(m.str(), " 3 (0.5,-0.25)x");
  // single precision values print so that they read back exactly
  float v = 0.1f;
  float back = 0;
  ASSERT_TRUE(parse_real32(list_real(v), back));
  EXPECT_EQ(v, back);
}

TEST(TextInput, StrictNumbers) {
  std::int32_t i = 0;
  EXPECT_TRUE(parse_int32("010", i));
  EXPECT_EQ(i, 10);
  EXPECT_FALSE(parse_int32("12abc", i));
  EXPECT_FALSE(parse_int32("3.9", i));
  EXPECT_FALSE(parse_int32("", i));
  float f = 0;
  EXPECT_TRUE(parse_real32("1.5D2", f));
  EXPECT_EQ(f, 150.0f);
  EXPECT_TRUE(parse_real32("3.", f));
  EXPECT_FALSE(parse_real32("1.5abc", f));
  EXPECT_FALSE(parse_real32("nan", f));
}

TEST(TextInput, ValuesOfALineAndErrorsNameFileAndLine) {
  test::TempDir dir;
  std::string path = dir.file("list.txt");
  test::write_file(path, "3 1\n  5,17 rest\n(0.5,0.25) x\n");
  TextInput in(path, "test");
  std::string line;
  ASSERT_TRUE(in.next_line(line));
  FreeFormat a(line, &in);
  EXPECT_EQ(a.integer("a"), 3);
  EXPECT_EQ(a.integer("b"), 1);
  EXPECT_TRUE(a.at_end());
  ASSERT_TRUE(in.next_line(line));
  FreeFormat b(line, &in);
  EXPECT_EQ(b.integer("a"), 5);
  EXPECT_EQ(b.integer("b"), 17);
  ASSERT_TRUE(in.next_line(line));
  FreeFormat c(line, &in);
  EXPECT_EQ(c.complex32("gain"), std::complex<float>(0.5f, 0.25f));
  try {
    c.integer("antenna");
    FAIL() << "expected a stop";
  } catch (const Stop& s) {
    EXPECT_EQ(s.message(), path + ", line 3: expected an integer (antenna), found 'x'");
  }
  EXPECT_FALSE(in.next_line(line));
}

// An editor's UTF-8 byte-order mark before the first line is no part of the
// first value; elsewhere it stays (and is refused as any other text would be).
TEST(TextInput, ByteOrderMarkBeforeTheFirstLineIsSkipped) {
  test::TempDir dir;
  const std::string path = dir.file("bom.txt");
  test::write_file(path,
                   "\xEF\xBB\xBF"
                   "3 1\n\xEF\xBB\xBF"
                   "4\n");
  TextInput in(path, "test");
  std::string line;
  ASSERT_TRUE(in.next_line(line));
  EXPECT_EQ(line, "3 1");
  ASSERT_TRUE(in.next_line(line));
  EXPECT_EQ(line,
            "\xEF\xBB\xBF"
            "4");
  for (const auto& [text, stripped, rest] :
       std::vector<std::tuple<std::string, bool, std::string>>{{"\xEF\xBB\xBFvis=x", true, "vis=x"},
                                                               {"vis=x", false, "vis=x"},
                                                               {"\xEF\xBB", false, "\xEF\xBB"},
                                                               {"", false, ""}}) {
    std::string t = text;
    EXPECT_EQ(strip_byte_order_mark(t), stripped);
    EXPECT_EQ(t, rest);
  }
}

TEST(TextInput, MissingFileStopsWithItsName) {
  try {
    TextInput in("/nonexistent/file.txt", "layout");
    FAIL();
  } catch (const Stop& s) {
    EXPECT_NE(s.message().find("layout file /nonexistent/file.txt"), std::string::npos);
    EXPECT_NE(s.status(), 0);
  }
}

// A flush that fails in the background is reported by finish(): the kernel
// would not report it again to the closing fsync. A pipe cannot be synced.
TEST(BackgroundSync, KeepsTheErrorOfAFailedFlush) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  {
    BackgroundSync none(p[1], 4);
    none.written(3);  // below the threshold: no flush, no thread
    EXPECT_EQ(none.finish(), 0);
  }
  BackgroundSync sync(p[1], 4);
  sync.written(4);
  EXPECT_EQ(sync.finish(), EINVAL);
  EXPECT_EQ(sync.finish(), EINVAL);
  ::close(p[0]);
  ::close(p[1]);
}

TEST(PlotDevice, DisplayDevicesWithoutADisplayFallBackWithOneWarning) {
  struct Case {
    const char* device;
    const char* display;
    bool warns;
  };
  const Case cases[] = {
      {"/xs", nullptr, true},      {"/XW", "", true},         {"/xwindow", nullptr, true},
      {"/xserve ", nullptr, true}, {"/xs", ":0", false},      {"uv.png/png", nullptr, false},
      {"/null", nullptr, false},   {"plot.ps/ps", "", false}, {"xs", nullptr, false},
  };
  for (const Case& c : cases) {
    const std::string warning = talva::no_display_warning(c.device, c.display);
    EXPECT_EQ(!warning.empty(), c.warns) << c.device;
    if (c.warns) {
      EXPECT_NE(warning.find("device=NAME.png/png"), std::string::npos) << warning;
      EXPECT_EQ(warning.find('\n'), std::string::npos) << "one line";
    }
  }
  EXPECT_TRUE(talva::null_plot_device("/NULL"));
  EXPECT_FALSE(talva::null_plot_device("null.png/png"));
}

// Every descriptor is synced, whichever thread takes it: a failure among
// many is reported, wherever it stands, and none is reported for none.
TEST(SyncAll, ReportsAFailureAmongManyDescriptors) {
  talva::test::TempDir dir;
  std::vector<int> files;
  for (int k = 0; k < 20; ++k) {
    files.push_back(::open(dir.file("f" + std::to_string(k)).c_str(), O_WRONLY | O_CREAT, 0644));
    ASSERT_GE(files.back(), 0);
    ASSERT_EQ(::write(files.back(), "x", 1), 1);
  }
  int p[2];
  ASSERT_EQ(::pipe(p), 0);  // a pipe cannot be synced: EINVAL
  EXPECT_EQ(sync_all({}), 0);
  EXPECT_EQ(sync_all({files[0]}), 0);
  EXPECT_EQ(sync_all(files), 0);
  for (std::size_t at : {std::size_t{0}, std::size_t{7}, files.size()}) {
    std::vector<int> with = files;
    with.insert(with.begin() + static_cast<std::ptrdiff_t>(at), p[1]);
    EXPECT_EQ(sync_all(with), EINVAL) << "the pipe at " << at;
  }
  for (int fd : files) ::close(fd);
  ::close(p[0]);
  ::close(p[1]);
}
