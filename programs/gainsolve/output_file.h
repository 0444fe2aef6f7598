#pragma once
// A text file that replaces an earlier one only when it is complete: the
// lines go to "<path>.part", and commit() renames that over <path>. A file
// that is never committed is removed again, so an interrupted run leaves
// the earlier file (or none) in place instead of a half-written one.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "util/stop.h"

namespace talva {

class ReplacingFile {
 public:
  /// Opens "<path>.part" for writing; a file that cannot be created stops the program.
  explicit ReplacingFile(std::string path) : path_(std::move(path)), temp_(path_ + ".part") {
    file_.reset(std::fopen(temp_.c_str(), "w"));
    if (!file_) fail("cannot create");
  }
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;
  ~ReplacingFile() {
    if (file_) {
      file_.reset();
      std::remove(temp_.c_str());
    }
  }

  /// Writes one line (a line end is added).
  void line(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), file_.get());
    std::fputc('\n', file_.get());
  }

  /// Closes the file and renames it over <path>; a write error stops the program.
  void commit() {
    bool ok = std::ferror(file_.get()) == 0;
    ok = (std::fclose(file_.release()) == 0) && ok;
    if (!ok) {
      std::remove(temp_.c_str());
      fail("cannot write");
    }
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
      int err = errno;
      std::remove(temp_.c_str());
      errno = err;
      fail("cannot replace");
    }
  }

  const std::string& path() const { return path_; }

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  [[noreturn]] void fail(const char* what) const {
    stop(std::string(what) + " " + path_ + ": " + std::strerror(errno));
  }
  std::string path_;
  std::string temp_;
  std::unique_ptr<std::FILE, Closer> file_;
};

}  // namespace talva
