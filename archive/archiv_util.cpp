// The archive reader: file header, dumps, the decoded dump record and its
// accessors.
#include "archive/archiv_util.h"

#include <star/pal.h>

#include "util/constants.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "archive/fp.h"
#include "util/interrupt.h"
#include "util/stop.h"

namespace talva::archive {

// Product codes and correlation words go from the file straight into the
// caller's int32 and float buffers.
static_assert(std::endian::native == std::endian::little, "the archive reader assumes a little-endian host");

namespace {

constexpr int kTagBytes = 12;
constexpr int kKeyBytes = 8;
constexpr int kAntennaRecordBytes = 24;
constexpr int kItemBytes = 8;
constexpr useconds_t kWaitMicroseconds = 500000;
// Stream buffer. Measured on 2000 dumps x 4608 products: the kernel copies
// out of the page cache fastest in large requests into a buffer whose
// address agrees with the file offset modulo the cache line (large reads
// cost about half as much per byte as dump-sized ones, and a misaligned
// destination costs twice as much again); the second copy, from this buffer
// to the caller's, costs less than the difference. 256 KiB rather than
// 1 MiB: the dumps are then still in the processor's cache when they are
// used, and fewer pages are touched (a 3000-dump gainsolve run: 46 -> 42 ms).
constexpr std::size_t kStreamBuffer = 256 * 1024;
constexpr std::size_t kAlign = 64;
constexpr std::size_t kPage = 4096;

std::int32_t le_int32(const unsigned char* p) {
  std::int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

double fp_at(std::span<const std::uint8_t> b, std::size_t offset) {
  return Byte_to_FP(std::span<const std::uint8_t, 4>(b.data() + offset, 4));
}

void verbose_line(talva::Output& out, const char* format, auto... values) {
  char line[80];
  std::snprintf(line, sizeof line, format, values...);
  out.line(line);
}

}  // namespace

ArchiveReader::ArchiveReader(talva::Output& out)
    : out_(out), storage_(std::make_unique_for_overwrite<unsigned char[]>(kStreamBuffer + kAlign + kPage)) {
  // A page-aligned start inside the storage.
  const auto addr = reinterpret_cast<std::uintptr_t>(storage_.get());
  buffer_ = storage_.get() + (kPage - addr % kPage) % kPage;
}

ArchiveReader::~ArchiveReader() { close_archiv_(); }

// Reads `size` bytes to `dst` through the stream buffer. A short read is
// continued after the bytes already there, every half second, while `rt`
// is nonzero; with `rt` = 0 it fails at the end of the file (the bytes read
// so far are consumed). The dump counter and byte offset name a corrupt dump
// in the message, and a corrupt dump ends the data for good (the stream can
// no longer be trusted to be aligned).
bool ArchiveReader::read_block(void* dst, std::size_t size, int rt) {
  auto* bytes = static_cast<unsigned char*>(dst);
  std::size_t got = 0;
  for (;;) {
    const std::size_t k = std::min(size - got, buffer_end_ - buffer_pos_);
    if (k > 0) std::memcpy(bytes + got, buffer_ + buffer_pos_, k);
    buffer_pos_ += k;
    got += k;
    byte_offset_ += static_cast<long long>(k);
    if (got == size) return true;
    // The buffer is empty, and the file position is byte_offset: refill it
    // at the same offset modulo the cache line.
    const std::size_t start = static_cast<std::size_t>(byte_offset_) % kAlign;
    const ssize_t n = ::read(fd_, buffer_ + start, kStreamBuffer);
    if (n > 0) {
      buffer_pos_ = start;
      buffer_end_ = start + static_cast<std::size_t>(n);
      continue;
    }
    // SIGINT/SIGTERM: the caller stops (a read or a wait for the writer is cut short).
    if (talva::interrupt_signal() != 0) return false;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {  // a failing device is not the end of the data, and waiting will not mend it
      out_.line("archive read error at byte offset " + std::to_string(byte_offset_) + ": " + std::strerror(errno));
      data_ended_ = true;
      return false;
    }
    if (rt == 0) return false;
    if (on_wait_) std::exchange(on_wait_, nullptr)();
    usleep(kWaitMicroseconds);  // the writer may append meanwhile
  }
}

int ArchiveReader::init_archiv_(const std::string& infil) {
  close_archiv_();
  fd_ = ::open(infil.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    out_.line("failed to open : " + infil);
    return -1;
  }
  buffer_pos_ = buffer_end_ = 0;
  byte_offset_ = 0;
  dumps_read_ = 0;
  data_ended_ = false;
  long_header_warned_ = false;
  header_decoded_ = false;
  return 0;
}

int ArchiveReader::read_header_(int& nant, int& nbsln, std::span<std::int32_t> antnum) {
  return read_file_header(nant, nbsln, antnum, 0);
}

int ArchiveReader::read_file_header(int& nant, int& nbsln, std::span<std::int32_t> antnum, int rt) {
  if (fd_ < 0) return -1;
  unsigned char word[4];
  if (!read_block(word, sizeof word, rt)) return -1;
  nant = le_int32(word);
  numant_ = nant;
  if (nant < 0 || nant > kMaxAntennaRecords) {
    out_.line("read_header_: the archive gives " + std::to_string(nant) + " per-antenna records per dump; at most " +
              std::to_string(kMaxAntennaRecords) + " are allowed");
    return -1;
  }
  if (!read_block(word, sizeof word, rt)) return -1;
  nbsln = le_int32(word);
  if (nbsln < 0 || static_cast<std::size_t>(nbsln) > antnum.size()) {
    out_.line("read_header_: the archive gives " + std::to_string(nbsln) +
              " correlation products; the product table holds 0 to " + std::to_string(antnum.size()));
    return -1;
  }
  if (!read_block(antnum.data(), static_cast<std::size_t>(nbsln) * sizeof(std::int32_t), rt)) return -1;
  return 0;
}

ArchiveReader::ArchiveReader(const std::string& path, talva::Output& out, ArchiveOptions options) : ArchiveReader(out) {
  options_ = std::move(options);
  verbose_ = options_.verbose;
  if (init_archiv_(path) != 0) talva::stop(options_.open_failed);
  file_header_.antnum.resize(static_cast<std::size_t>(std::max(options_.max_products, 0)));
  on_wait_ = options_.on_header_wait;
  const int status =
      read_file_header(file_header_.nant, file_header_.nbsln, file_header_.antnum, options_.wait ? 1 : 0);
  on_wait_ = nullptr;
  if (status != 0) {
    talva::stop_if_interrupted();
    talva::stop(options_.header_failed);
  }
  file_header_.antnum.resize(static_cast<std::size_t>(file_header_.nbsln));
}

std::optional<Dump> ArchiveReader::next() {
  Dump d;
  if (read_dump_view_(file_header_.nbsln, d.vis, options_.wait ? 1 : 0) != 0) return std::nullopt;
  d.header = dump_header();
  return d;
}

DumpHeader ArchiveReader::dump_header() const {
  DumpHeader h;
  h.ha_hours = static_cast<float>(hdr_.ha * R2D / 15.0);
  // Radians -> float hours -> radians, both in float: kept bit for bit (see DumpHeader::ha_rad).
  h.ha_rad = h.ha_hours / kHaHoursPerRadian;
  read_dumppar_md_inrad_(h.md_rad);
  h.time_problem = dump_time_problem();
  if (h.time_problem.empty()) h.jd = dump_julian_date();
  h.ra_hours = static_cast<float>(hdr_.ra * R2D / 15.0);
  h.dec_deg = static_cast<float>(hdr_.dec * R2D);
  h.temp_c = static_cast<float>(hdr_.Temperature);
  h.ns_tilt_deg = static_cast<float>(hdr_.NS_Tilt * R2D);
  h.md_tilt_deg = static_cast<float>(hdr_.MD_Tilt * R2D);
  h.east_tilt_deg = static_cast<float>(hdr_.East_Tilt * R2D);
  h.west_tilt_deg = static_cast<float>(hdr_.West_Tilt * R2D);
  h.year = hdr_.year;
  h.mon = hdr_.mon;
  h.day = hdr_.day;
  h.hr = hdr_.hr;
  h.mins = hdr_.mins;
  h.sec = hdr_.sec;
  h.mode = hdr_.mode;
  return h;
}

int ArchiveReader::read_dump_view_(int nbsln, std::span<const float>& vis, int rt) {
  vis = {};
  if (fd_ < 0 || data_ended_) return -1;
  if (nbsln < 0) {
    out_.line("read_dump_: " + std::to_string(nbsln) + " correlation products do not fit a buffer of 0 values");
    return -1;
  }
  // A file header that gave a count outside the format was refused; the
  // dumps behind it are not read either.
  if (numant_ < 0 || numant_ > kMaxAntennaRecords) {
    out_.line("read_dump_: " + std::to_string(numant_) + " per-antenna records per dump; at most " +
              std::to_string(kMaxAntennaRecords) + " are allowed");
    return -1;
  }
  const int numant = numant_;
  const long long dump_start = byte_offset_;
  // End of data inside a dump is final: its first bytes are consumed, and a
  // later call would start in the middle of the dump.
  auto cut_short = [&] {
    if (byte_offset_ != dump_start) data_ended_ = true;
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
    out_.line("read_dump_: dump " + std::to_string(dumps_read_ + 1) + " at byte offset " + std::to_string(dump_start) +
              " is corrupt (header length " + std::to_string(length) + ", expected " +
              std::to_string(kMinHeaderLength) + " to " + std::to_string(kMaxHeaderSkip) + "); end of data");
    data_ended_ = true;
    return -1;
  }

  // 2. the header block; a "TALVA" tag has none and the dump record keeps
  // the previous dump's values
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
    if (length > kMaxHeaderLength && !long_header_warned_) {
      out_.line("read_dump_: dump " + std::to_string(dumps_read_ + 1) + " at byte offset " +
                std::to_string(dump_start) + " has a header block of " + std::to_string(length) + " bytes; the first " +
                std::to_string(kMaxHeaderLength) + " are decoded and the rest skipped (reported once per run)");
      long_header_warned_ = true;
    }
    DecodeHeader(std::span<const std::uint8_t>(tccbuffer.data(), kept), hdr_, verbose_ ? &out_ : nullptr);
    header_decoded_ = true;
  }

