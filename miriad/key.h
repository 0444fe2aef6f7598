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
// - "Badly formed parameter" quotes the argument as given.
// keyi still rounds a real token half away from zero ("1.6" is 2).
//
// "-?", "-h", "--help" and "-k" make every retrieval call return its default
// and register (keyword, default); keyfin() then prints the keywords with
// their defaults on standard output and stops with status 0 (no warnings).
// A program must therefore call keyfin() right after reading its keywords,
// before checking their values.
#include <string>
#include <vector>

namespace miriad {

/// Takes the command line; must be called before any other key routine.
/// Calling it again starts afresh.
void keyini(int argc, char** argv);
/// Next token of `key` as text, or `def` when none is left (or it is empty).
void keya(const char* key, std::string& value, const std::string& def);
void keyi(const char* key, int& value, int def);
/// Via keyd, rounded once to single precision.
void keyr(const char* key, float& value, float def);
void keyd(const char* key, double& value, double def);
/// MIRIAD's spellings: t T y Y 1 .t. / f F n N 0 .f. (first character).
void keyl(const char* key, bool& value, bool def);
/// True while `key` has a token left.
bool keyprsnt(const char* key);
/// Warns about every keyword given but not (fully) read; forgets them all.
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

}  // namespace miriad
