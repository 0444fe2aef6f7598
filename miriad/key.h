#pragma once
// MIRIAD-style keyword input: key=value arguments, "-f FILE" parameter
// files, "@FILE" values, values split into tokens at blanks and commas
// outside quotes and parentheses. Messages go to standard error as
// "### Warning:  ..." / "### Fatal Error:  ..."; a fatal one stops the
// program (talva::Stop, exit status 1).
//
// Departures from MIRIAD: numbers are decimal (a leading 0 is not octal) and
// a token with trailing garbage ("12abc") is a fatal conversion error.
// "-?", "-h", "--help" and "-k" make keyfin() print the keywords read, with
// their defaults, and stop with status 0.
#include <string>
#include <vector>

namespace miriad {

/// Takes the command line; must be called before any other key routine.
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

/// The program name (argv[0] after its last '/') and its arguments, for hisinput.
const std::string& key_task_name();
const std::vector<std::string>& key_arguments();

}  // namespace miriad