  // 3. the per-antenna records, read and dropped
  std::array<unsigned char, kMaxAntennaRecords * kAntennaRecordBytes> ant_vec;
  if (!read_block(ant_vec.data(), antenna_bytes, rt)) return cut_short();

  // 4. the correlations, left in the stream buffer where it holds them
  // whole, else read into the reader's own buffer, in file word order
  const std::size_t bytes = static_cast<std::size_t>(nbsln) * kItemBytes;
  const bool aligned = reinterpret_cast<std::uintptr_t>(buffer_ + buffer_pos_) % alignof(float) == 0;
  std::span<const float> view;
  if (aligned && buffer_end_ - buffer_pos_ >= bytes) {
    // The buffer's start agrees with the file offset modulo 64, so the items
    // are aligned where the file puts them at a multiple of 4 bytes (always,
    // unless a header block's length is not a multiple of 4: then a copy).
    view = {std::launder(reinterpret_cast<const float*>(buffer_ + buffer_pos_)), 2 * static_cast<std::size_t>(nbsln)};
    buffer_pos_ += bytes;
    byte_offset_ += static_cast<long long>(bytes);
  } else {
    spill_.resize(2 * static_cast<std::size_t>(nbsln));
    if (!read_block(spill_.data(), bytes, rt)) return cut_short();
    view = spill_;
  }

