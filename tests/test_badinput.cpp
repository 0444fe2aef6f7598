// Bad input from outside, driven through the real programs: damaged
// archives, broken text files and command lines. Every case checks the
// message, the exit status and which files are (not) written; each class
// of bad input is one row of the README's "Bad input" table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "miriad/uvread.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;
using talva::test::read_bytes;
using talva::test::read_file;
using talva::test::run;
using talva::test::RunResult;
using talva::test::TempDir;
using talva::test::write_file;

namespace {

constexpr int kDumps = 4;
constexpr int kClasses = 130;  // uv records per dump in the talva1a mode

void write_bytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void put_int32(std::vector<unsigned char>& b, std::size_t offset, std::int32_t value) {
  std::memcpy(&b[offset], &value, 4);  // the archive is little-endian, as is the host
}

std::int32_t get_int32(const std::vector<unsigned char>& b, std::size_t offset) {
  std::int32_t v = 0;
  std::memcpy(&v, &b[offset], 4);
  return v;
}

std::int64_t count_records(const std::string& dataset) {
  talva::miriad::UvReader uv(dataset);
  talva::miriad::UvRecord rec;
  while (uv.read(rec)) {
  }
  return uv.records_read();
}

// One simulated archive and its damaged copies, shared by every test.
class BadInput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared_ = std::make_unique<TempDir>();
    const RunResult sim = run("talvasim", {"archive=" + s("good.arc"), "layout=" + s("lay"), "ndumps=4", "noise=0.01",
                                           "gainsout=" + s("true.gains")});
    ASSERT_EQ(sim.status, 0) << sim.out << sim.err;
    const auto good = read_bytes(s("good.arc"));
    const std::int32_t nant = get_int32(good, 0), nbsln = get_int32(good, 4);
    const std::size_t first = 8 + 4 * static_cast<std::size_t>(nbsln);
    const std::size_t dump = 12 + 96 + 24 * static_cast<std::size_t>(nant) + 8 * static_cast<std::size_t>(nbsln);
    ASSERT_EQ(good.size(), first + kDumps * dump);

    write_bytes(s("short.arc"), {good.begin(), good.begin() + 6});
    write_bytes(s("cuttable.arc"), {good.begin(), good.begin() + static_cast<std::ptrdiff_t>(first - 4)});
    auto v = good;
    put_int32(v, 4, 5001);
    write_bytes(s("bignbsln.arc"), v);
    v = good;
    put_int32(v, 4, -1);
    write_bytes(s("negnbsln.arc"), v);
    v = good;
    put_int32(v, 0, 101);
    write_bytes(s("bignant.arc"), v);
    write_bytes(s("headeronly.arc"), {good.begin(), good.begin() + static_cast<std::ptrdiff_t>(first)});
    write_bytes(s("cutdump.arc"), {good.begin(), good.end() - 100});
    v = good;
    put_int32(v, first + 2 * dump + 8, 70000);  // dump 3's header length
    write_bytes(s("corrupt3.arc"), v);
    v = good;
    put_int32(v, first + 1 * dump + 8, 40);  // dump 2's header block too short to decode
    write_bytes(s("shorthdr2.arc"), v);
    // Dumps 2 and 4 with header blocks of 700 and 1000 bytes (zeros after the
    // 96 written), dump 3 tagged "TALVA" (no block) with a length field of 484.
    v.assign(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(first + dump));
    for (int d = 1; d < kDumps; ++d) {
      std::vector<unsigned char> one(good.begin() + static_cast<std::ptrdiff_t>(first + d * dump),
                                     good.begin() + static_cast<std::ptrdiff_t>(first + (d + 1) * dump));
      if (d == 2) {
        std::memcpy(one.data(), "TALVA\0\0\0", 8);
        put_int32(one, 8, 484);
        one.erase(one.begin() + 12, one.begin() + 12 + 96);
      } else {
        const int length = d == 1 ? 700 : 1000;
        put_int32(one, 8, length);
        one.insert(one.begin() + 12 + 96, static_cast<std::size_t>(length - 96), 0);
      }
      v.insert(v.end(), one.begin(), one.end());
    }
    write_bytes(s("longhdr.arc"), v);

