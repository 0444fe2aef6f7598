// The archive reader: file header, dumps, the decoded dump record and its
// accessors.
#include "archive/archiv_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/fp.h"

// Product codes and correlation words go from the file straight into the
// caller's int32 and float buffers.
static_assert(std::endian::native == std::endian::little, "the archive reader assumes a little-endian host");

hdr_struct BufferHdr;
int numant = 0;
int VerboseDecode = 0;

namespace {

constexpr int kTagBytes = 12;
constexpr int kKeyBytes = 8;
constexpr int kAntennaRecordBytes = 24;
constexpr int kItemBytes = 8;
constexpr useconds_t kWaitMicroseconds = 500000;
// Stream buffer. Measured on 2000 dumps x 4608 products: the kernel copies
// out of the page cache fastest in requests of about 1 MiB into a buffer
// whose address agrees with the file offset modulo the cache line (large
// reads cost about half as much per byte as dump-sized ones, and a
// misaligned destination costs twice as much again); the second copy, from
// this buffer to the caller's, costs less than the difference.
constexpr std::size_t kStreamBuffer = 1024 * 1024;
constexpr std::size_t kAlign = 64;

// Module state beside the named globals: the dump counter and byte
// offset name a corrupt dump in the message, and a corrupt dump ends the
// data for good (the stream can no longer be trusted to be aligned).
int arch_fd = -1;
// Static storage: no allocation per archive, and a page-aligned start.
alignas(4096) std::array<unsigned char, kStreamBuffer + kAlign> stream_buffer;
std::size_t buffer_pos = 0;  // next unconsumed byte of stream_buffer
std::size_t buffer_end = 0;  // end of the bytes read into it
long long byte_offset = 0;   // bytes consumed by the caller (read but unconsumed bytes not counted)
int dumps_read = 0;
bool data_ended = false;
bool long_header_warned = false;  // a header block above 400 bytes is reported once per run

/// Reads `size` bytes to `dst` through the stream buffer. A short read is
/// continued after the bytes already there, every half second, while `rt`
/// is nonzero; with `rt` = 0 it fails at the end of the file (the bytes read
/// so far are consumed).
bool read_block(void* dst, std::size_t size, int rt) {
  auto* bytes = static_cast<unsigned char*>(dst);
  std::size_t got = 0;
  for (;;) {
    const std::size_t k = std::min(size - got, buffer_end - buffer_pos);
    if (k > 0) std::memcpy(bytes + got, stream_buffer.data() + buffer_pos, k);
    buffer_pos += k;
    got += k;
    byte_offset += static_cast<long long>(k);
    if (got == size) return true;
    // The buffer is empty, and the file position is byte_offset: refill it
    // at the same offset modulo the cache line.
    const std::size_t start = static_cast<std::size_t>(byte_offset) % kAlign;
    const ssize_t n = ::read(arch_fd, stream_buffer.data() + start, kStreamBuffer);
    if (n > 0) {
      buffer_pos = start;
      buffer_end = start + static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {  // a failing device is not the end of the data, and waiting will not mend it
      std::printf("archive read error at byte offset %lld: %s\n", byte_offset, std::strerror(errno));
      data_ended = true;
      return false;
    }
    if (rt == 0) return false;
    usleep(kWaitMicroseconds);  // the writer may append meanwhile
  }
}

std::int32_t le_int32(const unsigned char* p) {
  std::int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

double fp_at(std::span<const std::uint8_t> b, std::size_t offset) {
  return Byte_to_FP(std::span<const std::uint8_t, 4>(b.data() + offset, 4));
}

void verbose_line(const char* format, auto... values) {
  char line[80];
  std::snprintf(line, sizeof line, format, values...);
  std::printf("%s\n", line);
}

}  // namespace

int init_archiv_(const char* infil) {
  close_archiv_();
  arch_fd = ::open(infil, O_RDONLY | O_CLOEXEC);
  if (arch_fd < 0) {
    std::printf("failed to open : %s\n", infil);
    return -1;
  }
  buffer_pos = buffer_end = 0;
  byte_offset = 0;
  dumps_read = 0;
  data_ended = false;
  long_header_warned = false;
  return 0;
}

int read_header_(int& nant, int& nbsln, std::span<std::int32_t> antnum) {
  if (arch_fd < 0) return -1;
  unsigned char word[4];
  if (!read_block(word, sizeof word, 0)) return -1;
  nant = le_int32(word);
  numant = nant;
  if (nant < 0 || nant > kMaxAntennaRecords) {
    std::printf("read_header_: the archive gives %d per-antenna records per dump; at most %d are allowed\n", nant,
                kMaxAntennaRecords);
    return -1;
  }
  if (!read_block(word, sizeof word, 0)) return -1;
  nbsln = le_int32(word);
  if (nbsln < 0 || static_cast<std::size_t>(nbsln) > antnum.size()) {
    std::printf("read_header_: the archive gives %d correlation products; the product table holds 0 to %zu\n",
                nbsln, antnum.size());
    return -1;
  }
  if (!read_block(antnum.data(), static_cast<std::size_t>(nbsln) * sizeof(std::int32_t), 0)) return -1;
  return 0;
}

int read_dump_(int nbsln, std::span<float> vis, int rt) {
  if (arch_fd < 0 || data_ended) return -1;
  if (nbsln < 0 || static_cast<std::size_t>(nbsln) > vis.size() / 2) {
    std::printf("read_dump_: %d correlation products do not fit a buffer of %zu values\n", nbsln, vis.size());
    return -1;
  }
  if (numant < 0 || numant > kMaxAntennaRecords) {
    std::printf("read_dump_: %d per-antenna records per dump; at most %d are allowed\n", numant,
                kMaxAntennaRecords);
    return -1;
  }
  const long long dump_start = byte_offset;
  // End of data inside a dump is final: its first bytes are consumed, and a
  // later call would start in the middle of the dump.
  auto cut_short = [&] {
    if (byte_offset != dump_start) data_ended = true;
    return -1;
  };

  // 1. the tag
  std::array<unsigned char, kTagBytes> mhdr_struct;
  const std::size_t antenna_bytes = static_cast<std::size_t>(numant) * kAntennaRecordBytes;
  if (!read_block(mhdr_struct.data(), mhdr_struct.size(), rt)) return cut_short();
  const bool repeat = std::strncmp(reinterpret_cast<const char*>(mhdr_struct.data()), "TALVA", kKeyBytes) == 0;
  const std::int32_t length = le_int32(mhdr_struct.data() + kKeyBytes);

  // A "TALVA" tag carries no header block, so its length field means nothing.
  // Otherwise a length below 84 or above the sanity bound marks a misaligned
  // stream; a block longer than the 400-byte buffer is decoded from its first
  // 400 bytes and the rest is skipped.
  if (!repeat && (length < kMinHeaderLength || length > kMaxHeaderSkip)) {
    std::printf("read_dump_: dump %d at byte offset %lld is corrupt (header length %d, expected %d to %d); end of data\n",
                dumps_read + 1, dump_start, length, kMinHeaderLength, kMaxHeaderSkip);
    data_ended = true;
    return -1;
  }

  // 2. the header block; a "TALVA" tag has none and BufferHdr keeps the
  // previous dump's values
  if (!repeat) {
    std::array<std::uint8_t, kMaxHeaderLength> tccbuffer;
    const std::size_t kept = static_cast<std::size_t>(std::min(length, kMaxHeaderLength));
    if (!read_block(tccbuffer.data(), kept, rt)) return cut_short();
    std::array<std::uint8_t, kMaxHeaderLength> excess;
    for (std::size_t left = static_cast<std::size_t>(length) - kept; left > 0;) {
      const std::size_t k = std::min(left, excess.size());
      if (!read_block(excess.data(), k, rt)) return cut_short();
      left -= k;
    }
    if (length > kMaxHeaderLength && !long_header_warned) {
      std::printf("read_dump_: dump %d at byte offset %lld has a header block of %d bytes; the first %d are decoded "
                  "and the rest skipped (reported once per run)\n",
                  dumps_read + 1, dump_start, length, kMaxHeaderLength);
      long_header_warned = true;
    }
    DecodeHeader(std::span<const std::uint8_t>(tccbuffer.data(), kept));
  }

  // 3. the per-antenna records, read and dropped
  std::array<unsigned char, kMaxAntennaRecords * kAntennaRecordBytes> ant_vec;
  if (!read_block(ant_vec.data(), antenna_bytes, rt)) return cut_short();

  // 4. the correlations, into the caller's buffer in file word order
  if (!read_block(vis.data(), static_cast<std::size_t>(nbsln) * kItemBytes, rt)) return cut_short();

  ++dumps_read;
  return 0;
}

int close_archiv_() {
  if (arch_fd >= 0) {
    ::close(arch_fd);
    arch_fd = -1;
  }
  buffer_pos = buffer_end = 0;
  return 0;
}

void archiv_util_setverbose_() { VerboseDecode = 1; }

long long archiv_util_offset_() { return byte_offset; }

int archiv_util_dumps_read_() { return dumps_read; }

void DecodeHeader(std::span<const std::uint8_t> lbuffer) {
  // The decoder reads bytes 5-83; a shorter block is read as if zero-padded.
  std::array<std::uint8_t, kMinHeaderLength> padded{};
  if (lbuffer.size() < padded.size()) {
    std::memcpy(padded.data(), lbuffer.data(), lbuffer.size());
    lbuffer = padded;
  }
  const auto b = lbuffer;
  auto sbyte = [&](std::size_t i) { return static_cast<signed char>(b[i]); };
  hdr_struct& h = BufferHdr;

  h.icode = sbyte(5);
  h.Header_Id = sbyte(6);
  h.eflag = sbyte(7);
  h.stop = sbyte(8);
  h.precesion = sbyte(9);
  h.phsw = sbyte(10);
  h.bmsw = sbyte(11);
  h.phsm = sbyte(13);
  h.ntc = sbyte(14);
  h.TCC_Cycle_Max = sbyte(15);
  h.gcal = sbyte(16);

  if (VerboseDecode) {
    verbose_line("%2.2d %2.2d %d", int{b[28]}, int{b[29]}, b[30] + 1900);
    verbose_line("%2.2d:%2.2d:%2.2d", int{b[18]}, int{b[17]}, int{b[16]});
  }

  h.sec = b[16];
  h.mins = b[17];
  h.hr = b[18];
  h.time = (h.hr + (h.mins + h.sec / 60.0) / 60.0) / 24.0;
  h.year = b[30] + 1900;
  h.mon = b[29];
  h.day = b[28];

  h.ha = fp_at(b, 48);
  h.ra = fp_at(b, 32);
  h.dec = fp_at(b, 36);
  if (VerboseDecode) {
    verbose_line("HA : %10.4f", h.ha * R2D / 15.0);
    verbose_line("RA : %10.4f", h.ra * R2D / 15.0);
    verbose_line("DEC : %10.4f", h.dec * R2D);
  }

  h.NS_Tilt = fp_at(b, 52);
  h.MD_Tilt = std::asin(fp_at(b, 56));  // the header carries the sine
  h.East_Tilt = fp_at(b, 60);
  h.West_Tilt = fp_at(b, 64);
  h.MMeridian = fp_at(b, 68);
  if (VerboseDecode) {
    verbose_line("NS TILT EAST : %7.2f", h.East_Tilt * R2D);
    verbose_line("NS TILT WEST : %7.2f", h.West_Tilt * R2D);
    verbose_line("MD tilt : %7.2f", h.MD_Tilt * R2D);
  }

  h.east_lo_phase = fp_at(b, 72);
  h.west_lo_phase = fp_at(b, 76);
  h.mode = sbyte(7);
  h.Temperature = fp_at(b, 80);
  if (VerboseDecode) verbose_line("TEMP : %7.2f ", h.Temperature);
}

void read_dumppar_ra_(float& ra) { ra = static_cast<float>(BufferHdr.ra * R2D / 15.0); }
void read_dumppar_dec_(float& dec) { dec = static_cast<float>(BufferHdr.dec * R2D); }
void read_dumppar_ha_(float& ha) { ha = static_cast<float>(BufferHdr.ha * R2D / 15.0); }
void read_dumppar_temp_(float& temp) { temp = static_cast<float>(BufferHdr.Temperature); }

void read_dumppar_date_(int& yr, int& mn, int& day) {
  yr = BufferHdr.year;
  mn = BufferHdr.mon;
  day = BufferHdr.day;
}

void read_dumppar_time_(int& hr, int& min, int& sec) {
  hr = BufferHdr.hr;
  min = BufferHdr.mins;
  sec = BufferHdr.sec;
}

void read_dumppar_mode_(int& mode) { mode = BufferHdr.mode; }

void read_dumppar_tilts_(float& ns_tilt, float& md_tilt, float& east_tilt, float& west_tilt) {
  ns_tilt = static_cast<float>(BufferHdr.NS_Tilt * R2D);
  md_tilt = static_cast<float>(BufferHdr.MD_Tilt * R2D);
  east_tilt = static_cast<float>(BufferHdr.East_Tilt * R2D);
  west_tilt = static_cast<float>(BufferHdr.West_Tilt * R2D);
}

void read_dumppar_md_inrad_(float& md_tilt) { md_tilt = static_cast<float>(BufferHdr.MD_Tilt); }
