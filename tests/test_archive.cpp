// The archive reader on archives built byte by byte here: file header limits,
// dump tags, header decoding and the accessors, correlation words, the
// verbose lines, truncated and corrupt dumps, and the waiting mode against a
// writer that appends in pieces.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "archive/archiv_util.h"
#include "archive/fp.h"
#include "support/testsupport.h"

using talva::test::TempDir;

namespace {

using Bytes = std::vector<std::uint8_t>;

void put_i32(Bytes& out, std::int32_t v) {
  std::uint8_t b[4];
  std::memcpy(b, &v, 4);
  out.insert(out.end(), b, b + 4);
}

void put_f32(Bytes& out, float v) {
  std::uint8_t b[4];
  std::memcpy(b, &v, 4);
  out.insert(out.end(), b, b + 4);
}

void put_fp(Bytes& block, std::size_t offset, double v) {
  FP_to_Byte(v, std::span<std::uint8_t, 4>(block.data() + offset, 4));
}

/// The fields of one dump header block, in the units the block stores.
struct Header {
  int day = 5, mon = 3, year_byte = 106;  // 5 March 2006
  int hr = 13, mins = 7, sec = 9;
  double ha = M_PI / 2, ra = 1.0, dec = -0.5;  // radians
  double ns = 0.01, md_sine = 0.5, east = 0.02, west = -0.03;
  double temp = 25.5;
  std::uint8_t mode = 1, byte12 = 0;
  int length = 96;
};

Bytes header_block(const Header& h) {
  Bytes b(static_cast<std::size_t>(h.length), 0);
  b[7] = h.mode;
  b[12] = h.byte12;
  b[16] = static_cast<std::uint8_t>(h.sec);
  b[17] = static_cast<std::uint8_t>(h.mins);
  b[18] = static_cast<std::uint8_t>(h.hr);
  b[28] = static_cast<std::uint8_t>(h.day);
  b[29] = static_cast<std::uint8_t>(h.mon);
  b[30] = static_cast<std::uint8_t>(h.year_byte);
  put_fp(b, 32, h.ra);
  put_fp(b, 36, h.dec);
  put_fp(b, 48, h.ha);
  put_fp(b, 52, h.ns);
  put_fp(b, 56, h.md_sine);
  put_fp(b, 60, h.east);
  put_fp(b, 64, h.west);
  put_fp(b, 68, 7.0);
  put_fp(b, 72, 8.0);
  put_fp(b, 76, 9.0);
  put_fp(b, 80, h.temp);
  return b;
}

/// An archive assembled in memory.
struct Archive {
  int nant = 3;
  int nbsln = 4;
  Bytes bytes;

  explicit Archive(int nant_ = 3, int nbsln_ = 4) : nant(nant_), nbsln(nbsln_) {
    put_i32(bytes, nant);
    put_i32(bytes, nbsln);
    for (int k = 1; k <= nbsln; ++k) put_i32(bytes, 256 * (k + 1) + 1);
  }
  /// Word 1 of item k is 1000 * dump + 10 * k + 1, word 2 the same + 2, so
  /// every word of every dump is distinct.
  static float word(int dump, int item, int w) { return static_cast<float>(1000 * dump + 10 * item + w); }

  void dump(int number, const char* key, const Bytes& block, std::int32_t length) {
    char k[8] = {};
    std::memcpy(k, key, std::min<std::size_t>(std::strlen(key), 8));
    bytes.insert(bytes.end(), k, k + 8);
    put_i32(bytes, length);
    bytes.insert(bytes.end(), block.begin(), block.end());
    for (int a = 0; a < nant; ++a)
      for (int c = 0; c < 3; ++c) {
        double x = -1.5 * a;
        std::uint8_t b[8];
        std::memcpy(b, &x, 8);
        bytes.insert(bytes.end(), b, b + 8);
      }
    for (int k2 = 1; k2 <= nbsln; ++k2) {
      put_f32(bytes, word(number, k2, 1));
      put_f32(bytes, word(number, k2, 2));
    }
  }
  void dump(int number, const Header& h) { dump(number, "TCC", header_block(h), h.length); }
  void repeat(int number) { dump(number, "TALVA", {}, 0); }

