#pragma once
// The archive reader: the only code that touches a correlator archive file.
//
// An ArchiveReader owns its open file, its stream buffer, the per-antenna
// record count `numant` of the file header, and the decoded record of the
// latest dump header (`BufferHdr`). Its messages go to the program's output
// object. Constructed from a path it opens the archive and reads the file
// header at once (a talva::Stop when it cannot), and next() hands out each
// dump with its decoded header: the one way the programs read an archive.
// Inside, next() is built on the routines of the instrument's software
// (init_archiv_, read_header_, read_dump_view_), which return 0 for success,
// -1 for failure or end of data.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "util/constants.h"
#include "util/output.h"

namespace talva::archive {

/// Degrees per radian used by the archive reader.
inline constexpr double R2D = talva::kArchiveDegPerRad;

/// Limits of the format.
inline constexpr int kMaxHeaderLength = 400;    ///< bytes of a dump header block
inline constexpr int kMinHeaderLength = 84;     ///< the decoder reads bytes 5..83
inline constexpr int kMaxAntennaRecords = 100;  ///< per-antenna records per dump
/// Longest header block read (its first 400 bytes decoded, the rest
/// skipped); a longer one marks a misaligned stream.
inline constexpr int kMaxHeaderSkip = 64 * 1024;

/// The decoded dump header (BufferHdr).
struct hdr_struct {
  double time = 0;                 ///< day fraction (hr + (mins + sec/60)/60)/24
  double ha = 0, ra = 0, dec = 0;  ///< radians
  double east_lo_phase = 0, west_lo_phase = 0;
  double Temperature = 0;  ///< degrees Celsius
  double NS_Tilt = 0;
  double MD_Tilt = 0;  ///< arcsine of the stored sine, radians
  double East_Tilt = 0, West_Tilt = 0;
  double MMeridian = 0;
  int year = 0, mon = 0, day = 0, hr = 0, mins = 0, sec = 0;
  signed char ntc = 0, gcal = 0, stop = 0, phsw = 0, bmsw = 0, mode = 0, phsm = 0, icode = 0, eflag = 0, precesion = 0,
              Header_Id = 0, TCC_Cycle_Max = 0;
};

/// Decodes one header block into h; with `verbose`, prints the date, time,
/// pointing, tilts and temperature there. A block shorter than 84 bytes is
/// read as if zero-padded.
void DecodeHeader(std::span<const std::uint8_t> lbuffer, hdr_struct& h, talva::Output* verbose);

/// Empty when the decoded date and time can be those of an observation;
/// else what is wrong ("month 13", "day 32 of 2006-01", "hour 24"). Years
/// 1900 to 2200 are accepted (an all-zero header would date a dump 1858).
std::string dump_time_problem(const hdr_struct& h);

/// Counts the dumps left out for a header with no possible date and time,
/// naming the first ten on `out`: " dump N: impossible date or time in its
/// header (WHY); dump left out", the tenth adding " (further ones counted at
/// the end)".
class UndatedDumps {
 public:
  void left_out(int dump, const std::string& problem, talva::Output& out);
  int count() const { return count_; }
  /// " N dumps with an impossible date or time in their header left out"
  std::string summary() const;

 private:
  static constexpr int kNamed = 10;
  int count_ = 0;
};

/// The file header of an archive.
struct ArchiveFileHeader {
  int nant = 0;                      ///< per-antenna records per dump
  int nbsln = 0;                     ///< correlation products per dump
  std::vector<std::int32_t> antnum;  ///< their product codes, nbsln entries
};

/// What the programs take from a dump's header, in the units their names say.
/// The single-precision values are the decoded record's, rounded once at the
/// end, as the instrument's software hands them out.
struct DumpHeader {
  /// Hour angle: the header's radians turned into float hours (as the
  /// instrument's software hands it out) and back with 3.8197 hours per
  /// radian in float. Both roundings are kept on purpose: the records'
  /// (u, v) and every output made of them stay the same to the bit.
  float ha_rad = 0;
  float md_rad = 0;          ///< meridian distance (the MD tilt), radians; NaN when its sine is damaged
  double jd = 0;             ///< Julian date of the header's date and time (whole seconds)
  std::string time_problem;  ///< empty when the date and time can be an observation's (then jd holds)
  float ha_hours = 0, ra_hours = 0, dec_deg = 0;
  float temp_c = 0;  ///< degrees Celsius
  float ns_tilt_deg = 0, md_tilt_deg = 0, east_tilt_deg = 0, west_tilt_deg = 0;
  int year = 0, mon = 0, day = 0, hr = 0, mins = 0, sec = 0;
  int mode = 0;  ///< the sign-extended mode byte
};

/// One dump as ArchiveReader::next hands it out.
struct Dump {
  std::span<const float> vis;  ///< the 2 * nbsln correlation values, valid until the next read
  DumpHeader header;
};

/// How an ArchiveReader constructed from a path reads.
struct ArchiveOptions {
  /// At the end of the data, wait for the writer (0.5 s polls) instead of
  /// ending; a file header not all written yet is waited for the same way.
  bool wait = false;
  bool verbose = false;  ///< print every decoded header
  /// The most products the file header may give (its product table's size).
  int max_products = talva::kMaxProducts;
  /// With `wait`: called once when the file header is not all written yet,
  /// before the reader waits for it.
  std::function<void()> on_header_wait;
  /// The stop's message when the archive cannot be opened ("failed to open :
  /// <path>" is printed before it) and when its file header cannot be read.
  std::string open_failed = "init failed";
  std::string header_failed = "failed to read the header";
};

/// Hour angle (float hours, as the instrument's software gives it) to radians, in float.
inline constexpr float kHaHoursPerRadian = 3.8197f;

class ArchiveReader {
 public:
  /// Opens the archive at `path` and reads its file header (its product
  /// table up to options.max_products codes; with options.wait a file header
  /// not all written yet is waited for). Cannot open: "failed to open :
  /// <path>" on `out` and a talva::Stop with options.open_failed ("init
  /// failed"); a file header that cannot be read: the reader's message and a
  /// talva::Stop with options.header_failed ("failed to read the header").
  ArchiveReader(const std::string& path, talva::Output& out, ArchiveOptions options = {});
  ~ArchiveReader();
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  /// The file header read by the constructor from a path.
  const ArchiveFileHeader& file_header() const { return file_header_; }
  /// The next dump of the archive opened by the constructor from a path
  /// (read_dump_view_ with its options); nullopt at the end of the data.
  std::optional<Dump> next();
  /// The header of the latest dump, decoded.
  DumpHeader dump_header() const;

