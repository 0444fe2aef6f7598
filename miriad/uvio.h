#pragma once
// Writing (and, for tests and tools, reading) MIRIAD uv datasets and their
// history, byte-compatible with MIRIAD's own library.
//
// Errors of the layer itself are fatal in MIRIAD's way: "### Fatal Error:  ..."
// on standard error, the dataset being written ("new") is deleted, and the
// program stops with status 1 (talva::Stop). A program that stops for a
// reason of its own after creating a dataset closes it first (UvCloser), so
// every complete record written stays readable. File-system errors (disk
// full, permission) are such fatal errors and name the dataset.
//
// Where MIRIAD would write a dataset its own reader cannot use, this layer
// refuses or mends: the first record always carries coord, time and baseline
// (MIRIAD compares them with made-up "previous" values that a real record can
// equal); variable names must be 1-8 printable characters and at most 128
// variables exist (the stream's index byte); non-finite values in scaled
// 16-bit records are stored as 0; a record needs at least one channel and
// spans as long as it says. Bytes MIRIAD leaves undefined are written as 0.
// `header` and `vartable` are written under temporary names and renamed.
#include <complex>
#include <cstdint>
#include <span>
#include <string>

namespace talva::miriad {

/// Creates (status "new"; an existing dataset is fatal) or opens ("old") a
/// dataset. An "old" dataset serves its history only (hisopen "read" or
/// "append"); its records are read with talva::miriad::UvReader (uvread.h).
void uvopen(int& tno, const std::string& name, const std::string& status);
/// Refuses, before a program starts its work, a dataset name that uvopen
/// "new" would refuse (it exists, or its folder does not): the same fatal
/// error, with a hint naming `key`, the keyword that gave the name.
void uvcheck_new(const std::string& name, const std::string& key);
/// Only ("preamble", "uvw/time/baseline" or "uv/time/baseline") and ("corr", "r"/"j") are supported.
void uvset(int tno, const std::string& object, const std::string& value, int n, double p1, double p2, double p3);
void uvputvra(int tno, const std::string& name, const std::string& value);
void uvputvri(int tno, const std::string& name, std::span<const std::int32_t> values);
void uvputvrr(int tno, const std::string& name, std::span<const float> values);
void uvputvrd(int tno, const std::string& name, std::span<const double> values);
/// One record: preamble (5 doubles with uvw), n channels of data and flags (1 = good).
void uvwrite(int tno, std::span<const double> preamble, std::span<const std::complex<float>> data,
             std::span<const std::int32_t> flags, int n);
/// A record of one channel: its preamble (u, v, w, time, baseline; with the
/// preamble "uv/time/baseline" the first four hold u, v, time, baseline),
/// value and flag (1 = good).
struct UvPoint {
  double preamble[5];
  std::complex<float> data;
  std::int32_t flag;
};
/// Writes `points` in order, exactly as one uvwrite(n = 1) each.
void uvwrite_points(int tno, std::span<const UvPoint> points);
/// Completes the dataset (flags, vartable, header items) and closes it.
void uvclose(int tno);
/// Writes everything of a new dataset but the name of its header (history,
/// records, flags, variable table; the header's bytes synced to the disk):
/// what is left for uvclose cannot fail for want of space. Until uvclose the
/// folder stays an unfinished dataset.
void uvprepare(int tno);
/// Closes a dataset without completing it: a new one is removed with
/// everything in it. Never fails; a closed tno is passed over.
void uvdiscard(int tno) noexcept;
/// True while tno names an open dataset.
bool uvisopen(int tno);

/// History: "write" (create/truncate), "append" or "read".
void hisopen(int tno, const std::string& status);
void hiswrite(int tno, const std::string& line);
/// Next history line (without its line end) of a history opened "read";
/// false at the end.
bool hisread(int tno, std::string& line);
/// "NAME: Executed on: ...", "NAME: Command line inputs follow:", then one
/// line per command-line argument (from keyini), as MIRIAD's hisinput does.
void hisinput(int tno, const std::string& name);
void hisclose(int tno);

/// Closes a dataset left open when its owner's scope ends (a program's fatal
/// stop), so that what was written stays a readable dataset.
class UvCloser {
 public:
  explicit UvCloser(const int& tno) : tno_(tno) {}
  ~UvCloser();
  UvCloser(const UvCloser&) = delete;
  UvCloser& operator=(const UvCloser&) = delete;

 private:
  const int& tno_;
};

}  // namespace talva::miriad