  std::string save(const TempDir& dir, const std::string& name = "arch.dat") const {
    std::string path = dir.file(name);
    talva::test::write_file(path, std::string(bytes.begin(), bytes.end()));
    return path;
  }
};

/// Captures what the process writes to standard output.
class StdoutCapture {
 public:
  explicit StdoutCapture(std::string path) : path_(std::move(path)) {
    std::fflush(stdout);
    saved_ = ::dup(1);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 1);
    ::close(fd);
  }
  std::string finish() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      ::dup2(saved_, 1);
      ::close(saved_);
      saved_ = -1;
    }
    return talva::test::read_file(path_);
  }
  ~StdoutCapture() { finish(); }

 private:
  std::string path_;
  int saved_ = -1;
};

/// Opens and reads the file header of a saved archive.
void open_archive(const std::string& path, int& nant, int& nbsln, std::vector<std::int32_t>& table) {
  ASSERT_EQ(init_archiv_(path.c_str()), 0);
  table.assign(16, 0);
  ASSERT_EQ(read_header_(nant, nbsln, table), 0);
}

class Reader : public ::testing::Test {
 protected:
  void SetUp() override {
    BufferHdr = hdr_struct{};
    VerboseDecode = 0;  // the flag is never reset by the reader itself
  }
  void TearDown() override { close_archiv_(); }
  TempDir dir;
};

TEST_F(Reader, OpenFailureNamesThePath) {
  StdoutCapture cap(dir.file("out"));
  const std::string path = dir.file("no-such-archive");
  EXPECT_EQ(init_archiv_(path.c_str()), -1);
  EXPECT_EQ(cap.finish(), "failed to open : " + path + "\n");
}

TEST_F(Reader, FileHeaderAndProductTable) {
  Archive a(3, 4);
  int nant = -7, nbsln = -7;
  std::vector<std::int32_t> table;
  open_archive(a.save(dir), nant, nbsln, table);
  EXPECT_EQ(nant, 3);
  EXPECT_EQ(numant, 3);
  EXPECT_EQ(nbsln, 4);
  EXPECT_EQ((std::vector<std::int32_t>(table.begin(), table.begin() + 5)),
            (std::vector<std::int32_t>{513, 769, 1025, 1281, 0}));
  EXPECT_EQ(archiv_util_offset_(), 8 + 16);
}

TEST_F(Reader, ShortFileHeader) {
  // only nant and nbsln: numant is set, the table read fails silently
  Archive a(42, 4);
  a.bytes.resize(8);
  StdoutCapture cap(dir.file("out"));
  ASSERT_EQ(init_archiv_(a.save(dir).c_str()), 0);
  int nant = 0, nbsln = 0;
  std::vector<std::int32_t> table(16);
  EXPECT_EQ(read_header_(nant, nbsln, table), -1);
  EXPECT_EQ(numant, 42);
  close_archiv_();
  // table cut inside its third entry
  Archive b(3, 4);
  b.bytes.resize(8 + 9);
  ASSERT_EQ(init_archiv_(b.save(dir, "b").c_str()), 0);
  EXPECT_EQ(read_header_(nant, nbsln, table), -1);
  close_archiv_();
  // two bytes only
  Archive c(3, 4);
  c.bytes.resize(2);
  numant = 5;
  ASSERT_EQ(init_archiv_(c.save(dir, "c").c_str()), 0);
  EXPECT_EQ(read_header_(nant, nbsln, table), -1);
  EXPECT_EQ(numant, 5);
  EXPECT_EQ(cap.finish(), "");
}

TEST_F(Reader, FileHeaderLimitsAreRefused) {
  int nant = 0, nbsln = 0;
  std::vector<std::int32_t> table(8, -99);
  struct Case {
    int nant, nbsln;
    bool ok;
  } cases[] = {{100, 8, true}, {0, 0, true}, {101, 2, false}, {-1, 2, false}, {3, -1, false}, {3, 9, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.nant) + " " + std::to_string(c.nbsln));
    Bytes b;
    put_i32(b, c.nant);
    put_i32(b, c.nbsln);
    for (int k = 0; k < 12; ++k) put_i32(b, 777);
    const std::string path = dir.file("h");
    talva::test::write_file(path, std::string(b.begin(), b.end()));
    std::fill(table.begin(), table.end(), -99);
    StdoutCapture cap(dir.file("out"));
    ASSERT_EQ(init_archiv_(path.c_str()), 0);
    EXPECT_EQ(read_header_(nant, nbsln, table), c.ok ? 0 : -1);
    const std::string said = cap.finish();
    if (c.ok) {
      EXPECT_EQ(said, "");
    } else {
      EXPECT_NE(said.find("read_header_"), std::string::npos) << said;
      // nothing was stored past the caller's table or from a refused header
      EXPECT_EQ(std::count(table.begin(), table.end(), -99), 8);
    }
    close_archiv_();
  }
}

