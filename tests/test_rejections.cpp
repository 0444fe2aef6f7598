// Rejection lists: file loading, capacities and membership.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "array/rejections.h"
#include "support/testsupport.h"
#include "util/stop.h"

using talva::array::load_antreject_;
using talva::array::load_badants_;
using talva::array::load_badbslns_;
using talva::array::load_rejects_;
using talva::array::reject_;
using talva::array::rejected_ant_;
using talva::array::rejected_bsln_;
using talva::array::RejectionList;
using talva::array::talva_antenna_rejections_t;
using talva::array::talva_bsln_rejections_t;

namespace tt = talva::test;

namespace {

std::string numbers(int first, int count) {
  std::string text;
  for (int k = 0; k < count; ++k) text += std::to_string(first + k) + "\n";
  return text;
}

}  // namespace

TEST(CountedList, CountIsPrintedThenEntriesCounted) {
  tt::TempDir dir;
  const std::string path = dir.file("rejects.txt");
  std::vector<std::int32_t> list(5000, -1);
  std::int32_t n = -1;

  tt::write_file(path, "3\n5\n17 99\n\n230\n");
  auto [out, msg] = tt::run_recorded([&](talva::Output& o) { load_rejects_(path, n, list, o); });
  EXPECT_EQ(msg, "");
  EXPECT_EQ(out, " # rejects :     3\n    3 rejects found\n");
  EXPECT_EQ(n, 3);
  EXPECT_TRUE(reject_(n, list, 17));
  EXPECT_TRUE(reject_(n, list, 230));
  EXPECT_FALSE(reject_(n, list, 18));
  EXPECT_FALSE(reject_(n, list, 99));  // only the first value of a line is an entry

  // a wrong count is reported; the entries count
  tt::write_file(path, "10\n4\n8\n");
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_rejects_(path, n, list, o); });
  EXPECT_EQ(out,
            " # rejects :    10\n    2 rejects found\n Warning: " + path + ": the count says 10, the list holds 2\n");
  EXPECT_EQ(n, 2);
  // reloading replaces the list: an old entry past the new count is not consulted
  EXPECT_FALSE(reject_(n, list, 230));
  EXPECT_EQ(list[2], 230);

  tt::write_file(path, "0\n");
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_rejects_(path, n, list, o); });
  EXPECT_EQ(out, " # rejects :     0\n    0 rejects found\n");
  EXPECT_EQ(n, 0);
  EXPECT_FALSE(reject_(0, list, 4));
  EXPECT_FALSE(reject_(-2, list, 4));
}

TEST(CountedList, BlankNameIsAnEmptyList) {
  std::vector<std::int32_t> list(10, 7);
  std::int32_t n = 5;
  auto [out, msg] = tt::run_recorded([&](talva::Output& o) { load_rejects_(std::string(128, ' '), n, list, o); });
  EXPECT_EQ(n, 0);
  EXPECT_EQ(msg, "");
  talva_bsln_rejections_t bad;
  bad.count = 3;
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { bad = load_badbslns_("", o); });
  EXPECT_EQ(msg, "");
  EXPECT_EQ(bad.count, 0);
  EXPECT_FALSE(rejected_bsln_(bad, 0));
}

TEST(CountedList, MalformedFilesNameFileAndLine) {
  tt::TempDir dir;
  const std::string path = dir.file("bad.txt");
  std::vector<std::int32_t> list(100);
  std::int32_t n = 0;
  tt::write_file(path, "2\n5\nx7\n");
  auto [out, msg] = tt::run_recorded([&](talva::Output& o) { load_rejects_(path, n, list, o); });
  EXPECT_EQ(msg.rfind(path + ", line 3: ", 0), 0u) << msg;
  tt::write_file(path, "\n\n");
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_rejects_(path, n, list, o); });
  EXPECT_EQ(msg.rfind(path + ": ", 0), 0u) << msg;
  EXPECT_NE(msg.find("count"), std::string::npos) << msg;
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_rejects_(dir.file("nothere"), n, list, o); });
  EXPECT_NE(msg.find(dir.file("nothere")), std::string::npos) << msg;
}

