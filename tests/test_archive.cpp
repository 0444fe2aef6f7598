// The archive reader on archives built byte by byte: file header limits,
// tags, the decoded header of each dump, correlation words, verbose
// lines, truncated and corrupt dumps, and the waiting mode against a writer
// that appends in pieces.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "archive/archiv_util.h"
#include "archive/fp.h"
#include "support/testsupport.h"
#include "util/stop.h"

using talva::archive::ArchiveOptions;
using talva::archive::ArchiveReader;
using talva::archive::Dump;
using talva::archive::dump_time_problem;
using talva::archive::DumpHeader;
using talva::archive::FP_to_Byte;
using talva::archive::hdr_struct;
using talva::archive::R2D;

using talva::test::TempDir;

namespace {

using Bytes = std::vector<std::uint8_t>;

void put(Bytes& out, const void* p, std::size_t n) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}
void put_i32(Bytes& out, std::int32_t v) { put(out, &v, 4); }

/// The fields of one dump header block, in the units the block stores.
struct Header {
  int day = 5, mon = 3, year_byte = 106, hr = 13, mins = 7, sec = 9;  // 5 March 2006 13:07:09
  double ha = M_PI / 2, ra = 1.0, dec = -0.5, ns = 0.01, md_sine = 0.5, east = 0.02, west = -0.03, temp = 25.5;
  std::uint8_t mode = 1;
  int length = 96;
};