  /// Bytes consumed from the open archive so far (0 after init_archiv_).
  long long offset() const { return byte_offset_; }
  /// Dumps read whole from the open archive so far.
  int dumps_read() const { return dumps_read_; }
  /// Per-antenna records per dump, from the file header (0 before it is read).
  int numant() const { return numant_; }
  /// The decoded record of the latest dump header; all zero until the first
  /// header block is decoded, kept through dumps with a "TALVA" tag.
  const hdr_struct& header() const { return hdr_; }
  /// Whether a header block was decoded since the archive was opened (an
  /// archive of "TALVA" tags only has none: no date, time or pointing).
  bool header_decoded() const { return header_decoded_; }
  /// Empty when the latest dump's date and time are sound (dump_time_problem),
  /// "no dump header decoded yet" before the first header block.
  std::string dump_time_problem() const;

 private:
  /// A reader with nothing open (the constructor from a path begins so).
  explicit ArchiveReader(talva::Output& out);
  // The instrument's software's routines, on which next() is built.
  /// Opens the archive (closing one already open). On failure prints
  /// "failed to open : <path>" and returns -1.
  int init_archiv_(const std::string& infil);

  /// Reads the file header: nant (kept as numant at once), nbsln and nbsln
  /// product codes into antnum. Returns -1 on a short read, and (with a
  /// message) when nant is negative or above 100, or nbsln negative or above
  /// antnum.size().
  int read_header_(int& nant, int& nbsln, std::span<std::int32_t> antnum);

  /// Reads one dump: tag, header block (decoded into the dump record unless
  /// the tag is "TALVA"), the per-antenna records (dropped) and nbsln
  /// correlation items (2 * nbsln floats, file word order), handed out in
  /// vis as a view valid until the next call: into the stream buffer where
  /// it holds them whole (no copy), else into a buffer the reader owns. With
  /// rt = 0 returns -1 at end of data; with rt != 0 waits (0.5 s polls) until
  /// the whole dump is there. End of data inside a dump (rt = 0) is final:
  /// later calls return -1, as the dump's first bytes are gone; at a dump
  /// boundary a later call may go on. The length field of a "TALVA" tag is
  /// ignored (no header block follows). A header block of 401 to 65536 bytes
  /// is decoded from its first 400 bytes and the rest skipped, with one
  /// message per archive naming the dump and the length. A corrupt dump
  /// (another tag with a header length below 84 or above 65536) is treated as
  /// the end of the data, with a message naming the dump number and the byte
  /// offset; every later call returns -1 too. A read error (other than the end
  /// of the file) prints a message with the byte offset and ends the data too,
  /// even when waiting.
  int read_dump_view_(int nbsln, std::span<const float>& vis, int rt);

  /// Closes the archive. Always 0.
  int close_archiv_();

  /// The meridian distance (MD tilt) of the dump record, radians, in float.
  void read_dumppar_md_inrad_(float& md_tilt) const;
  /// Julian date of the dump's header date and time (whole seconds), as
  /// the converter dates its records.
  double dump_julian_date() const;

  bool read_block(void* dst, std::size_t size, int rt);
  int read_file_header(int& nant, int& nbsln, std::span<std::int32_t> antnum, int rt);

  talva::Output& out_;
  ArchiveOptions options_;
  ArchiveFileHeader file_header_;
  hdr_struct hdr_;
  int numant_ = 0;
  bool verbose_ = false;
  std::function<void()> on_wait_;  // called once before the next wait for the writer
  int fd_ = -1;
  // The stream buffer, page-aligned inside; left uninitialised (every byte
  // used is read into it first), so that no page is touched before a read.
  std::unique_ptr<unsigned char[]> storage_;
  std::vector<float> spill_;  // a dump's correlations that straddle a refill
  unsigned char* buffer_ = nullptr;
  std::size_t buffer_pos_ = 0;  // next unconsumed byte of the buffer
  std::size_t buffer_end_ = 0;  // end of the bytes read into it
  long long byte_offset_ = 0;   // bytes consumed by the caller (read but unconsumed bytes not counted)
  int dumps_read_ = 0;
  bool data_ended_ = false;
  bool long_header_warned_ = false;  // a header block above 400 bytes is reported once per archive
  bool header_decoded_ = false;
};

}  // namespace talva::archive