TEST_F(Reader, DumpsTagsAccessorsAndCorrelations) {
  Archive a(3, 4);
  Header h1;
  h1.mode = 0xFF;  // mode byte -1, byte 12 different
  h1.byte12 = 5;
  a.dump(1, h1);
  a.repeat(2);
  Header h3;
  h3.day = 31, h3.mon = 12, h3.year_byte = 105, h3.hr = 23, h3.mins = 59, h3.sec = 58;
  h3.ha = -0.25, h3.ra = 4.5, h3.dec = 0.1, h3.md_sine = -0.25, h3.temp = -3.0, h3.mode = 7;
  h3.length = 400;
  a.dump(3, h3);
  const std::size_t header_end = 8 + 16;
  const std::size_t size1 = 12 + 96 + 3 * 24 + 4 * 8, size2 = 12 + 3 * 24 + 4 * 8;

  int nant, nbsln;
  std::vector<std::int32_t> table;
  open_archive(a.save(dir), nant, nbsln, table);
  std::vector<float> vis(2 * 5, -1.0f);

  ASSERT_EQ(read_dump_(nbsln, vis, 0), 0);
  EXPECT_EQ(archiv_util_offset_(), static_cast<long long>(header_end + size1));
  for (int k = 1; k <= 4; ++k) {
    EXPECT_EQ(vis[2 * k - 2], Archive::word(1, k, 1));
    EXPECT_EQ(vis[2 * k - 1], Archive::word(1, k, 2));
  }
  EXPECT_EQ(vis[8], -1.0f);  // the place past the block is left alone
  EXPECT_EQ(vis[9], -1.0f);

  int yr, mn, dy, hr, mi, se, mode;
  float ha, ra, dec, temp, ns, md, east, west, mdrad;
  auto fetch = [&] {
    read_dumppar_date_(yr, mn, dy);
    read_dumppar_time_(hr, mi, se);
    read_dumppar_mode_(mode);
    read_dumppar_ha_(ha);
    read_dumppar_ra_(ra);
    read_dumppar_dec_(dec);
    read_dumppar_temp_(temp);
    read_dumppar_tilts_(ns, md, east, west);
    read_dumppar_md_inrad_(mdrad);
  };
  auto expect_first = [&] {
    EXPECT_EQ(yr, 2006);
    EXPECT_EQ(mn, 3);
    EXPECT_EQ(dy, 5);
    EXPECT_EQ(hr, 13);
    EXPECT_EQ(mi, 7);
    EXPECT_EQ(se, 9);
    EXPECT_EQ(mode, -1);
    EXPECT_EQ(ha, 6.0f);
    EXPECT_FLOAT_EQ(ra, static_cast<float>(1.0 * R2D / 15));
    EXPECT_FLOAT_EQ(dec, static_cast<float>(-0.5 * R2D));
    EXPECT_EQ(temp, 25.5f);
    EXPECT_FLOAT_EQ(ns, static_cast<float>(0.01 * R2D));
    EXPECT_FLOAT_EQ(md, 30.0f);
    EXPECT_FLOAT_EQ(mdrad, static_cast<float>(M_PI / 6));
    EXPECT_FLOAT_EQ(east, static_cast<float>(0.02 * R2D));
    EXPECT_FLOAT_EQ(west, static_cast<float>(-0.03 * R2D));
    EXPECT_DOUBLE_EQ(BufferHdr.time, (13 + (7 + 9 / 60.0) / 60.0) / 24.0);
  };
  fetch();
  expect_first();
  EXPECT_EQ(BufferHdr.eflag, -1);
  EXPECT_EQ(BufferHdr.gcal, 9);

  // "TALVA": no header block, the previous values stay; new correlations
  ASSERT_EQ(read_dump_(nbsln, vis, 0), 0);
  EXPECT_EQ(archiv_util_offset_(), static_cast<long long>(header_end + size1 + size2));
  EXPECT_EQ(vis[0], Archive::word(2, 1, 1));
  EXPECT_EQ(vis[7], Archive::word(2, 4, 2));
  fetch();
  expect_first();

  ASSERT_EQ(read_dump_(nbsln, vis, 0), 0);
  EXPECT_EQ(vis[3], Archive::word(3, 2, 2));
  fetch();
  EXPECT_EQ(yr, 2005);
  EXPECT_EQ(mn, 12);
  EXPECT_EQ(dy, 31);
  EXPECT_EQ(hr, 23);
  EXPECT_EQ(mi, 59);
  EXPECT_EQ(se, 58);
  EXPECT_EQ(mode, 7);
  EXPECT_FLOAT_EQ(ha, static_cast<float>(-0.25 * R2D / 15));
  EXPECT_FLOAT_EQ(md, -14.477512f);
  EXPECT_EQ(temp, -3.0f);

  EXPECT_EQ(read_dump_(nbsln, vis, 0), -1);  // end of data
  EXPECT_EQ(archiv_util_dumps_read_(), 3);
}