Bytes header_block(const Header& h) {
  Bytes b(static_cast<std::size_t>(h.length), 0);
  const int bytes[][2] = {{7, h.mode}, {12, 99},    {16, h.sec}, {17, h.mins},
                          {18, h.hr},  {28, h.day}, {29, h.mon}, {30, h.year_byte}};
  for (const auto& [at, v] : bytes) b[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(v);
  const std::pair<int, double> reals[] = {{32, h.ra},      {36, h.dec},  {48, h.ha},   {52, h.ns},
                                          {56, h.md_sine}, {60, h.east}, {64, h.west}, {80, h.temp}};
  for (const auto& [at, v] : reals) FP_to_Byte(v, std::span<std::uint8_t, 4>(b.data() + at, 4));
  return b;
}

/// An archive assembled in memory: nant antenna records and nbsln products.
struct Archive {
  int nant, nbsln;
  Bytes bytes;
  Archive(int nant_, int nbsln_) : nant(nant_), nbsln(nbsln_) {
    put_i32(bytes, nant);
    put_i32(bytes, nbsln);
    for (int k = 1; k <= nbsln; ++k) put_i32(bytes, 256 * (k + 1) + 1);
  }
  /// Word w of item k of dump d: distinct for every word of every dump.
  static float word(int d, int k, int w) { return static_cast<float>(1000 * d + 10 * k + w); }
  void dump(int d, const char* key, const Bytes& block, std::int32_t length) {
    char k[8] = {};
    std::memcpy(k, key, std::min<std::size_t>(std::strlen(key), 8));
    put(bytes, k, 8);
    put_i32(bytes, length);
    bytes.insert(bytes.end(), block.begin(), block.end());
    bytes.insert(bytes.end(), static_cast<std::size_t>(nant) * 24, 0x5A);
    for (int i = 1; i <= nbsln; ++i)
      for (int w = 1; w <= 2; ++w) {
        const float f = word(d, i, w);
        put(bytes, &f, 4);
      }
  }
  void dump(int d, const Header& h = {}) { dump(d, "TCC", header_block(h), h.length); }
  void repeat(int d) { dump(d, "TALVA", {}, 0); }
  std::string save(const TempDir& dir, const std::string& name = "arch.dat") const {
    talva::test::write_file(dir.file(name), std::string(bytes.begin(), bytes.end()));
    return dir.file(name);
  }
};

/// What the reader has said on its output since the mark was made.
class Said {
 public:
  explicit Said(const talva::StringOutput& out) : out_(out), mark_(out.text().size()) {}
  std::string finish() const { return out_.text().substr(mark_); }

 private:
  const talva::StringOutput& out_;
  std::size_t mark_;
};

class Reader : public ::testing::Test {
 protected:
  void open(const std::string& path, bool wait = false, bool verbose = false) {
    reader.reset();
    ArchiveOptions options;
    options.wait = wait;
    options.verbose = verbose;
    reader.emplace(path, out, options);
    nant = reader->file_header().nant;
    nbsln = reader->file_header().nbsln;
    table = reader->file_header().antnum;
  }
  /// The next dump: its correlations copied into vis, its header into
  /// `header`; -1 at the end of the data.
  int next() {
    const std::optional<Dump> dump = reader->next();
    if (!dump) return -1;
    if (dump->vis.size() > vis.size()) return -2;
    std::copy(dump->vis.begin(), dump->vis.end(), vis.begin());
    header = dump->header;
    return 0;
  }
  /// The stop that opening `path` ends in, with what the reader said.
  std::string refused(const std::string& path) {
    Said said(out);
    try {
      open(path);
    } catch (const talva::Stop& stop) {
      return said.finish() + stop.what();
    }
    return "opened";
  }
  TempDir dir;
  talva::StringOutput out;
  std::optional<ArchiveReader> reader;
  int nant = 0, nbsln = 0;
  std::vector<std::int32_t> table;
  std::vector<float> vis = std::vector<float>(16, -1.0f);
  DumpHeader header;
};

TEST_F(Reader, OpenAndFileHeaderFailures) {
  EXPECT_EQ(refused(dir.file("missing")), "failed to open : " + dir.file("missing") + "\ninit failed");

  // a file header cut short: no message
  Archive a(42, 4);
  a.bytes.resize(8);
  EXPECT_EQ(refused(a.save(dir)), "failed to read the header");
  Archive b(3, 4);
  b.bytes.resize(8 + 9);  // the table cut inside its third entry
  EXPECT_EQ(refused(b.save(dir)), "failed to read the header");

  // counts outside the format or the product table: refused with a message
  const int bad[][2] = {{101, 2}, {-1, 2}, {3, -1}, {3, talva::kMaxProducts + 1}};
  for (const auto& [na, nb] : bad) {
    Bytes c;
    put_i32(c, na);
    put_i32(c, nb);
    c.insert(c.end(), 80, 0x11);
    talva::test::write_file(dir.file("c"), std::string(c.begin(), c.end()));
    const std::string said = refused(dir.file("c"));
    EXPECT_NE(said.find("read_header_: the archive gives"), std::string::npos) << na << " " << nb;
    EXPECT_NE(said.find("failed to read the header"), std::string::npos) << na << " " << nb;
  }
  open(Archive(100, 16).save(dir));  // the largest counts allowed
  EXPECT_EQ(reader->numant(), 100);
  EXPECT_EQ(nbsln, 16);

  // a directory opens but cannot be read: a read error, not silence
  EXPECT_NE(refused(dir.path()).find("archive read error at byte offset 0"), std::string::npos);
}

TEST_F(Reader, DumpsTagsAccessorsAndCorrelations) {
  Archive a(3, 4);
  Header h1;
  h1.mode = 0xFF;
  a.dump(1, h1);
  a.repeat(2);
  Header h3;
  h3.day = 31, h3.mon = 12, h3.year_byte = 105, h3.hr = 23, h3.mins = 59, h3.sec = 58;
  h3.ha = -0.25, h3.md_sine = -0.25, h3.temp = -3.0, h3.mode = 7, h3.length = 400;
  a.dump(3, h3);
  Header h4;
  h4.length = 84;                       // the smallest block: the temperature is its last four bytes
  a.dump(4, "", header_block(h4), 84);  // an empty key is not "TALVA"
  open(a.save(dir));
  EXPECT_EQ(nant, 3);
  EXPECT_EQ(table, (std::vector<std::int32_t>{513, 769, 1025, 1281}));
  EXPECT_EQ(reader->offset(), 24);

  int yr, mn, dy, hr, mi, se, mode;
  float ha, ra, dec, temp, ns, md, east, west, mdrad;
  auto fetch = [&] {
    const DumpHeader& h = header;
    yr = h.year, mn = h.mon, dy = h.day, hr = h.hr, mi = h.mins, se = h.sec, mode = h.mode;
    ha = h.ha_hours, ra = h.ra_hours, dec = h.dec_deg, temp = h.temp_c;
    ns = h.ns_tilt_deg, md = h.md_tilt_deg, east = h.east_tilt_deg, west = h.west_tilt_deg, mdrad = h.md_rad;
  };
  const long long sizes[] = {12 + 96 + 72 + 32, 12 + 72 + 32, 12 + 400 + 72 + 32, 12 + 84 + 72 + 32};
  long long offset = 24;
  for (int d = 1; d <= 4; ++d) {
    SCOPED_TRACE(d);
    ASSERT_EQ(next(), 0);
    offset += sizes[d - 1];
    EXPECT_EQ(reader->offset(), offset);
    for (int k = 1; k <= 4; ++k) {
      EXPECT_EQ(vis[2 * k - 2], Archive::word(d, k, 1));
      EXPECT_EQ(vis[2 * k - 1], Archive::word(d, k, 2));
    }
    EXPECT_EQ(vis[8], -1.0f);  // nothing past the block
    fetch();
    if (d <= 2) {  // dump 2 ("TALVA") keeps dump 1's values
      EXPECT_EQ(yr * 10000 + mn * 100 + dy, 20060305);
      EXPECT_EQ(hr * 10000 + mi * 100 + se, 130709);
      EXPECT_EQ(mode, -1);  // byte 7, sign-extended; byte 12 differs
      EXPECT_EQ(ha, 6.0f);
      EXPECT_FLOAT_EQ(ra, static_cast<float>(R2D / 15));
      EXPECT_FLOAT_EQ(dec, static_cast<float>(-0.5 * R2D));
      EXPECT_EQ(temp, 25.5f);
      EXPECT_FLOAT_EQ(ns, static_cast<float>(0.01 * R2D));
      EXPECT_FLOAT_EQ(md, 30.0f);
      EXPECT_FLOAT_EQ(mdrad, static_cast<float>(M_PI / 6));
      EXPECT_FLOAT_EQ(east, static_cast<float>(0.02 * R2D));
      EXPECT_FLOAT_EQ(west, static_cast<float>(-0.03 * R2D));
      EXPECT_DOUBLE_EQ(reader->header().time, (13 + (7 + 9 / 60.0) / 60.0) / 24.0);
      EXPECT_EQ(reader->header().gcal, 9);
    } else if (d == 3) {
      EXPECT_EQ(yr * 10000 + mn * 100 + dy, 20051231);
      EXPECT_EQ(hr * 10000 + mi * 100 + se, 235958);
      EXPECT_EQ(mode, 7);
      EXPECT_FLOAT_EQ(ha, static_cast<float>(-0.25 * R2D / 15));
      EXPECT_FLOAT_EQ(md, -14.477512f);
      EXPECT_EQ(temp, -3.0f);
    } else {
      EXPECT_EQ(temp, 25.5f);
      EXPECT_EQ(mode, 1);
    }
  }
  EXPECT_EQ(next(), -1);
  EXPECT_EQ(reader->dumps_read(), 4);
}

// A dump handed out as a view holds the file's words, also where its
// correlations straddle a refill of the stream buffer (256 KiB) or lie at an
// offset that is no multiple of 4, and the offsets advance by whole dumps; a
// dump cut short ends the data.
TEST_F(Reader, ViewOfTheStreamBufferHoldsEveryWord) {
  constexpr int kProducts = 4561, kDumps = 70;  // 38900-byte dumps: ten refills
  Archive a(96, kProducts);
  Header odd;
  odd.length = 98;  // a block whose length is no multiple of 4 misaligns the items after it
  for (int d = 1; d <= kDumps; ++d) (d % 9 == 0) ? a.repeat(d) : (d % 5 == 0) ? a.dump(d, odd) : a.dump(d);
  a.bytes.resize(a.bytes.size() - 5);
  ArchiveReader view(a.save(dir), out);
  long long offset = 8 + 4 * kProducts;
  for (int d = 1; d < kDumps; ++d) {
    SCOPED_TRACE(d);
    const std::optional<Dump> dump = view.next();
    ASSERT_TRUE(dump.has_value());
    ASSERT_EQ(dump->vis.size(), 2u * kProducts);
    int wrong = 0;
    for (int k = 1; k <= kProducts; ++k)
      for (int w = 1; w <= 2; ++w)
        wrong += dump->vis[static_cast<std::size_t>(2 * k + w - 3)] != Archive::word(d, k, w);
    EXPECT_EQ(wrong, 0);
    offset += 12 + (d % 9 == 0 ? 0 : d % 5 == 0 ? 98 : 96) + 96 * 24 + 8 * kProducts;
    EXPECT_EQ(view.offset(), offset);
  }
  EXPECT_FALSE(view.next().has_value());
  EXPECT_EQ(view.dumps_read(), kDumps - 1);
}

TEST_F(Reader, TagComparisonAndFirstDumpRepeated) {
  Archive a(1, 1);
  a.repeat(1);  // nothing decoded yet: zeros
  a.dump(2, "TALVAX", header_block({}), 96);
  Bytes tag = {'T', 'A', 'L', 'V', 'A', 0, 'z', 'z'};  // equal up to the first NUL
  put(a.bytes, tag.data(), 8);
  put_i32(a.bytes, -7);  // no block follows a "TALVA" tag: a length below 84 is harmless
  a.bytes.insert(a.bytes.end(), 24 + 8, 0);
  open(a.save(dir));
  ASSERT_EQ(next(), 0);
  EXPECT_EQ(header.year + header.mon + header.day + header.mode, 0);
  ASSERT_EQ(next(), 0);
  EXPECT_EQ(vis[1], Archive::word(2, 1, 2));
  EXPECT_EQ(header.year, 2006);
  ASSERT_EQ(next(), 0);
  EXPECT_EQ(vis[1], 0.0f);
  EXPECT_EQ(next(), -1);
}

TEST_F(Reader, VerboseLinesByteForByte) {
  Archive a(0, 0);
  a.dump(1);
  a.repeat(2);  // prints nothing
  Header h;
  h.day = 1, h.mon = 1, h.year_byte = 0, h.hr = 0, h.mins = 0, h.sec = 0;
  h.ha = -1.0, h.ra = 6.0, h.dec = -1.2, h.east = -0.001, h.west = 0.5, h.md_sine = -1.0, h.temp = 123.456;
  a.dump(3, h);
  const Bytes blk = header_block({});
  EXPECT_EQ(Bytes(blk.begin() + 48, blk.begin() + 52), (Bytes{0xDB, 0x0F, 0xC9, 0x01}));
  Said cap(out);
  open(a.save(dir), false, true);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(next(), 0);
  EXPECT_EQ(cap.finish(),
            "05 03 2006\n13:07:09\n"
            "HA :     6.0000\nRA :     3.8197\nDEC :   -28.6479\n"
            "NS TILT EAST :    1.15\nNS TILT WEST :   -1.72\nMD tilt :   30.00\n"
            "TEMP :   25.50 \n"
            "01 01 1900\n00:00:00\n"
            "HA :    -3.8197\nRA :    22.9183\nDEC :   -68.7549\n"
            "NS TILT EAST :   -0.06\nNS TILT WEST :   28.65\nMD tilt :  -90.00\n"
            "TEMP :  123.46 \n");
}

TEST_F(Reader, TruncatedDumpIsQuietEndOfData) {
  Archive a(3, 4);
  a.dump(1);
  a.dump(2);
  const std::size_t dump2 = 12 + 96 + 72 + 32;
  // cut inside the tag, the header block, the antenna records, the correlations
  for (std::size_t keep : {std::size_t{5}, std::size_t{52}, std::size_t{138}, dump2 - 1}) {
    Archive b = a;
    b.bytes.resize(a.bytes.size() - dump2 + keep);
    open(b.save(dir));
    Said cap(out);
    EXPECT_EQ(next(), 0);
    EXPECT_EQ(vis[7], Archive::word(1, 4, 2));
    EXPECT_EQ(next(), -1) << keep;
    EXPECT_EQ(cap.finish(), "");
    // the rest of the dump arrives: a new call must not start in its middle
    std::FILE* f = std::fopen(dir.file("arch.dat").c_str(), "ab");
    std::fwrite(a.bytes.data() + b.bytes.size(), 1, a.bytes.size() - b.bytes.size(), f);
    std::fclose(f);
    EXPECT_EQ(next(), -1) << keep;
  }
  // at a dump boundary the end of data is not final: a dump appended later is read
  Archive c(3, 4);
  c.dump(1);
  open(c.save(dir, "c.dat"));
  EXPECT_EQ(next(), 0);
  EXPECT_EQ(next(), -1);
  c.dump(2);
  talva::test::write_file(dir.file("c.dat"), std::string(c.bytes.begin(), c.bytes.end()));
  EXPECT_EQ(next(), 0);
  EXPECT_EQ(vis[7], Archive::word(2, 4, 2));
}

TEST_F(Reader, CorruptHeaderLengthEndsTheData) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"TCC", 65537}, {"TCC", 83}, {"TCC", 0}, {"TCC", -5}, {"TCC", 1 << 30}};
  for (const auto& [key, length] : cases) {
    Archive a(3, 4);
    a.dump(1);
    a.dump(2);
    const std::size_t third = a.bytes.size();
    Header big;
    big.length = 400;
    a.dump(3, key, header_block(big), length);
    a.dump(4);
    open(a.save(dir), true);  // waiting for the writer
    Said cap(out);
    EXPECT_EQ(next(), 0);
    EXPECT_EQ(next(), 0);
    std::fill(vis.begin(), vis.end(), -2.0f);
    EXPECT_EQ(next(), -1);  // not even a waiting reader goes on
    EXPECT_EQ(next(), -1);  // in a misaligned stream
    EXPECT_EQ(std::count(vis.begin(), vis.end(), -2.0f), 16);
    EXPECT_EQ(cap.finish(), "read_dump_: dump 3 at byte offset " + std::to_string(third) +
                                " is corrupt (header length " + std::to_string(length) +
                                ", expected 84 to 65536); end of data\n");
  }
}