  ++dumps_read_;
  vis = view;
  return 0;
}

std::string dump_time_problem(const hdr_struct& h) {
  auto two = [](int v) { return (v < 10 && v >= 0 ? "0" : "") + std::to_string(v); };
  if (h.year < 1900 || h.year > 2200) return "year " + std::to_string(h.year);
  if (h.mon < 1 || h.mon > 12) return "month " + std::to_string(h.mon);
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (h.year % 4 == 0 && h.year % 100 != 0) || h.year % 400 == 0;
  const int days = kDays[h.mon - 1] + (h.mon == 2 && leap ? 1 : 0);
  if (h.day < 1 || h.day > days)
    return "day " + std::to_string(h.day) + " of " + std::to_string(h.year) + "-" + two(h.mon);
  if (h.hr < 0 || h.hr > 23) return "hour " + std::to_string(h.hr);
  if (h.mins < 0 || h.mins > 59) return "minute " + std::to_string(h.mins);
  if (h.sec < 0 || h.sec > 60) return "second " + std::to_string(h.sec);  // 60: a leap second
  return "";
}

std::string ArchiveReader::dump_time_problem() const {
  if (!header_decoded_) return "no dump header decoded yet (TALVA tags only)";
  return archive::dump_time_problem(hdr_);
}

int ArchiveReader::close_archiv_() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  buffer_pos_ = buffer_end_ = 0;
  return 0;
}

