// The outputs of a converter run appear together or not at all: the uv
// dataset, the MeasurementSet, the debug table and the plot are fed the same
// records through a SinkList; a failure of any of them, at any step (a
// record, the closing writes, the publishing, a file that reaches the end of
// its disk), leaves no new output at a final name, every earlier output as
// it was, and no temporary. The full disk is a file-size limit
// (RLIMIT_FSIZE, with SIGXFSZ ignored): every write past it fails with EFBIG
// the way a full disk fails with ENOSPC.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/debug_table.h"
#include "convert/ms_output.h"
#include "convert/plot.h"
#include "convert/record.h"
#include "convert/uv_output.h"
#include "miriad/uvread.h"
#include "msio/ms_reader.h"
#include "support/testsupport.h"
#include "util/output.h"
#include "util/stop.h"

using namespace talva::convert;

// Leaks of the libraries under the outputs, not of this code: the font
// configuration the plot library loads once and keeps, and a bucket the
// table system's storage manager drops when a write to a full disk fails.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:SSMBase::getNewBucket\n"; }

namespace {

namespace fs = std::filesystem;
using talva::test::read_file;
using talva::test::TempDir;
using talva::test::write_file;

constexpr double kJd = 2453979.5;
constexpr int kPerDump = 88;  // orvex: one record per spacing

enum class Step { None, Record, EndRun, Publish };

/// A sink that stops the run at one step (the 100th record, the closing
/// writes or its publishing).
class FailingSink final : public RecordSink {
 public:
  explicit FailingSink(Step at) : at_(at) {}
  void record(const UvRecord&) override {
    if (at_ == Step::Record && ++seen_ == 100) talva::stop("the sink failed at a record");
  }
  void end_run() override {
    if (at_ == Step::EndRun) talva::stop("the sink failed closing");
  }
  void publish() override {
    if (at_ == Step::Publish) talva::stop("the sink failed publishing");
  }

 private:
  Step at_;
  int seen_ = 0;
};

/// Runs in a directory of its own (the debug table is written in the
/// current one) and restores the earlier one.
class InDirectory {
 public:
  explicit InDirectory(const fs::path& dir) : before_(fs::current_path()) { fs::current_path(dir); }
  ~InDirectory() { fs::current_path(before_); }

 private:
  fs::path before_;
};

/// Limits every file the process writes to `bytes` while it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &before_);
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = before_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &before_);
    std::signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit before_{};
  void (*old_handler_)(int) = nullptr;
};

class Publish : public ::testing::Test {
 protected:
  void SetUp() override {
    layout_.imode = kOrvex;
    setup_.layout = &layout_;
    setup_.ra = 1.0;
    setup_.dec = -0.8;
    setup_.sfreq = 0.843;
    setup_.sdf = 0.003;
    setup_.nants = 92;
    setup_.latitude = -0.617;
    setup_.longitude = 2.6;
    setup_.positions = std::vector<double>(92, 0.0);
    // Earlier outputs of the same names, which a failed run leaves alone.
    write_file(dir_.file("talva2vis3.dbg"), "the earlier table\n");
    write_file(dir_.file("uv.png"), "the earlier plot\n");
  }

  /// One run of `dumps` dumps into every output plus `extra` (publish_first:
  /// it is published before the MeasurementSet).
  void run(int dumps, RecordSink* extra = nullptr, bool extra_first = false) {
    InDirectory here(dir_.path());
    talva::StringOutput out;
    UvDatasetSink dataset("run.uv", false);
    MsSink ms("run.ms", 11.0, "talva2vis3");
    UvPlotSink plot("uv.png/png", {}, out);
    DebugTableSink debug(Flavour::Current, 45, true);
    SinkList sinks;
    if (extra && extra_first) sinks.add(*extra, true);
    sinks.add(ms, true);
    sinks.add(dataset);
    sinks.add(plot);
    sinks.add(debug);
    if (extra && !extra_first) sinks.add(*extra);
    PublishGuard publishing(sinks, out);
    sinks.begin_run(setup_);
    for (int d = 0; d < dumps; ++d) {
      for (int s = 1; s <= kPerDump; ++s) {
        const int a = std::max(1, s - 44), b = s - a + 48;
        UvRecord r =
            UvRecord::make(10.0 * s, 0.5 * d, kJd + d / 86400.0, {a, b}, {1.0f, 0.1f * static_cast<float>(s)}, s);
        sinks.record(r.geometry(0.01f * static_cast<float>(d), 10.0 * s, true));
      }
      sinks.end_dump();
    }
    sinks.end_run();
    publishing.publish();
  }