TEST_F(Reader, WaitingModeAssemblesPieces) {
  Archive a(3, 4);
  a.dump(1);
  a.repeat(2);
  Header h3;
  h3.sec = 33;
  a.dump(3, h3);
  const std::size_t start = 24;
  const std::string path = dir.file("growing");
  talva::test::write_file(path, std::string(a.bytes.begin(), a.bytes.begin() + start + 7));
  // pieces ending inside the tag, the header block, the antenna records,
  // at the end of a dump and inside the correlations
  const std::size_t cuts[] = {start + 11,  start + 62,         start + 138,   start + 212,
                              start + 301, a.bytes.size() - 3, a.bytes.size()};
  std::thread writer([&] {
    std::size_t done = start + 7;
    for (std::size_t cut : cuts) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      std::FILE* f = std::fopen(path.c_str(), "ab");
      std::fwrite(a.bytes.data() + done, 1, cut - done, f);
      std::fclose(f);
      done = cut;
    }
  });
  open(path, true);
  const long long ends[] = {start + 212, start + 212 + 116, static_cast<long long>(a.bytes.size())};
  for (int d = 1; d <= 3; ++d) {
    ASSERT_EQ(next(), 0) << d;
    for (int k = 1; k <= 4; ++k) {
      EXPECT_EQ(vis[2 * k - 2], Archive::word(d, k, 1)) << d;
      EXPECT_EQ(vis[2 * k - 1], Archive::word(d, k, 2)) << d;
    }
    EXPECT_EQ(reader->offset(), ends[d - 1]);
  }
  EXPECT_EQ(header.sec, 33);
  writer.join();
  EXPECT_EQ(reader->dumps_read(), 3);
}

}  // namespace

