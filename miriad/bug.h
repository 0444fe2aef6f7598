#pragma once
// MIRIAD-style messages of the keyword and dataset layers, on standard error:
// "### Warning:  TEXT" and "### Fatal Error:  TEXT".
#include <string>

namespace talva::miriad {

/// Prints "### Warning:  TEXT" on standard error.
void bug_warn(const std::string& text);
/// Stops the program: throws talva::Stop("### Fatal Error:  TEXT", 1, stderr).
[[noreturn]] void bug_fatal(const std::string& text);

}  // namespace talva::miriad
