#pragma once
// Helpers shared by the tests: scratch directories, running the programs,
// reading whole files.
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "util/output.h"

namespace talva::test {

/// A fresh directory under the system temporary directory, removed with
/// everything in it when the object goes out of scope. Before that, every
/// uv dataset in it is read by MIRIAD's own library and by the project's
/// reader, and a disagreement fails the test (support/uvcheck.h).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

struct RunResult {
  int status = -1;  ///< exit status, or 128 + signal number
  std::string out;  ///< standard output
  std::string err;  ///< standard error
};

/// Runs `program` (a name under the build's bin directory, or a path) with
/// `args`, in working directory `cwd` (empty: the current one), feeding
/// `input` on standard input.
RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = "",
              const std::string& input = "");

/// Path of a program or tool built into the bin directory.
std::string bin(const std::string& name);

/// Path of a program found on PATH (the name itself when none is found).
std::string on_path(const std::string& name);

std::string read_file(const std::string& path);
std::vector<unsigned char> read_bytes(const std::string& path);
void write_file(const std::string& path, const std::string& text);

/// Runs `f` with an output object that records what it is given; returns
/// that text, and the message of the stop `f` makes (empty when it returns).
std::pair<std::string, std::string> run_recorded(const std::function<void(talva::Output&)>& f);

/// The lines of `text`, without line ends.
std::vector<std::string> lines(const std::string& text);

}  // namespace talva::test