// Dates and times a dump header may carry: each field at and beyond its limits.
TEST(DumpTime, ImpossibleDatesAndTimesAreNamed) {
  struct Row {
    int year, mon, day, hr, mins, sec;
    const char* problem;  ///< "" for a possible time
  };
  const Row rows[] = {
      {2006, 3, 5, 13, 7, 9, ""},
      {2006, 1, 1, 0, 0, 0, ""},
      {2006, 12, 31, 23, 59, 60, ""},  // a leap second
      {2008, 2, 29, 12, 0, 0, ""},
      {2000, 2, 29, 12, 0, 0, ""},
      {2006, 0, 5, 13, 7, 9, "month 0"},
      {2006, 13, 5, 13, 7, 9, "month 13"},
      {2006, 3, 0, 13, 7, 9, "day 0 of 2006-03"},
      {2006, 1, 32, 13, 7, 9, "day 32 of 2006-01"},
      {2006, 4, 31, 13, 7, 9, "day 31 of 2006-04"},
      {2006, 2, 29, 13, 7, 9, "day 29 of 2006-02"},
      {1900, 2, 29, 13, 7, 9, "day 29 of 1900-02"},
      {2006, 3, 5, 24, 0, 0, "hour 24"},
      {2006, 3, 5, -1, 0, 0, "hour -1"},
      {2006, 3, 5, 13, 60, 0, "minute 60"},
      {2006, 3, 5, 13, 7, 61, "second 61"},
      {0, 0, 0, 0, 0, 0, "year 0"},  // an all-zero header: 1858 as a Julian date
      {1899, 12, 31, 0, 0, 0, "year 1899"},
  };
  for (const auto& r : rows) {
    hdr_struct h;
    h.year = r.year, h.mon = r.mon, h.day = r.day, h.hr = r.hr, h.mins = r.mins, h.sec = r.sec;
    EXPECT_EQ(dump_time_problem(h), r.problem)
        << r.year << "-" << r.mon << "-" << r.day << " " << r.hr << ":" << r.mins << ":" << r.sec;
  }
}