TEST_F(Reader, FirstDumpTaggedTalvaKeepsZeros) {
  Archive a(0, 2);
  a.repeat(1);
  int nant, nbsln;
  std::vector<std::int32_t> table;
  open_archive(a.save(dir), nant, nbsln, table);
  std::vector<float> vis(4);
  ASSERT_EQ(read_dump_(nbsln, vis, 0), 0);
  int yr = -1, mn = -1, dy = -1, mode = -1;
  float ha = -1;
  read_dumppar_date_(yr, mn, dy);
  read_dumppar_mode_(mode);
  read_dumppar_ha_(ha);
  EXPECT_EQ(yr + mn + dy + mode, 0);
  EXPECT_EQ(ha, 0.0f);
  EXPECT_EQ(vis[3], Archive::word(1, 2, 2));
}

TEST_F(Reader, KeyComparison) {
  // "TALVA" up to the first NUL or the eighth byte; anything else has a header
  Archive a(1, 1);
  Header h;
  a.dump(1, "", header_block(h), h.length);  // empty key: header follows
  a.dump(2, "TALVAX", header_block(h), h.length);
  Bytes tag = {'T', 'A', 'L', 'V', 'A', 0, 'z', 'z'};
  a.bytes.insert(a.bytes.end(), tag.begin(), tag.end());
  put_i32(a.bytes, 5000);  // length of a "TALVA" tag is not used
  for (int i = 0; i < 24; ++i) a.bytes.push_back(0);
  put_f32(a.bytes, 1.5f);
  put_f32(a.bytes, 2.5f);
  int nant, nbsln;
  std::vector<std::int32_t> table;
  open_archive(a.save(dir), nant, nbsln, table);
  std::vector<float> vis(2);
  ASSERT_EQ(read_dump_(nbsln, vis, 0), 0);
  ASSERT_EQ(read_dump_(nbsln, vis, 0), 0);
  EXPECT_EQ(vis[1], Archive::word(2, 1, 2));
  ASSERT_EQ(read_dump_(nbsln, vis, 0), 0);
  EXPECT_EQ(vis[0], 1.5f);
  EXPECT_EQ(vis[1], 2.5f);
  EXPECT_EQ(read_dump_(nbsln, vis, 0), -1);
}

TEST_F(Reader, VerboseLinesByteForByte) {
  Archive a(0, 1);
  Header h1;  // 5 March 2006 13:07:09, ha bytes db 0f c9 01
  a.dump(1, h1);
  a.repeat(2);  // prints nothing
  Header h2;
  h2.day = 1, h2.mon = 1, h2.year_byte = 0, h2.hr = 0, h2.mins = 0, h2.sec = 0;
  h2.ha = -1.0, h2.ra = 6.0, h2.dec = -1.2, h2.east = -0.001, h2.west = 0.5, h2.md_sine = -1.0, h2.temp = 123.456;
  a.dump(3, h2);
  std::string out;
  {
    int nant, nbsln;
    std::vector<std::int32_t> table;
    open_archive(a.save(dir), nant, nbsln, table);
    std::vector<float> vis(2);
    StdoutCapture cap(dir.file("out"));
    archiv_util_setverbose_();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(read_dump_(nbsln, vis, 0), 0);
    out = cap.finish();
  }
  const std::uint8_t ha_bytes[4] = {0xDB, 0x0F, 0xC9, 0x01};
  const Bytes blk = header_block(h1);
  EXPECT_TRUE(std::equal(ha_bytes, ha_bytes + 4, blk.begin() + 48));
  EXPECT_EQ(out,
            "05 03 2006\n"
            "13:07:09\n"
            "HA :     6.0000\n"
            "RA :     3.8197\n"
            "DEC :   -28.6479\n"
            "NS TILT EAST :    1.15\n"
            "NS TILT WEST :   -1.72\n"
            "MD tilt :   30.00\n"
            "TEMP :   25.50 \n"
            "01 01 1900\n"
            "00:00:00\n"
            "HA :    -3.8197\n"
            "RA :    22.9183\n"
            "DEC :   -68.7549\n"
            "NS TILT EAST :   -0.06\n"
            "NS TILT WEST :   28.65\n"
            "MD tilt :  -90.00\n"
            "TEMP :  123.46 \n");
}