void DecodeHeader(std::span<const std::uint8_t> lbuffer, hdr_struct& h, talva::Output* verbose) {
  // The decoder reads bytes 5-83; a shorter block is read as if zero-padded.
  std::array<std::uint8_t, kMinHeaderLength> padded{};
  if (lbuffer.size() < padded.size()) {
    std::memcpy(padded.data(), lbuffer.data(), lbuffer.size());
    lbuffer = padded;
  }
  const auto b = lbuffer;
  auto sbyte = [&](std::size_t i) { return static_cast<signed char>(b[i]); };

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

  if (verbose) {
    verbose_line(*verbose, "%2.2d %2.2d %d", int{b[28]}, int{b[29]}, b[30] + 1900);
    verbose_line(*verbose, "%2.2d:%2.2d:%2.2d", int{b[18]}, int{b[17]}, int{b[16]});
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
  if (verbose) {
    verbose_line(*verbose, "HA : %10.4f", h.ha * R2D / 15.0);
    verbose_line(*verbose, "RA : %10.4f", h.ra * R2D / 15.0);
    verbose_line(*verbose, "DEC : %10.4f", h.dec * R2D);
  }

  h.NS_Tilt = fp_at(b, 52);
  h.MD_Tilt = std::asin(fp_at(b, 56));  // the header carries the sine
  h.East_Tilt = fp_at(b, 60);
  h.West_Tilt = fp_at(b, 64);
  h.MMeridian = fp_at(b, 68);
  if (verbose) {
    verbose_line(*verbose, "NS TILT EAST : %7.2f", h.East_Tilt * R2D);
    verbose_line(*verbose, "NS TILT WEST : %7.2f", h.West_Tilt * R2D);
    verbose_line(*verbose, "MD tilt : %7.2f", h.MD_Tilt * R2D);
  }

  h.east_lo_phase = fp_at(b, 72);
  h.west_lo_phase = fp_at(b, 76);
  h.mode = sbyte(7);
  h.Temperature = fp_at(b, 80);
  if (verbose) verbose_line(*verbose, "TEMP : %7.2f ", h.Temperature);
}

void ArchiveReader::read_dumppar_md_inrad_(float& md_tilt) const { md_tilt = static_cast<float>(hdr_.MD_Tilt); }

void UndatedDumps::left_out(int dump, const std::string& problem, talva::Output& out) {
  if (++count_ > kNamed) return;
  out.line(" dump " + std::to_string(dump) + ": impossible date or time in its header (" + problem +
           "); dump left out" + (count_ == kNamed ? " (further ones counted at the end)" : ""));
}

std::string UndatedDumps::summary() const {
  return " " + std::to_string(count_) + " dumps with an impossible date or time in their header left out";
}

double ArchiveReader::dump_julian_date() const {
  double mjd = 0.0;
  int status = 0;
  palCldj(hdr_.year, hdr_.mon, hdr_.day, &mjd, &status);  // a bad date leaves mjd as PAL sets it
  return mjd + ((hdr_.sec / 60.0 + hdr_.mins) / 60.0 + hdr_.hr) / 24.0 + talva::kMjdToJd;
}

}  // namespace talva::archive
