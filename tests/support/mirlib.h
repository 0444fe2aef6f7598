#pragma once
// MIRIAD's own C library (casacore's mirlib) as the reference for the
// project's MIRIAD layer in the tests: its reader, its writer and its
// keyword routines.
//
// Every call into mirlib runs in a forked child process. MIRIAD keeps
// process-wide state (its table of open datasets, the keywords of keyini)
// and its bug_c ends the process on a fatal error; the child installs a
// message handler (bughandler_c) that hands MIRIAD's messages to the parent
// instead, so a dataset MIRIAD refuses fails a test with MIRIAD's own words
// and never ends the test program. Messages are given in the ATNF layout:
// "### Warning:  TEXT", "### Fatal Error:  TEXT".
#include <sys/types.h>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/uvscript.h"

namespace talva::test::mir {

/// A uv variable as uvprobvr and uvgetvr give it.
struct Variable {
  std::string name;
  char type = 0;                    ///< a j i r d c
  std::vector<std::uint8_t> value;  ///< big-endian bytes, as the project's reader keeps them
};

/// One record as uvread returns it (preamble uvw/time/baseline), with the
/// variables uvprobvr reports as updated at it.
struct Record {
  double preamble[5] = {0, 0, 0, 0, 0};
  std::vector<std::complex<float>> data;
  std::vector<std::int32_t> flags;
  std::vector<Variable> updated;  ///< in vartable order
};

/// MIRIAD's view of a dataset, read in a child process: history lines,
/// items and vartable first, then the records one by one.
class Reader {
 public:
  /// Starts reading `path` and waits for its history, items and vartable.
  explicit Reader(const std::string& path);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  const std::vector<std::string>& history() const { return history_; }
  /// The items MIRIAD lists for the dataset (haccess "."), sorted.
  const std::vector<std::string>& items() const { return items_; }
  /// Type and name of each vartable line, in order.
  const std::vector<std::pair<char, std::string>>& vartable() const { return vartable_; }

  /// The next record; false at the end or when MIRIAD stopped (refused()).
  bool next(Record& rec);
  /// MIRIAD stopped with a fatal error (at open, or while reading records).
  bool refused() const { return !fatal_.empty(); }
  /// "### Fatal Error:  ..." as MIRIAD reported it, or why the child failed.
  const std::string& fatal() const { return fatal_; }
  const std::vector<std::string>& warnings() const { return warnings_; }
  std::int64_t records_read() const { return records_; }

 private:
  bool frame(char& tag);
  std::string text();
  void finish();
  pid_t pid_ = -1;
  std::FILE* in_ = nullptr;
  bool ended_ = false;
  std::vector<std::string> history_, items_, warnings_;
  std::vector<std::pair<char, std::string>> vartable_;
  std::string fatal_;
  std::int64_t records_ = 0;
};

/// Carries out `script` with MIRIAD's writer (uvopen "new" ... uvclose) into
/// the new dataset `path`. Returns MIRIAD's messages, one per line; a fatal
/// one is the last.
std::string write(const UvScript& script, const std::string& path);

/// One call of the keyword routines.
struct KeyCall {
  enum class Routine { A, I, R, D, L, Prsnt, Fin } routine = Routine::A;
  std::string key;
  std::string def;  ///< default, as text (keyl: "t" or "f")
};

/// Runs keyini on argv ("task" + `args`) in `cwd` and then `calls`, with
/// MIRIAD's key routines; returns the transcript (see key_transcript_line).
std::string run_keys(const std::vector<std::string>& args, const std::vector<KeyCall>& calls, const std::string& cwd);

/// The transcript line of one call's result: "keya(vis) = text",
/// "keyi(n) = 16", "keyr(x) = %.9g", "keyd(x) = %.17g", "keyl(o) = T",
/// "keyprsnt(v) = F", "keyfin".
std::string key_transcript_line(const KeyCall& call, const std::string& value);

/// Runs `body` in a forked child whose standard output and error both go to
/// one pipe, in working directory `cwd` (empty: unchanged); returns what it
/// printed. A child that does not end normally adds a line saying how it ended.
std::string in_child(const std::function<void()>& body, const std::string& cwd = "");

}  // namespace talva::test::mir