TEST_F(Reader, EmptyCorrelationBlock) {
  Archive a(2, 0);
  a.dump(1, Header{});
  a.dump(2, Header{});
  int nant, nbsln;
  std::vector<std::int32_t> table;
  open_archive(a.save(dir), nant, nbsln, table);
  EXPECT_EQ(nbsln, 0);
  std::span<float> none;
  EXPECT_EQ(read_dump_(nbsln, none, 0), 0);
  EXPECT_EQ(read_dump_(nbsln, none, 0), 0);
  EXPECT_EQ(read_dump_(nbsln, none, 0), -1);
}

TEST_F(Reader, TruncatedDumpIsEndOfData) {
  Archive a(3, 4);
  a.dump(1, Header{});
  a.dump(2, Header{});
  const std::size_t whole = a.bytes.size();
  const std::size_t dump2 = 12 + 96 + 72 + 32;
  // cut inside the tag, the header block, the antenna records and the correlations
  for (std::size_t keep : {std::size_t{5}, std::size_t{12 + 40}, std::size_t{12 + 96 + 30}, dump2 - 1}) {
    SCOPED_TRACE(keep);
    Archive b = a;
    b.bytes.resize(whole - dump2 + keep);
    int nant, nbsln;
    std::vector<std::int32_t> table;
    open_archive(b.save(dir), nant, nbsln, table);
    std::vector<float> vis(8);
    StdoutCapture cap(dir.file("out"));
    EXPECT_EQ(read_dump_(nbsln, vis, 0), 0);
    EXPECT_EQ(vis[7], Archive::word(1, 4, 2));
    EXPECT_EQ(read_dump_(nbsln, vis, 0), -1);
    EXPECT_EQ(read_dump_(nbsln, vis, 0), -1);
    EXPECT_EQ(cap.finish(), "");  // end of data is not an error
    close_archiv_();
  }
}

TEST_F(Reader, CorruptHeaderLengthEndsTheData) {
  for (std::int32_t length : {401, 83, 0, -5, 1 << 30}) {
    SCOPED_TRACE(length);
    Archive a(3, 4);
    a.dump(1, Header{});
    a.dump(2, Header{});
    const std::size_t third = a.bytes.size();
    Header big;
    big.length = 400;
    Bytes block = header_block(big);
    a.dump(3, "TCC", block, length);  // the bytes of a full block follow a wrong length
    a.dump(4, Header{});
    int nant, nbsln;
    std::vector<std::int32_t> table;
    open_archive(a.save(dir), nant, nbsln, table);
    std::vector<float> vis(8);
    StdoutCapture cap(dir.file("out"));
    EXPECT_EQ(read_dump_(nbsln, vis, 0), 0);
    EXPECT_EQ(read_dump_(nbsln, vis, 0), 0);
    std::fill(vis.begin(), vis.end(), -2.0f);
    EXPECT_EQ(read_dump_(nbsln, vis, 0), -1);
    EXPECT_EQ(read_dump_(nbsln, vis, 0), -1);  // no attempt to go on in a misaligned stream
    EXPECT_EQ(read_dump_(nbsln, vis, 1), -1);  // not even when waiting
    EXPECT_EQ(std::count(vis.begin(), vis.end(), -2.0f), 8);
    const std::string said = cap.finish();
    EXPECT_EQ(said, "read_dump_: dump 3 at byte offset " + std::to_string(third) + " is corrupt (header length " +
                        std::to_string(length) + ", expected 84 to 400); end of data\n");
    EXPECT_EQ(archiv_util_dumps_read_(), 2);
    close_archiv_();
  }
}