    // Non-finite correlations: every word of dump 2; or one item each of
    // dumps 2 and 3 (pair 1-2 is table entry 1, item 2; pair 1-3 item 3).
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::size_t block = 12 + 96 + 24 * static_cast<std::size_t>(nant);  // to the correlations
    v = good;
    for (std::size_t k = 0; k < 2 * static_cast<std::size_t>(nbsln); ++k)
      std::memcpy(&v[first + dump + block + 4 * k], &nan, 4);
    write_bytes(s("nandump2.arc"), v);
    v = good;
    std::memcpy(&v[first + dump + block + 8], &nan, 4);
    std::memcpy(&v[first + 2 * dump + block + 16 + 4], &inf, 4);
    write_bytes(s("nanitems.arc"), v);
    // Dump 2's MD tilt sine (header bytes 56-59) 2.0 in the instrument's
    // float: mantissa 0.5, exponent 2.
    v = good;
    const unsigned char two[4] = {0x00, 0x00, 0x80, 0x02};
    std::memcpy(&v[first + dump + 12 + 56], two, 4);
    write_bytes(s("badmd2.arc"), v);
  }
  static void TearDownTestSuite() { shared_.reset(); }

  static std::string s(const std::string& name) { return shared_->file(name); }

  // A converter run on archive `arc` in the work directory.
  RunResult convert(const std::string& arc, const std::string& uv, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"infile=" + arc, "corlfile=" + s("lay"), "gnsfile=" + s("true.gains"), "uvfile=" + uv,
                                  "device=/null"};
    args.insert(args.end(), more.begin(), more.end());
    return run("talva2vis3", args, work_.path().string());
  }
  RunResult gainsolve(const std::string& arc, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"infile=" + arc, "corlfile=" + s("lay"), "gnsfile=" + w("g.gains")};
    args.insert(args.end(), more.begin(), more.end());
    return run("gainsolve", args, work_.path().string());
  }
  RunResult phasesolve(const std::string& arc, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"infile=" + arc, "corlfile=" + s("lay"), "device=/null"};
    args.insert(args.end(), more.begin(), more.end());
    return run("phasesolve", args, work_.path().string());
  }
  std::string w(const std::string& name) const { return work_.file(name); }
  // Every file the runs of a test left in the work directory.
  std::vector<std::string> written() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(work_.path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  static std::unique_ptr<TempDir> shared_;
  TempDir work_;
};
std::unique_ptr<TempDir> BadInput::shared_;

using Names = std::vector<std::string>;

// ---- archives ----------------------------------------------------------------

