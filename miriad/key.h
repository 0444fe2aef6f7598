#pragma once
// MIRIAD-style keyword input: key=value arguments, "-f FILE" parameter
// files, "@FILE" values, values split into tokens at blanks and commas
// outside quotes and parentheses. Messages go to standard error as
// "### Warning:  ..." / "### Fatal Error:  ..."; a fatal one stops the
// program (talva::Stop, exit status 1).
//
// Departures from MIRIAD, because its forms let bad input through silently:
// - numbers are decimal only: a leading 0 is not octal ("010" is 10), and
//   "0x10", "inf", "nan" and Fortran "1d3" are conversion errors;
// - a token with trailing garbage ("12abc", "1.5abc") is the fatal
//   conversion error naming the keyword; so is an integer outside 32 bits
//   (MIRIAD wraps) and a real that overflows single precision in keyr;
// - lines of an "@FILE" lose trailing blanks as well as leading ones;
// - "Badly formed parameter" quotes the argument as given;
// - an argument that is not "key=value" ("cal.arc", "my_key=1"), a flag other
//   than -f, -h, -?, --help, -k ("--vis=x") and a keyword the program never
//   reads are fatal in keyfin, each named with a hint (the nearest keyword);
// - a UTF-8 byte-order mark before an argument or a file's first line is
//   skipped; a parameter file is read once (the history keeps its lines), and
//   it and the @ files of one keyword are bounded (16 MiB, 1000 @ files);
//   SIGINT/SIGTERM while waiting for one (a FIFO) stop with 128 + signal.
// keyi still rounds a real token half away from zero ("1.6" is 2).
//
// "-?", "-h", "--help" and "-k" make every retrieval call return its default
// and register (keyword, default, meaning); keyfin() then prints them on
// standard output and stops with status 0 (no warnings): "-h", "--help" and
// "-?" print the program's purpose (given to keyini) and each keyword with its
// default and meaning, "-k" the plain list "keyword=default". A program must
// therefore call keyfin() right after reading its keywords, before checking
// their values.
//
// A keyword read with a `required(...)` meaning must be given: keyfin() stops
// naming each one missing ("infile= (the archive to convert) is required."),
// before the program prints anything.
#include <string>
#include <vector>

namespace talva::miriad {

/// The meaning of a keyword, as the help lists it: a short phrase with units
/// ("first and last dump to use, counted from 1"). Only the first meaning
/// given for a keyword counts (a keyword may be read several times).
struct KeyDoc {
  KeyDoc() = default;
  KeyDoc(const char* meaning) : text(meaning) {}  // implicit: a plain text is a meaning
  const char* text = nullptr;
  bool required = false;  ///< keyfin() stops when the keyword was not given
};
/// A keyword that must be given; `what` names it ("the archive to convert").
inline KeyDoc required(const char* what) {
  KeyDoc d(what);
  d.required = true;
  return d;
}

/// Takes the command line; must be called before any other key routine.
/// Calling it again starts afresh. `purpose`: the help's first line (what the
/// program does); `example`: the arguments of one complete run, which the
/// help prints last ("infile=cal.arc corlfile=corr_layout.file").
void keyini(int argc, char** argv, const char* purpose = nullptr, const char* example = nullptr);
/// Next token of `key` as text, or `def` when none is left (or it is empty).
void keya(const char* key, std::string& value, const std::string& def, KeyDoc doc = {});
void keyi(const char* key, int& value, int def, KeyDoc doc = {});
/// Via keyd, rounded once to single precision.
void keyr(const char* key, float& value, float def, KeyDoc doc = {});
void keyd(const char* key, double& value, double def, KeyDoc doc = {});
/// MIRIAD's spellings: t T y Y 1 .t. / f F n N 0 .f. (first character).
void keyl(const char* key, bool& value, bool def, KeyDoc doc = {});
/// True while `key` has a token left.
bool keyprsnt(const char* key, KeyDoc doc = {});
/// Notes `key` as a required keyword that was not given, for a requirement
/// that depends on other keywords; keyfin() then stops as for `required`.
void keymissing(const char* key, const char* what);
/// Stops naming every argument that is no keyword of the program (an unknown
/// name, with the nearest known one suggested; a word without "="; a flag or
/// "--name=value") and every required keyword not given; warns about every
/// keyword read but not exhausted; forgets them all.
void keyfin();

/// Refuses a keyword value outside lo..hi (with `above_lo`: above lo, up to
/// hi): "### Fatal Error:  Keyword [dec=100] out of range: -90 to 90.", as a
/// conversion error stops. For the checks right after keyfin().
void keyrange(const char* key, double value, double lo, double hi, bool above_lo = false);
void keyrange(const char* key, float value, double lo, double hi, bool above_lo = false);
void keyrange(const char* key, int value, double lo, double hi, bool above_lo = false);

/// The program name (argv[0] after its last '/') and its arguments, for hisinput.
const std::string& key_task_name();
const std::vector<std::string>& key_arguments();
/// The arguments as the history records them: each "-f FILE" replaced by the
/// lines keyini read from the file (a FIFO or a process substitution is read once).
const std::vector<std::string>& key_history();

}  // namespace talva::miriad