TEST_F(Reader, SmallestAndLargestHeaderBlocks) {
  Archive a(1, 2);
  Header h;
  h.length = 84;
  a.dump(1, h);
  h.length = 400;
  h.sec = 10;
  a.dump(2, h);
  int nant, nbsln;
  std::vector<std::int32_t> table;
  open_archive(a.save(dir), nant, nbsln, table);
  std::vector<float> vis(4);
  ASSERT_EQ(read_dump_(nbsln, vis, 0), 0);
  float temp = 0;
  read_dumppar_temp_(temp);  // bytes 80-83, the last ones read
  EXPECT_EQ(temp, 25.5f);
  ASSERT_EQ(read_dump_(nbsln, vis, 0), 0);
  EXPECT_EQ(vis[3], Archive::word(2, 2, 2));
  EXPECT_EQ(BufferHdr.sec, 10);
}

TEST_F(Reader, CallerBufferAndCountsAreChecked) {
  Archive a(3, 4);
  a.dump(1, Header{});
  int nant, nbsln;
  std::vector<std::int32_t> table;
  open_archive(a.save(dir), nant, nbsln, table);
  std::vector<float> big(12, -3.0f);
  StdoutCapture cap(dir.file("out"));
  // a buffer one word short: refused, nothing consumed, nothing written
  EXPECT_EQ(read_dump_(nbsln, std::span<float>(big.data(), 7), 0), -1);
  EXPECT_EQ(read_dump_(-1, big, 0), -1);
  EXPECT_EQ(std::count(big.begin(), big.end(), -3.0f), 12);
  EXPECT_NE(cap.finish().find("read_dump_"), std::string::npos);
  EXPECT_EQ(read_dump_(nbsln, std::span<float>(big.data(), 8), 0), 0);
  EXPECT_EQ(big[7], Archive::word(1, 4, 2));
  EXPECT_EQ(big[8], -3.0f);
  // a per-antenna count beyond the buffer, as left by a refused file header
  close_archiv_();
  open_archive(a.save(dir, "again"), nant, nbsln, table);
  numant = 101;
  StdoutCapture cap2(dir.file("out2"));
  EXPECT_EQ(read_dump_(nbsln, big, 0), -1);
  EXPECT_NE(cap2.finish().find("per-antenna"), std::string::npos);
  numant = 3;
}

TEST_F(Reader, WaitingModeAssemblesPieces) {
  Archive a(3, 4);
  a.dump(1, Header{});
  a.repeat(2);
  Header h3;
  h3.sec = 33;
  a.dump(3, h3);
  const std::size_t header_end = 8 + 16;
  const std::string path = dir.file("growing");
  // the file header and 7 bytes of the first tag are there at the start
  talva::test::write_file(path, std::string(a.bytes.begin(), a.bytes.begin() + header_end + 7));
  // pieces ending inside the tag, the header block, the antenna records,
  // between two dumps and inside the correlations
  const std::size_t cuts[] = {header_end + 11, header_end + 12 + 50, header_end + 12 + 96 + 30, header_end + 212,
                              header_end + 212 + 12 + 72 + 5, a.bytes.size() - 3, a.bytes.size()};
  std::thread writer([&] {
    std::size_t done = header_end + 7;
    for (std::size_t cut : cuts) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      std::FILE* f = std::fopen(path.c_str(), "ab");
      std::fwrite(a.bytes.data() + done, 1, cut - done, f);
      std::fclose(f);
      done = cut;
    }
  });
  int nant, nbsln;
  std::vector<std::int32_t> table;
  open_archive(path, nant, nbsln, table);
  std::vector<float> vis(8);
  long long expect_offset = header_end;
  const std::size_t sizes[] = {212, 12 + 72 + 32, 212};
  for (int d = 1; d <= 3; ++d) {
    ASSERT_EQ(read_dump_(nbsln, vis, 1), 0) << d;
    for (int k = 1; k <= 4; ++k) {
      EXPECT_EQ(vis[2 * k - 2], Archive::word(d, k, 1)) << d;
      EXPECT_EQ(vis[2 * k - 1], Archive::word(d, k, 2)) << d;
    }
    expect_offset += static_cast<long long>(sizes[d - 1]);
    EXPECT_EQ(archiv_util_offset_(), expect_offset);
  }
  int hr, mi, se;
  read_dumppar_time_(hr, mi, se);
  EXPECT_EQ(se, 33);
  writer.join();
  EXPECT_EQ(read_dump_(nbsln, vis, 0), -1);
}

}  // namespace