TEST_F(Reader, TimeProblemOfEachDumpAndOfTalvaTagsOnly) {
  Archive a(1, 1);
  a.repeat(1);  // no header yet
  Header bad;
  bad.mon = 13;
  a.dump(2, bad);
  a.repeat(3);  // keeps dump 2's record
  a.dump(4);
  open(a.save(dir));
  for (const char* want : {"no dump header decoded yet (TALVA tags only)", "month 13", "month 13", ""}) {
    ASSERT_EQ(next(), 0);
    EXPECT_EQ(header.time_problem, want);
    EXPECT_EQ(reader->dump_time_problem(), want);
  }
  open(a.save(dir));  // a new archive starts without a header again
  ASSERT_EQ(next(), 0);
  EXPECT_FALSE(reader->header_decoded());
}

// The reader constructed from a path: the file header read once, then each
// dump with its correlations and its header in radians and Julian days; the
// hour angle through float hours as the converters have always taken it.
TEST(ReaderFromPath, FileHeaderOnceThenDumpsWithTheirDecodedHeaders) {
  TempDir dir;
  Archive a(2, 3);
  Header h1;
  Header h2;
  h2.ha = -0.25, h2.md_sine = -0.25, h2.sec = 10;
  Header bad;
  bad.mon = 13;
  a.dump(1, h1);
  a.dump(2, h2);
  a.repeat(3);  // keeps the second dump's header
  a.dump(4, bad);
  talva::StringOutput out;
  ArchiveReader reader(a.save(dir), out);
  EXPECT_EQ(reader.file_header().nant, 2);
  EXPECT_EQ(reader.file_header().antnum, (std::vector<std::int32_t>{513, 769, 1025}));
  const Header* expected[] = {&h1, &h2, &h2};
  for (int d = 1; d <= 3; ++d) {
    SCOPED_TRACE(d);
    const std::optional<Dump> dump = reader.next();
    ASSERT_TRUE(dump.has_value());
    ASSERT_EQ(dump->vis.size(), 6u);
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(dump->vis[static_cast<std::size_t>(2 * k - 1)], Archive::word(d, k, 2));
    const Header& h = *expected[d - 1];
    EXPECT_EQ(dump->header.ha_hours, static_cast<float>(h.ha * R2D / 15.0));
    EXPECT_EQ(dump->header.ha_rad, dump->header.ha_hours / 3.8197f);  // to the bit
    EXPECT_NEAR(dump->header.ha_rad, h.ha, 1e-4);
    EXPECT_NEAR(dump->header.md_rad, std::asin(h.md_sine), 1e-6);
    EXPECT_EQ(dump->header.time_problem, "");
    // 5 March 2006 = MJD 53799
    EXPECT_NEAR(dump->header.jd, 2400000.5 + 53799 + (13 + (7 + h.sec / 60.0) / 60.0) / 24.0, 1e-9);
  }
  const std::optional<Dump> dated = reader.next();
  ASSERT_TRUE(dated.has_value());
  EXPECT_EQ(dated->header.time_problem, "month 13");
  EXPECT_EQ(dated->header.jd, 0.0);
  EXPECT_FALSE(reader.next().has_value());
  EXPECT_FALSE(reader.next().has_value());
}