TEST_F(BadInput, ArchiveThatCannotBeOpenedOrHasNoWholeFileHeader) {
  struct Case {
    std::string arc;
    std::string message;  // the reader's own line before "failed to read the header"
  };
  fs::create_directory(w("adir"));
  const Case cases[] = {
      {s("short.arc"), ""},
      {s("cuttable.arc"), ""},
      {w("adir"), ""},
      {s("bignbsln.arc"),
       "read_header_: the archive gives 5001 correlation products; the product table holds 0 to 5000"},
      {s("negnbsln.arc"), "read_header_: the archive gives -1 correlation products"},
      {s("bignant.arc"), "read_header_: the archive gives 101 per-antenna records per dump; at most 100 are allowed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arc);
    for (const RunResult& r : {convert(c.arc, w("x.uv")), gainsolve(c.arc)}) {
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("failed to read the header\n"), std::string::npos) << r.out;
    }
    const RunResult d = run("dumpscope", {"infile=" + c.arc, "corrfile=" + s("lay"), "device=/null", "oneshot=t"},
                            work_.path().string());
    if (c.arc == s("bignbsln.arc")) {
      // The inspector's product table is larger: 5001 products misalign the
      // stream, and the reader refuses the first dump as corrupt.
      EXPECT_NE(d.out.find("read_dump_: dump 1 at byte offset"), std::string::npos) << d.out;
      EXPECT_NE(d.out.find(" no records stored: no statistics"), std::string::npos) << d.out;
    } else {
      EXPECT_EQ(d.status, 1);
      EXPECT_NE(d.out.find("failed to read the header"), std::string::npos) << d.out;
    }
    // No dataset and no calibration file; only the directory made above.
    EXPECT_EQ(written(), Names{"adir"});
  }
  const RunResult missing = convert(w("nothere.arc"), w("x.uv"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("failed to open : " + w("nothere.arc") + "\ninit failed\n"), std::string::npos);
  EXPECT_EQ(written(), Names{"adir"});
}

TEST_F(BadInput, PhasesolveWritesNoLogWhenTheArchiveFails) {
  const RunResult r = phasesolve(s("short.arc"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(written(), Names{});
}

TEST_F(BadInput, DamagedDumpEndsTheDataAndEarlierDumpsAreKept) {
  struct Case {
    std::string arc;
    int dumps;            // whole, sound dumps before the damage
    std::string message;  // printed where the damage is met
  };
  const Case cases[] = {
      {s("cutdump.arc"), 3, ""},
      {s("corrupt3.arc"), 2, "read_dump_: dump 3 at byte offset"},
      {s("shorthdr2.arc"), 1, "read_dump_: dump 2 at byte offset"},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arc);
    const std::string uv = w("d" + std::to_string(k++) + ".uv");
    const RunResult r = convert(c.arc, uv);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    if (!c.message.empty()) {
      EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("is corrupt"), std::string::npos);
    }
    EXPECT_NE(r.out.find(" np = " + std::string(c.dumps < 10 ? "       " : "      ") + std::to_string(c.dumps)),
              std::string::npos)
        << r.out;
    EXPECT_EQ(count_records(uv), c.dumps * kClasses);
    // The calibration programs average the same sound dumps.
    const RunResult g = gainsolve(c.arc);
    EXPECT_EQ(g.status, 0) << g.out;
    EXPECT_NE(g.out.find("records read " + std::to_string(c.dumps)), std::string::npos) << g.out;
  }
}

TEST_F(BadInput, LongHeaderBlocksAndTalvaTagLengthsLoseNoDump) {
  // Every dump is read; the long blocks are reported once per run.
  const RunResult r = convert(s("longhdr.arc"), w("l.uv"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(count_records(w("l.uv")), kDumps * kClasses);
  const std::string note = "read_dump_: dump 2 at byte offset ";
  ASSERT_NE(r.out.find(note), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("has a header block of 700 bytes; the first 400 are decoded and the rest skipped"),
            std::string::npos);
  EXPECT_EQ(r.out.find("read_dump_", r.out.find(note) + 1), std::string::npos) << r.out;
  const RunResult g = gainsolve(s("longhdr.arc"));
  EXPECT_EQ(g.status, 0) << g.out;
  EXPECT_NE(g.out.find("records read 4"), std::string::npos) << g.out;
}

TEST_F(BadInput, ArchiveWithoutDumpsInTheRange) {
  // A file header and no dump: the calibrators and the converter refuse,
  // writing nothing (an empty dataset is one other readers refuse).
  const RunResult g = gainsolve(s("headeronly.arc"));
  EXPECT_EQ(g.status, 1);
  EXPECT_NE(g.out.find("no dump in the record range"), std::string::npos) << g.out;
  const RunResult g2 = gainsolve(s("good.arc"), {"reclim=9,12"});
  EXPECT_EQ(g2.status, 1);
  EXPECT_EQ(written(), Names{});
  const RunResult p = phasesolve(s("good.arc"), {"reclim=5,-1"});
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(written(), Names{});

  const RunResult c = convert(s("headeronly.arc"), w("e.uv"));
  EXPECT_EQ(c.status, 1) << c.out;
  EXPECT_NE(c.out.find(s("headeronly.arc") + " holds no dump: no file written"), std::string::npos) << c.out;
  EXPECT_EQ(written(), Names{});
}

TEST_F(BadInput, NonFiniteCorrelationsNeverReachTheOutputs) {
  // Converter: a class average that is not finite is written as 0+0i and
  // flagged bad; the other dumps are untouched.
  ASSERT_EQ(convert(s("nandump2.arc"), w("n.uv")).status, 0);
  ASSERT_EQ(convert(s("good.arc"), w("g.uv")).status, 0);
  talva::miriad::UvReader bad(w("n.uv")), good(w("g.uv"));
  talva::miriad::UvRecord rb, rg;
  for (int k = 0; k < kDumps * kClasses; ++k) {
    ASSERT_TRUE(bad.read(rb));
    ASSERT_TRUE(good.read(rg));
    const bool in_dump2 = k / kClasses == 1;
    ASSERT_EQ(rb.data.size(), 1u);
    EXPECT_EQ(rb.flags[0], !in_dump2) << "record " << k + 1;
    EXPECT_EQ(rb.data[0], in_dump2 ? std::complex<float>{} : rg.data[0]) << "record " << k + 1;
  }
  EXPECT_FALSE(bad.read(rb));
  // The debug tables of mode orvex write such a value as 0 too.
  write_file(w("zero.ph"), "zero phases\n1 0\n");
  for (const std::string program : {"talva2vis3", "talva2vis"}) {
    const RunResult r = run(program,
                            {"infile=" + s("nandump2.arc"), "corlfile=" + s("lay"),
                             program == "talva2vis" ? "phasefil=" + w("zero.ph") : "gnsfile=" + s("true.gains"),
                             "uvfile=" + w(program + ".uv"), "skmode=orvex", "dbgplt=t", "blen=40", "device=/null"},
                            work_.path().string());
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string table = read_file(w(program + ".dbg"));
    EXPECT_GT(table.size(), 200u);
    EXPECT_EQ(table.find("NaN"), std::string::npos) << program;
  }

  // phasesolve: a non-finite item is left out of its pair's sum, so the
  // phases stay finite and close to those of the sound archive.
  ASSERT_EQ(phasesolve(s("good.arc")).status, 0);
  const auto sound = talva::test::lines(read_file(w("phasesolve.log")));
  ASSERT_EQ(phasesolve(s("nanitems.arc")).status, 0);
  const auto damaged = talva::test::lines(read_file(w("phasesolve.log")));
  ASSERT_EQ(damaged.size(), sound.size());
  for (std::size_t k = 1; k < damaged.size(); ++k) {
    SCOPED_TRACE(damaged[k]);
    const float a = std::stof(damaged[k].substr(4)), b = std::stof(sound[k].substr(4));
    EXPECT_TRUE(std::isfinite(a));
    EXPECT_NEAR(a, b, 2.0f);
  }
  // gainsolve: each product's mean is taken over its finite values, so the
  // gains stay finite and close to those of the sound archive.
  ASSERT_EQ(gainsolve(s("good.arc")).status, 0);
  const auto sound_gains = talva::test::lines(read_file(w("g.gains")));
  for (const char* arc : {"nandump2.arc", "nanitems.arc"}) {
    SCOPED_TRACE(arc);
    const RunResult g = gainsolve(s(arc));
    ASSERT_EQ(g.status, 0) << g.out;
    const auto gains = talva::test::lines(read_file(w("g.gains")));
    ASSERT_EQ(gains.size(), sound_gains.size());
    for (std::size_t k = 0; k < gains.size(); ++k) {
      SCOPED_TRACE(gains[k]);
      // "i (re,im) amplitude phase": the last two values
      std::istringstream damaged_line(gains[k]), sound_line(sound_gains[k]);
      std::string i, z;
      float amp = 0, phs = 0, amp0 = 0, phs0 = 0;
      damaged_line >> i >> z >> amp >> phs;
      sound_line >> i >> z >> amp0 >> phs0;
      EXPECT_TRUE(std::isfinite(amp) && std::isfinite(phs));
      EXPECT_NEAR(amp, amp0, 0.02f);
      EXPECT_NEAR(std::fmod(phs - phs0 + 540.0f, 360.0f) - 180.0f, 0.0f, 2.0f);  // across the +-180 cut
    }
  }
}

TEST_F(BadInput, DamagedMdTiltLeavesTheDumpOutOfTheMdCorrection) {
  // gainsolve: out of the MD averages; the converter: the dump is not written.
  write_file(w("md.tbl"), "0 1\n90 0.5\n");
  const std::string note = " 1 dumps with an MD tilt sine outside -1..1 (damaged header) left out";
  const RunResult g = gainsolve(s("badmd2.arc"), {"mdcorr=t", "mdfile=" + w("md.tbl")});
  ASSERT_EQ(g.status, 0) << g.out;
  EXPECT_NE(g.out.find(note + " of the MD averages\n"), std::string::npos) << g.out;
  std::istringstream md(read_file(w("g.md_dat")));
  float tilt = NAN, gain = NAN;
  md >> tilt >> gain;
  EXPECT_TRUE(std::isfinite(tilt) && std::isfinite(gain)) << read_file(w("g.md_dat"));
  const RunResult c = convert(s("badmd2.arc"), w("m.uv"), {"mdcorr=t", "mdfile=" + w("md.tbl")});
  ASSERT_EQ(c.status, 0) << c.out;
  EXPECT_NE(c.out.find(note + ": no MD gain\n"), std::string::npos) << c.out;
  EXPECT_EQ(count_records(w("m.uv")), (kDumps - 1) * kClasses);
}

// ---- text files --------------------------------------------------------------

TEST_F(BadInput, BrokenTextFilesStopNamingFileAndLine) {
  struct Case {
    const char* what;
    std::string content;
    std::vector<std::string> keywords;  // "{}" is replaced by the file's path
    std::string message;                // "{}" likewise
  };
  std::string many_lines;
  for (int k = 0; k < 4609; ++k) many_lines += "1 2\n";
  std::string many_rejects = "2001\n";
  for (int k = 0; k < 2001; ++k) many_rejects += std::to_string(k + 2) + "\n";
  const Case cases[] = {
      {"layout: not a number",
       "1 2\n3 x\n",
       {"corlfile={}"},
       "{}, line 2: expected an integer (second antenna number), found 'x'"},
      {"layout: one number", "1 2\n3\n", {"corlfile={}"}, "{}, line 2: "},
      {"layout: blank line", "1 2\n\n2 3\n", {"corlfile={}"}, "{}, line 2: blank line"},
      {"layout: antenna 97", "1 2\n97 1\n", {"corlfile={}"}, "{}, line 2: antenna number 97 outside 1..96"},
      {"layout: antenna 0", "0 1\n", {"corlfile={}"}, "{}, line 1: antenna number 0 outside 1..96"},
      {"layout: huge number", "1 99999999999\n", {"corlfile={}"}, "{}, line 1: "},
      {"layout: binary", std::string("\x01\x00\xff\x10 2\n", 7), {"corlfile={}"}, "{}, line 1: "},
      {"layout: over 4608 lines", many_lines, {"corlfile={}"}, " ** Invalid FPGA index :      17  product :   4610"},
      {"gains: real instead of complex",
       "1 (1,0)\n2 1.0\n",
       {"gnsfile={}"},
       "{}, line 2: expected a complex value (re,im) (complex gain), found '1.0'"},
      {"gains: unclosed complex", "1 (1,0\n", {"gnsfile={}"}, "{}, line 1: "},
      {"rejects: not a number",
       "2\n5\nfoo\n",
       {"rejects={}"},
       "{}, line 3: expected an integer (list entry), found 'foo'"},
      {"antenna rejects: not a number", "5\n1e\n", {"antrejct={}"}, "{}, line 2: "},
      {"MD table: missing gain", "0 1\n5\n", {"mdcorr=t", "mdfile={}"}, "{}, line 2: "},
      {"MD table: not a number",
       "0 1\n5 x\n",
       {"mdcorr=t", "mdfile={}"},
       "{}, line 2: expected a number (gain), found 'x'"},
      // files that hold nothing to use: an all-zero dataset, no MD correction
      {"gains: empty", "", {"gnsfile={}"}, "{}: no gain line for an antenna 1 to "},
      {"gains: only dropped lines", "0 (1,0)\n\n600 (1,0)\n", {"gnsfile={}"}, "{}: no gain line"},
      {"MD table: empty", "", {"mdcorr=t", "mdfile={}"}, "{}: no entry; the MD correction needs at least one"},
      {"layout: one line above 1 MiB",
       std::string(std::size_t{1} << 21, '7'),
       {"corlfile={}"},
       "{}, line 1: line longer than 1048576 bytes"},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = w("bad" + std::to_string(k++));
    write_file(file, c.content);
    std::vector<std::string> more;
    for (std::string kw : c.keywords) {
      if (auto p = kw.find("{}"); p != std::string::npos) kw.replace(p, 2, file);
      more.push_back(kw);
    }
    std::string message = c.message;
    if (auto p = message.find("{}"); p != std::string::npos) message.replace(p, 2, file);
    const RunResult r = convert(s("good.arc"), w("x.uv"), more);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(w("x.uv")));
    fs::remove(file);
  }
  EXPECT_EQ(written(), Names{});

  // Counts above the fixed capacities are refused, not cut silently.
  write_file(w("many.rej"), many_rejects);
  const RunResult g = gainsolve(s("good.arc"), {"rejects=" + w("many.rej")});
  EXPECT_EQ(g.status, 1);
  EXPECT_NE(g.out.find("No of rejected baselines exceeds code limit"), std::string::npos) << g.out;
  std::string ants;
  for (int a = 1; a <= 101; ++a) ants += std::to_string(a) + "\n";
  write_file(w("many.ants"), ants);
  const RunResult g2 = gainsolve(s("good.arc"), {"antrejct=" + w("many.ants")});
  EXPECT_EQ(g2.status, 1);
  EXPECT_NE(g2.out.find("No of rejected antennas exceeds code limit (100)"), std::string::npos) << g2.out;
  EXPECT_EQ(written(), (Names{"many.ants", "many.rej"}));
}

TEST_F(BadInput, LineEndsLfCrlfAndCrReadAlike) {
  // Every text input (layout, gains, counted rejection list, MD table,
  // parameter file) with each line end gives the same dataset.
  const std::string text[] = {read_file(s("lay")), read_file(s("true.gains")), "2\n5\n9\n", "0 1\n20 0.9\n90 0.5\n",
                              "reclim=2,4\ndec=-30\n"};
  std::vector<unsigned char> first;
  for (const std::string end : {"\n", "\r\n", "\r"}) {
    SCOPED_TRACE(end == "\n" ? "LF" : end == "\r" ? "CR" : "CRLF");
    const std::string tag = std::to_string(end.size()) + std::to_string(end[0]);
    std::vector<std::string> files;
    for (std::size_t k = 0; k < std::size(text); ++k) {
      std::string t = text[k];
      for (std::size_t p = t.find('\n'); p != std::string::npos; p = t.find('\n', p + end.size())) t.replace(p, 1, end);
      files.push_back(w("t" + std::to_string(k) + "." + tag));
      write_file(files.back(), t);
    }
    const std::string uv = w("e" + tag + ".uv");
    const RunResult r =
        run("talva2vis3",
            {"infile=" + s("good.arc"), "corlfile=" + files[0], "gnsfile=" + files[1], "rejects=" + files[2],
             "mdcorr=t", "mdfile=" + files[3], "-f", files[4], "uvfile=" + uv, "device=/null"},
            work_.path().string());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("    2 rejects found\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("     3  mdtable entries\n"), std::string::npos) << r.out;
    EXPECT_GT(count_records(uv), 0);
    const auto vis = read_bytes(uv + "/visdata");
    if (first.empty()) first = vis;
    EXPECT_EQ(vis, first);
  }
}

TEST_F(BadInput, RejectionListWhoseCountDisagreesWarns) {
  write_file(w("three.rej"), "3\n5\n");
  const RunResult r = convert(s("good.arc"), w("r.uv"), {"rejects=" + w("three.rej")});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("    1 rejects found\n Warning: " + w("three.rej") + ": the count says 3, the list holds 1\n"),
            std::string::npos)
      << r.out;
}

TEST_F(BadInput, MissingTextFilesStopNamingTheFile) {
  struct Case {
    const char* program;
    std::vector<std::string> keywords;
    std::string message;
  };
  const std::string none = w("none");
  const Case cases[] = {
      {"talva2vis3", {"corlfile=" + none}, "cannot open layout file " + none},
      {"talva2vis3", {"gnsfile=" + none}, "cannot open gains file " + none},
      {"talva2vis3", {"rejects=" + none}, "cannot open rejection list file " + none},
      {"talva2vis3", {"mdcorr=t", "mdfile=" + none}, "cannot open MD table file " + none},
      {"talva2vis", {"phasefil=" + none}, "cannot open phase calibration file " + none},
      {"gainsolve", {"antrejct=" + none}, "cannot open antenna rejection list file " + none},
      {"phasesolve", {"rejects=" + none}, "cannot open rejection list file " + none},
      {"dumpscope", {"mdcorr=t", "mdfile=" + none}, "cannot open MD table file " + none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.keywords.back());
    const std::string program = c.program;
    // Each program gets only the keywords it knows (no warnings).
    std::vector<std::string> args{"infile=" + s("good.arc")};
    if (program == "dumpscope") {
      args.insert(args.end(), {"corrfile=" + s("lay"), "device=/null", "oneshot=t"});
    } else {
      args.push_back("corlfile=" + s("lay"));
      if (program == "talva2vis3") args.push_back("gnsfile=" + s("true.gains"));
      if (program == "talva2vis3" || program == "talva2vis") args.push_back("uvfile=" + w("x.uv"));
      if (program != "gainsolve") args.push_back("device=/null");
    }
    for (const auto& kw : c.keywords) {
      const std::string key = kw.substr(0, kw.find('='));
      std::erase_if(args, [&](const std::string& a) { return a.rfind(key + "=", 0) == 0; });
      args.push_back(kw);
    }
    const RunResult r = run(program, args, work_.path().string());
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(c.message + ": No such file or directory\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(w("x.uv")));
  }
}

TEST_F(BadInput, LayoutShorterThanTheArchivesProductTable) {
  // Products without a layout line have no conjugation sign: a run would
  // read them with the imaginary part zeroed. Every program that uses the
  // whole product table refuses the pair of files instead.
  const auto full = talva::test::lines(read_file(s("lay")));
  std::string cut;
  for (std::size_t k = 0; k + 1 < full.size(); ++k) cut += full[k] + "\n";  // all but the dummy last line
  write_file(w("cut.lay"), cut);
  std::string first100;
  for (std::size_t k = 0; k < 100; ++k) first100 += full[k] + "\n";
  write_file(w("short.lay"), first100);
  const std::string expect_short = "layout file " + w("short.lay") +
                                   " has 100 lines; the archive's dumps carry products up to index 4561 "
                                   "(4560 lines needed)\n";
  std::string phases = "zero phases\n";
  for (int a = 1; a <= 96; ++a) phases += std::to_string(a) + " 0.0\n";
  write_file(w("zero.phases"), phases);
  for (const char* program : {"talva2vis3", "talva2vis", "gainsolve", "phasesolve"}) {
    SCOPED_TRACE(program);
    std::vector<std::string> args{"infile=" + s("good.arc"), "corlfile=" + w("short.lay")};
    const std::string p = program;
    if (p == "talva2vis3") args.push_back("gnsfile=" + s("true.gains"));
    if (p == "talva2vis") args.push_back("phasefil=" + w("zero.phases"));
    if (p == "talva2vis3" || p == "talva2vis") args.push_back("uvfile=" + w("x.uv"));
    if (p != "gainsolve") args.push_back("device=/null");
    const RunResult r = run(program, args, work_.path().string());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(expect_short), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(w("x.uv")));
    // The last table entry's item lies past the dump: its line is not needed.
    args[1] = "corlfile=" + w("cut.lay");
    fs::remove_all(w("x.uv"));
    fs::remove(w("phasesolve.log"));
    EXPECT_EQ(run(program, args, work_.path().string()).status, 0);
    fs::remove_all(w("x.uv"));
  }
}

TEST_F(BadInput, PhaseTableWithAnAntennaOutsideTheArray) {
  write_file(w("p.tbl"), "title\n1 10\n200 5\n");
  const RunResult r = run("talva2vis",
                          {"infile=" + s("good.arc"), "corlfile=" + s("lay"), "phasefil=" + w("p.tbl"),
                           "uvfile=" + w("p.uv"), "device=/null"},
                          work_.path().string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Invalid ant/phs at record  200       0.1   3"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(w("p.uv")));
}

// ---- command lines -----------------------------------------------------------

TEST_F(BadInput, CommandLineErrorsAreFatalOnStandardError) {
  write_file(w("loop.at"), "@" + w("loop.at") + "\n");
  struct Case {
    const char* program;
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {"talva2vis3", {"reclim=1x"}, "### Fatal Error:  KeyI: Conversion error decoding parameter [reclim=1x].\n"},
      {"gainsolve",
       {"reclim=99999999999"},
       "### Fatal Error:  KeyI: Conversion error decoding parameter [reclim=99999999999].\n"},
      {"talva2vis3", {"dec=1e999"}, "### Fatal Error:  KeyD: Conversion error decoding parameter [dec=1e999].\n"},
      {"talva2vis3", {"dec=nan"}, "### Fatal Error:  KeyD: Conversion error decoding parameter [dec=nan].\n"},
      {"gainsolve", {"calflx=1e99"}, "### Fatal Error:  KeyD: Conversion error decoding parameter [calflx=1e99].\n"},
      {"gainsolve",
       {"-f", w("nofile")},
       "### Fatal Error:  KeyIni: Failed to open the parameter file [" + w("nofile") + "].\n"},
      {"talva2vis3", {"-f"}, "### Fatal Error:  KeyIni: No parameter file given for -f option.\n"},
      {"gainsolve", {"reclim=@" + w("nofile")}, "### Fatal Error:  Error opening @ file [" + w("nofile") + "].\n"},
      {"talva2vis3",
       {"reclim=@" + w("loop.at")},
       "### Fatal Error:  Too many nested @ files in the value of keyword [reclim].\n"},
      // values that would write non-finite or meaningless numbers
      {"talva2vis3", {"freq=0,0"}, "### Fatal Error:  Keyword [freq=0] out of range: 1 to 1000000.\n"},
      {"talva2vis3", {"ra=1e308"}, "### Fatal Error:  Keyword [ra=1e+308] out of range: -24 to 24.\n"},
      {"talva2vis3", {"dec=1e30"}, "### Fatal Error:  Keyword [dec=1e+30] out of range: -90 to 90.\n"},
      {"talva2vis3",
       {"skmode=talva1b", "ampscale=1", "unitx=1e38"},
       "### Fatal Error:  Keyword [unitx=1e+38] out of range: above 0 up to 10000.\n"},
      {"talva2vis3", {"cgap=0"}, "### Fatal Error:  Keyword [cgap=0] out of range: above 0 up to 10000.\n"},
      {"gainsolve", {"refant=97"}, "### Fatal Error:  Keyword [refant=97] out of range: -1 to 96.\n"},
      // endless lines
      {"gainsolve",
       {"-f", "/dev/zero"},
       "### Fatal Error:  A line of the parameter file [/dev/zero] is longer than 1048576 bytes.\n"},
      {"talva2vis3",
       {"infile=@/dev/zero"},
       "### Fatal Error:  A line of @ file [/dev/zero] is longer than 1048576 bytes.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.args.back());
    std::vector<std::string> args{"infile=" + s("good.arc"), "corlfile=" + s("lay")};
    if (std::string(c.program) == "talva2vis3")
      args.insert(args.end(), {"gnsfile=" + s("true.gains"), "uvfile=" + w("x.uv"), "device=/null"});
    else
      args.push_back("gnsfile=" + w("g.gains"));
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = run(c.program, args, work_.path().string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");  // stopped before any work
  }

  // Required keywords not given: each named, before any other output.
  const Case missing[] = {
      {"talva2vis3",
       {},
       "### Fatal Error:  infile= (the archive to convert) is required.\n"
       "### Fatal Error:  corlfile= (the correlator layout file) is required.\n"
       "### Fatal Error:  gnsfile= (the gains file of gainsolve, or gnstable=, for modes talva1a and orvex) is "
       "required.\n"
       "### Fatal Error:  uvfile= (the uv dataset to create, or msfile=) is required.\n"},
      {"talva2vis3",
       {"infile=" + s("good.arc"), "corlfile=" + s("lay"), "skmode=talva2a"},  // a simulation
       "### Fatal Error:  uvfile= (the uv dataset to create, or msfile=) is required.\n"},
      {"talva2vis",
       {"infile=" + s("good.arc"), "corlfile=" + s("lay")},
       "### Fatal Error:  phasefil= (phase table (antenna, phase in degrees) as phasesolve writes it, or gnstable=) "
       "is required.\n"
       "### Fatal Error:  uvfile= (the uv dataset to create, or msfile=) is required.\n"},
      {"gainsolve", {"corlfile=" + s("lay")}, "### Fatal Error:  infile= (the calibrator archive) is required.\n"},
      {"phasesolve",
       {"infile=" + s("good.arc")},
       "### Fatal Error:  corlfile= (the correlator layout file) is required.\n"},
      {"dumpscope", {"corrfile=" + s("lay")}, "### Fatal Error:  infile= (the archive to look at) is required.\n"},
  };
  for (const auto& c : missing) {
    SCOPED_TRACE(c.program);
    const RunResult r = run(c.program, c.args, work_.path().string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(written(), Names{"loop.at"});
}

TEST_F(BadInput, DevicePromptAtTheEndOfInputGivesUpAndTheRunGoesOn) {
  const std::string prompt = "Graphics device/type (? to see list, default /xw): \n";
  const std::string warning =
      " Warning: no answer to the plot device prompt (end of input); going on without the plot\n";
  const RunResult c = convert(s("good.arc"), w("q.uv"), {"device=?"});
  EXPECT_EQ(c.status, 0) << c.out;
  EXPECT_NE(c.out.find(prompt + warning), std::string::npos) << c.out.substr(0, 2000);
  EXPECT_EQ(c.out.find(prompt, c.out.find(prompt) + 1), std::string::npos);  // asked once
  EXPECT_EQ(count_records(w("q.uv")), kDumps * kClasses);
  const RunResult d = run("dumpscope", {"infile=" + s("good.arc"), "corrfile=" + s("lay"), "device=?", "oneshot=t"},
                          work_.path().string());
  EXPECT_EQ(d.status, 0) << d.out.substr(0, 2000);
  EXPECT_NE(d.out.find(prompt + warning), std::string::npos) << d.out.substr(0, 2000);
  EXPECT_NE(d.out.find("overall statistics : mean, rms"), std::string::npos);  // printed all the same
  EXPECT_EQ(written(), Names{"q.uv"});
}

TEST_F(BadInput, UnknownKeywordsAndFlagsStopBeforeAnyWork) {
  const RunResult r = convert(s("good.arc"), w("k.uv"), {"bogus=1", "-z", "--uvfile=x", "cal.arc", "skmod=talva1a"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "### Fatal Error:  -z: not understood; the flags are -f FILE, -h and -k, keywords are written name=value.\n"
            "### Fatal Error:  --uvfile=x: keywords are written without dashes, as uvfile=x.\n"
            "### Fatal Error:  cal.arc: not understood; keywords are written name=value.\n"
            "### Fatal Error:  bogus: no such keyword (talva2vis3 -h lists the keywords).\n"
            "### Fatal Error:  skmod: no such keyword; did you mean skmode?\n");
  const RunResult g =
      run("gainsolve", {"infile=" + s("good.arc"), "corlfile=" + s("lay"), "calflux=10"}, work_.path().string());
  EXPECT_EQ(g.status, 1);
  EXPECT_EQ(g.out, "");
  EXPECT_EQ(g.err, "### Fatal Error:  calflux: no such keyword; did you mean calflx?\n");
  // dumpscope takes corlfile= as its corrfile=, and names the keyword of a layout it cannot read
  const RunResult d =
      run("dumpscope", {"infile=" + s("good.arc"), "corlfile=" + w("nolayout"), "device=/null", "oneshot=t"},
          work_.path().string());
  EXPECT_EQ(d.status, 1);
  EXPECT_NE(d.out.find("cannot read the correlator layout file corlfile=" + w("nolayout")), std::string::npos) << d.out;
  const RunResult dd =
      run("dumpscope", {"infile=" + s("good.arc"), "corlfile=" + s("lay"), "device=/null", "oneshot=t"},
          work_.path().string());
  EXPECT_EQ(dd.status, 0) << dd.out << dd.err;
  EXPECT_EQ(written(), Names{});
}

TEST_F(BadInput, DumpscopeOptionThatCannotBeDecoded) {
  for (const char* option : {"zz(1,2)", "ap(1e)", "ap(99e,1w)", "bs(999,e)", "ap(1e,1e)"}) {
    SCOPED_TRACE(option);
    const RunResult r = run("dumpscope",
                            {"infile=" + s("good.arc"), "corrfile=" + s("lay"), "device=/null", "oneshot=t",
                             std::string("option=") + option},
                            work_.path().string());
    EXPECT_EQ(r.status, 1) << r.out;
  }
  EXPECT_EQ(written(), Names{});
}

// ---- outputs -----------------------------------------------------------------

TEST_F(BadInput, OutputsThatCannotBeWrittenLeaveEverythingAsItWas) {
  // An existing dataset is never overwritten or touched.
  ASSERT_EQ(convert(s("good.arc"), w("old.uv")).status, 0);
  const auto before = read_bytes(w("old.uv") + "/visdata");
  const RunResult again = convert(s("cutdump.arc"), w("old.uv"));
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "### Fatal Error:  Error opening " + w("old.uv") +
                           ", in UVOPEN(new): File exists. A dataset is never overwritten: remove " + w("old.uv") +
                           " (rm -r) or give another name in uvfile=.\n");
  EXPECT_EQ(again.out, "");  // refused before the set-up lines
  EXPECT_EQ(read_bytes(w("old.uv") + "/visdata"), before);

  const RunResult nodir = convert(s("good.arc"), w("nodir/x.uv"));
  EXPECT_EQ(nodir.status, 1);
  EXPECT_EQ(nodir.err,
            "### Fatal Error:  Error opening " + w("nodir/x.uv") + ", in UVOPEN(new): No such file or directory\n");
  EXPECT_EQ(nodir.out, "");

  // gainsolve writes all three files or none.
  const RunResult g = gainsolve(s("good.arc"), {"gnsfile=" + w("nodir/g.gains")});
  EXPECT_EQ(g.status, 1);
  EXPECT_NE(g.out.find("cannot create " + w("nodir/g.gains")), std::string::npos) << g.out;
  EXPECT_EQ(written(), Names{"old.uv"});
}

}  // namespace
