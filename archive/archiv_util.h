#pragma once
// The archive reader: the only code that touches a correlator archive file.
//
// Module state (one archive per process): the open file, `numant`, the
// decoded record of the latest dump header `BufferHdr`, and `VerboseDecode`.
// Results: 0 for success, -1 for failure or end of data.
#include <cstdint>
#include <span>

#include "util/constants.h"

/// Degrees per radian used by the archive reader.
inline constexpr double R2D = talva::kArchiveDegPerRad;

/// Limits of the format.
inline constexpr int kMaxHeaderLength = 400;   ///< bytes of a dump header block
inline constexpr int kMinHeaderLength = 84;    ///< the decoder reads bytes 5..83
inline constexpr int kMaxAntennaRecords = 100; ///< per-antenna records per dump
/// Longest header block read (its first 400 bytes decoded, the rest
/// skipped); a longer one marks a misaligned stream.
inline constexpr int kMaxHeaderSkip = 64 * 1024;

/// The decoded dump header, one record per process (BufferHdr).
struct hdr_struct {
  double time = 0;  ///< day fraction (hr + (mins + sec/60)/60)/24
  double ha = 0, ra = 0, dec = 0;  ///< radians
  double east_lo_phase = 0, west_lo_phase = 0;
  double Temperature = 0;  ///< degrees Celsius
  double NS_Tilt = 0;
  double MD_Tilt = 0;  ///< arcsine of the stored sine, radians
  double East_Tilt = 0, West_Tilt = 0;
  double MMeridian = 0;
  int year = 0, mon = 0, day = 0, hr = 0, mins = 0, sec = 0;
  signed char ntc = 0, gcal = 0, stop = 0, phsw = 0, bmsw = 0, mode = 0, phsm = 0, icode = 0, eflag = 0,
              precesion = 0, Header_Id = 0, TCC_Cycle_Max = 0;
};

extern hdr_struct BufferHdr;  ///< all zero until the first header block is decoded
extern int numant;            ///< per-antenna records per dump, from the file header
extern int VerboseDecode;     ///< 1 after archiv_util_setverbose_()

/// Opens the archive. On failure prints "failed to open : <path>" and returns -1.
int init_archiv_(const char* infil);

/// Reads the file header: nant (sets numant at once), nbsln and nbsln product
/// codes into antnum. Returns -1 on a short read, and (with a message) when
/// nant is negative or above 100, or nbsln negative or above antnum.size().
int read_header_(int& nant, int& nbsln, std::span<std::int32_t> antnum);

/// Reads one dump: tag, header block (decoded into BufferHdr unless the tag is
/// "TALVA"), the per-antenna records (dropped) and nbsln correlation items
/// (2 * nbsln floats, file word order) into vis. With rt = 0 returns -1 at end
/// of data; with rt != 0 waits (0.5 s polls) until the whole dump is there.
/// End of data inside a dump (rt = 0) is final: later calls return -1, as
/// the dump's first bytes are gone; at a dump boundary a later call may go on.
/// The length field of a "TALVA" tag is ignored (no header block follows).
/// A header block of 401 to 65536 bytes is decoded from its first 400 bytes
/// and the rest skipped, with one message per archive naming the dump and
/// the length. A corrupt dump (another tag with a header length below 84 or
/// above 65536) is treated as the end of the data, with
/// a message naming the dump number and the byte offset; every later call
/// returns -1 too. A read error (other than the end of the file) prints a
/// message with the byte offset and ends the data too, even when waiting.
/// Never writes past vis (vis.size() >= 2 * nbsln required,
/// otherwise -1 with a message).
int read_dump_(int nbsln, std::span<float> vis, int rt);

/// Closes the archive. Always 0.
int close_archiv_();

/// Turns on the printing of every decoded header.
void archiv_util_setverbose_();

/// Bytes consumed from the open archive so far (0 after init_archiv_).
long long archiv_util_offset_();
/// Dumps read whole from the open archive so far.
int archiv_util_dumps_read_();

/// Decodes one header block into BufferHdr (printing it in verbose mode).
void DecodeHeader(std::span<const std::uint8_t> lbuffer);

// Dump-parameter accessors: single-precision values from BufferHdr, rounded
// once at the end.
void read_dumppar_ra_(float& ra);    ///< hours
void read_dumppar_dec_(float& dec);  ///< degrees
void read_dumppar_ha_(float& ha);    ///< hours
void read_dumppar_temp_(float& temp);  ///< degrees Celsius
void read_dumppar_date_(int& yr, int& mn, int& day);
void read_dumppar_time_(int& hr, int& min, int& sec);
void read_dumppar_mode_(int& mode);  ///< sign-extended mode byte
void read_dumppar_tilts_(float& ns_tilt, float& md_tilt, float& east_tilt, float& west_tilt);  ///< degrees
void read_dumppar_md_inrad_(float& md_tilt);  ///< radians