  /// Nothing new at a final name, the earlier files as they were, no temporary.
  void expect_nothing_published() {
    EXPECT_FALSE(fs::exists(dir_.file("run.uv")));
    EXPECT_FALSE(fs::exists(dir_.file("run.ms")));
    EXPECT_EQ(read_file(dir_.file("talva2vis3.dbg")), "the earlier table\n");
    EXPECT_EQ(read_file(dir_.file("uv.png")), "the earlier plot\n");
    for (const auto& e : fs::directory_iterator(dir_.path()))
      EXPECT_NE(e.path().filename().string()[0], '.') << "left behind: " << e.path();
  }

  TempDir dir_;
  ModeLayout layout_;
  RunSetup setup_;
};

TEST_F(Publish, EveryOutputAppearsWhenTheRunSucceeds) {
  run(3);
  talva::miriad::UvReader uv(dir_.file("run.uv"));
  talva::miriad::UvRecord rec;
  int n = 0;
  while (uv.read(rec)) ++n;
  EXPECT_EQ(n, 3 * kPerDump);
  EXPECT_EQ(talva::msio::read_ms(dir_.file("run.ms")).rows, 3u * kPerDump);
  EXPECT_EQ(talva::test::lines(read_file(dir_.file("talva2vis3.dbg"))).size(), 4u);  // heading + one per dump
  EXPECT_NE(read_file(dir_.file("uv.png")), "the earlier plot\n");
}

TEST_F(Publish, AFailureAtAnyStepOfAnyOutputPublishesNothing) {
  struct Case {
    const char* what;
    Step step;
    bool first;  // published before the MeasurementSet
  };
  for (const Case& c : {Case{"a record", Step::Record, false}, Case{"the closing writes", Step::EndRun, false},
                        Case{"publishing, first", Step::Publish, true}}) {
    SCOPED_TRACE(c.what);
    FailingSink failing(c.step);
    try {
      run(3, &failing, c.first);
      ADD_FAILURE() << "the run went through";
    } catch (const talva::Stop& e) {
      EXPECT_NE(std::string(e.what()).find("the sink failed"), std::string::npos) << e.what();
    }
    expect_nothing_published();
  }
}

TEST_F(Publish, AFullDiskUnderAnyOutputPublishesNothingAndNeverTerminates) {
  // Limits that the dataset, the MeasurementSet's rows or its closing
  // writes reach first (the tables' descriptions, written as each table is
  // made, are a few KB: a set begins only with room for them).
  for (const rlim_t limit : {rlim_t{40000}, rlim_t{120000}, rlim_t{400000}}) {
    SCOPED_TRACE(limit);
    bool stopped = false;
    {
      const FileSizeLimit full(limit);
      try {
        run(240);
      } catch (const talva::Stop& e) {
        stopped = true;
      }
    }
    EXPECT_TRUE(stopped);
    expect_nothing_published();
  }
}

TEST_F(Publish, AnInterruptedRunKeepsTheWholeDumpsOfBothDatasetsAndSaysSo) {
  {
    InDirectory here(dir_.path());
    talva::StringOutput out;
    UvDatasetSink dataset("run.uv", false);
    MsSink ms("run.ms", 11.0, "talva2vis3");
    DebugTableSink debug(Flavour::Current, 45, true);
    SinkList sinks;
    sinks.add(ms, true);
    sinks.add(dataset);
    sinks.add(debug);
    sinks.begin_run(setup_);
    for (int d = 0; d < 2; ++d) {
      for (int s = 1; s <= kPerDump; ++s)
        sinks.record(UvRecord::make(s, d, kJd + d / 86400.0, {1, 50}, {1.0f, 0.0f}, s));
      sinks.end_dump();
    }
    sinks.interrupted("interrupted by SIGINT after dump 2");
    sinks.publish();
  }
  talva::miriad::UvReader uv(dir_.file("run.uv"));
  talva::miriad::UvRecord rec;
  int n = 0;
  while (uv.read(rec)) ++n;
  EXPECT_EQ(n, 2 * kPerDump);
  const auto history = uv.history();
  ASSERT_FALSE(history.empty());
  EXPECT_EQ(history.back(), "TALVA2VIS3: interrupted by SIGINT after dump 2");
  const talva::msio::Contents ms = talva::msio::read_ms(dir_.file("run.ms"));
  EXPECT_EQ(ms.rows, 2u * kPerDump);
  ASSERT_FALSE(ms.history_messages.empty());
  EXPECT_EQ(ms.history_messages.back(), "interrupted by SIGINT after dump 2");
  EXPECT_EQ(read_file(dir_.file("talva2vis3.dbg")), "the earlier table\n");
}

}  // namespace