TEST(ReaderFromPath, AnArchiveThatCannotBeOpenedOrReadStops) {
  TempDir dir;
  talva::StringOutput out;
  try {
    ArchiveReader reader(dir.file("missing"), out);
    FAIL() << "opened a missing archive";
  } catch (const talva::Stop& stop) {
    EXPECT_STREQ(stop.what(), "init failed");
  }
  EXPECT_EQ(out.text(), "failed to open : " + dir.file("missing") + "\n");
  talva::test::write_file(dir.file("short"), "abc");
  EXPECT_THROW(ArchiveReader(dir.file("short"), out), talva::Stop);
}

// Waiting for the writer covers the file header too: the reader says once
// that it waits; the stop messages are the caller's.
TEST(ReaderFromPath, AWaitingReaderWaitsForTheFileHeaderAndStopsInTheCallersWords) {
  TempDir dir;
  Archive a(2, 3);
  a.dump(1);
  const std::string path = dir.file("growing");
  talva::test::write_file(path, std::string(a.bytes.begin(), a.bytes.begin() + 10));
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    talva::test::write_file(path, std::string(a.bytes.begin(), a.bytes.end()));
  });
  talva::StringOutput out;
  ArchiveOptions options;
  options.wait = true;
  int waits = 0;
  options.on_header_wait = [&] { ++waits; };
  ArchiveReader reader(path, out, options);
  writer.join();
  EXPECT_EQ(waits, 1);
  EXPECT_EQ(reader.file_header().antnum, (std::vector<std::int32_t>{513, 769, 1025}));
  const std::optional<Dump> dump = reader.next();
  ASSERT_TRUE(dump.has_value());
  EXPECT_EQ(dump->vis[5], Archive::word(1, 3, 2));

  ArchiveOptions named;
  named.open_failed = "cannot open it";
  named.header_failed = "cannot read its file header";
  const std::pair<std::string, std::string> cases[] = {{dir.file("missing"), "cannot open it"},
                                                       {dir.file("short"), "cannot read its file header"}};
  talva::test::write_file(dir.file("short"), "abc");
  for (const auto& [file, message] : cases) {
    try {
      ArchiveReader refused(file, out, named);
      ADD_FAILURE() << file;
    } catch (const talva::Stop& stop) {
      EXPECT_EQ(stop.message(), message);
    }
  }
}