TEST(CountedList, CapacitiesAreChecked) {
  tt::TempDir dir;
  const std::string path = dir.file("many.txt");
  tt::write_file(path, "2000\n" + numbers(1, 2000));
  talva_bsln_rejections_t bad;
  auto [out, msg] = tt::run_recorded([&](talva::Output& o) { bad = load_badbslns_(path, o); });
  EXPECT_EQ(msg, "");
  EXPECT_EQ(bad.count, 2000);
  EXPECT_TRUE(rejected_bsln_(bad, 2000));
  EXPECT_FALSE(rejected_bsln_(bad, 2001));

  tt::write_file(path, "2001\n" + numbers(1, 2001));
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { (void)load_badbslns_(path, o); });
  EXPECT_EQ(msg, " No of rejected baselines exceeds code limit");

  // a caller's list: its own size is the capacity, never written past
  std::vector<std::int32_t> storage(6, -9);
  std::int32_t n = 0;
  tt::write_file(path, "5\n" + numbers(10, 5));
  std::tie(out, msg) =
      tt::run_recorded([&](talva::Output& o) { load_rejects_(path, n, std::span(storage).first(5), o); });
  EXPECT_EQ(msg, "");
  EXPECT_EQ(n, 5);
  tt::write_file(path, "6\n" + numbers(10, 6));
  std::tie(out, msg) =
      tt::run_recorded([&](talva::Output& o) { load_rejects_(path, n, std::span(storage).first(5), o); });
  EXPECT_EQ(msg.rfind(path + ", line 7: ", 0), 0u) << msg;
  EXPECT_EQ(storage[5], -9);
}

TEST(AntennaList, PlainListsAndBlankNames) {
  tt::TempDir dir;
  const std::string path = dir.file("ants.txt");
  tt::write_file(path, "7 8\n\n12\n 96\n");
  std::vector<std::int32_t> list(5000, 0);
  std::int32_t n = -1;
  auto [out, msg] = tt::run_recorded([&](talva::Output& o) { load_antreject_(path + "   ", n, list, o); });
  EXPECT_EQ(out, "Open " + path + "\n");
  EXPECT_EQ(n, 3);
  EXPECT_TRUE(reject_(n, list, 7));
  EXPECT_FALSE(reject_(n, list, 8));
  EXPECT_TRUE(reject_(n, list, 96));

  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_antreject_(std::string(128, ' '), n, list, o); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(n, 0);

  talva_antenna_rejections_t bad;
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { bad = load_badants_(path, o); });
  EXPECT_EQ(out, " Loading bad ants from " + path + "\nOpen " + path + "\n");
  EXPECT_EQ(bad.count, 3);
  EXPECT_TRUE(rejected_ant_(bad, 12));
  EXPECT_FALSE(rejected_ant_(bad, 13));

  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { bad = load_badants_(std::string(128, ' '), o); });
  EXPECT_EQ(out, " Loading bad ants from\n") << "no trailing blanks";
  EXPECT_EQ(bad.count, 0);
  EXPECT_FALSE(rejected_ant_(bad, 12));
}

TEST(AntennaList, CapacityAndErrors) {
  tt::TempDir dir;
  const std::string path = dir.file("ants.txt");
  tt::write_file(path, numbers(1, 100));
  talva_antenna_rejections_t bad;
  auto [out, msg] = tt::run_recorded([&](talva::Output& o) { bad = load_badants_(path, o); });
  EXPECT_EQ(msg, "");
  EXPECT_EQ(bad.count, 100);
  tt::write_file(path, numbers(1, 101));
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { (void)load_badants_(path, o); });
  EXPECT_NE(msg.find("exceeds"), std::string::npos) << msg;
  tt::write_file(path, "3\nabc\n");
  std::int32_t n = 0;
  std::vector<std::int32_t> list(10);
  std::tie(out, msg) = tt::run_recorded([&](talva::Output& o) { load_antreject_(path, n, list, o); });
  EXPECT_EQ(msg.rfind(path + ", line 2: ", 0), 0u) << msg;
}

// The one list type: what a loader read, never the rest of its capacity.
TEST(RejectionList, HoldsWhatTheLoaderReadAndNothingOfTheRest) {
  tt::TempDir dir;
  const std::string path = dir.file("r.txt");
  tt::write_file(path, "3\n4\n0\n9\n");
  RejectionList list = RejectionList::with_capacity(10);
  (void)tt::run_recorded([&](talva::Output& o) { load_rejects_(path, list.count, list.entries, o); });
  EXPECT_EQ(list.used().size(), 3u);
  EXPECT_EQ(std::vector<std::int32_t>(list.used().begin(), list.used().end()), (std::vector<std::int32_t>{4, 0, 9}));
  EXPECT_TRUE(list.contains(0));
  EXPECT_TRUE(list.contains(9));
  EXPECT_FALSE(list.contains(5));
  list.count = -1;  // a count never set
  EXPECT_TRUE(list.used().empty());
  EXPECT_FALSE(list.contains(4));
  EXPECT_TRUE(RejectionList{}.used().empty());
}
