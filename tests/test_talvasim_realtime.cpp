// The simulator at a correlator's pace against the waiting reader: the
// archive written in pieces is the batch archive byte for byte, and a reader
// following it while it grows gets every dump whole, none lost or twice.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "realtime.h"
#include "simulate.h"
#include "support/testsupport.h"
#include "util/output.h"

using talva::archive::ArchiveOptions;
using talva::archive::ArchiveReader;

using talva::test::read_bytes;
using talva::test::TempDir;

namespace {

talva::talvasim::Settings settings(const TempDir& dir, const std::string& archive, int ndumps) {
  talva::talvasim::Settings s;
  s.archive = dir.file(archive);
  s.layout = dir.file(archive + ".layout");
  s.ndumps = ndumps;
  s.noise = 0.1;
  s.talvatags = 3;  // dumps without a header block too
  s.hdrlen = 90;    // and blocks that leave the correlations off a 4-byte boundary
  return s;
}

// Every dump of `path` read with rt = 0, correlations as the reader hands them.
std::vector<std::vector<float>> batch_dumps(const std::string& path) {
  talva::StringOutput out;
  ArchiveReader r(path, out);
  std::vector<std::vector<float>> dumps;
  while (const auto dump = r.next()) dumps.emplace_back(dump->vis.begin(), dump->vis.end());
  return dumps;
}

TEST(TalvasimRealtime, PiecesAddUpToTheBatchArchive) {
  TempDir dir;
  auto s = settings(dir, "batch.dat", 7);
  s.dt = 0.0;  // no pacing: as fast as the pieces go
  talva::talvasim::simulate(s);
  auto r = settings(dir, "live.dat", 7);
  r.dt = 0.0;
  talva::talvasim::simulate_realtime(r, {1.0, 50});
  EXPECT_EQ(read_bytes(s.archive), read_bytes(r.archive));
  EXPECT_EQ(read_bytes(s.layout), read_bytes(r.layout));
  // the scratch folder is gone
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) EXPECT_TRUE(e.is_regular_file()) << e.path();
}

TEST(TalvasimRealtime, AWaitingReaderFollowsTheGrowingArchiveExactly) {
  TempDir dir;
  auto s = settings(dir, "batch.dat", 12);
  s.dt = 0.4;  // 12 dumps at 4 x: 1.2 s, each in up to 7 pieces
  talva::talvasim::simulate(s);
  const auto expected = batch_dumps(s.archive);
  auto r = settings(dir, "live.dat", 12);
  r.dt = 0.4;
  std::thread writer([&] { talva::talvasim::simulate_realtime(r, {4.0, 7}); });

  // the reader starts as soon as the archive exists and waits for its file header
  for (int tries = 0; !std::filesystem::exists(r.archive); ++tries) {
    ASSERT_LT(tries, 1200) << "no archive";
    usleep(50000);
  }
  talva::StringOutput out;
  ArchiveOptions options;
  options.wait = true;
  ArchiveReader reader(r.archive, out, options);
  for (std::size_t n = 0; n < expected.size(); ++n) {
    const auto dump = reader.next();
    ASSERT_TRUE(dump.has_value()) << "dump " << n + 1;
    ASSERT_EQ(std::vector<float>(dump->vis.begin(), dump->vis.end()), expected[n]) << "dump " << n + 1;
  }
  writer.join();
  EXPECT_EQ(reader.offset(), static_cast<long long>(std::filesystem::file_size(r.archive)));  // nothing after the last
  EXPECT_EQ(reader.dumps_read(), 12);
}

TEST(TalvasimRealtime, RefusedSettingsNameTheKeyword) {
  TempDir dir;
  const auto s = settings(dir, "x.dat", 2);
  struct Case {
    talva::talvasim::Realtime rt;
    const char* message;
  } cases[] = {{{0.0, 4}, "speed"}, {{-1.0, 4}, "speed"}, {{1.0, 0}, "pieces"}, {{1.0, 1001}, "pieces"}};
  for (const auto& c : cases) {
    try {
      talva::talvasim::simulate_realtime(s, c.rt);
      ADD_FAILURE() << c.message << " accepted";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_FALSE(std::filesystem::exists(s.archive));
}

}  // namespace
