#pragma once
// Output files that replace an earlier file only when they are complete.
//
// An OutputFile is written to a temporary in its target's directory: an
// anonymous file (O_TMPFILE) where the file system has them, otherwise a
// hidden file with a random name created exclusively (O_CREAT | O_EXCL |
// O_NOFOLLOW). Neither can be redirected by a symbolic link planted under
// any name. commit() flushes, syncs and renames it over the target (a link
// at the target is replaced, its destination is not touched); an OutputFile
// never committed leaves nothing behind, and the earlier file as it was.
// Every failure (cannot create, a write error such as ENOSPC, EIO, EDQUOT or
// a short write, fsync, rename) is a fatal stop naming the target.
//
// An OutputSet holds the outputs of one run: a name that resolves to a file
// already claimed by the run, or to one of the run's inputs (input()), is
// refused when it is added (before any work), and so is a folder the run
// cannot write in; commit() writes every member in full before the first
// rename. Names are compared as files: a directory's device and inode and
// the name in it, and for names that exist the file's device and inode
// (links, hard links and "a/../b" spellings are caught).
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "util/private_dir.h"

namespace talva {

class OutputFile {
 public:
  /// Creates the temporary for `path`; stops when it cannot (missing or
  /// unwritable directory, `path` a directory or not a regular file).
  explicit OutputFile(std::string path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void write(std::string_view bytes);
  /// Writes `text` and a line end.
  void line(std::string_view text);
  /// Bytes written so far.
  std::uint64_t size() const { return written_; }
  /// Drops the last `n` bytes written.
  void cut(std::uint64_t n);

  /// Flushes and syncs the data (the first half of commit()).
  void finish();
  /// Renames the finished temporary over the target and syncs the directory.
  void publish();
  void commit() {
    finish();
    publish();
  }
  /// Drops the temporary; the target stays as it was.
  void discard() noexcept;

  const std::string& path() const { return path_; }
  bool committed() const { return committed_; }
  /// Dropped (discard, or a failure) before it was committed.
  bool discarded() const { return fd_ < 0 && !committed_; }

 private:
  [[noreturn]] void fail(const char* what, int err);
  void flush_buffer();
  std::string path_;
  std::string base_;       ///< the target's name in its directory
  int dir_fd_ = -1;        ///< the target's directory
  int fd_ = -1;            ///< the temporary
  std::string temp_name_;  ///< named temporary ("": anonymous)
  std::string buffer_;
  std::uint64_t written_ = 0;
  bool finished_ = false;
  bool committed_ = false;
};

/// A std::ostream over an OutputFile; a write error stops the program.
class OutputStream : public std::ostream {
 public:
  explicit OutputStream(OutputFile& file);

 private:
  class Buf : public std::streambuf {
   public:
    explicit Buf(OutputFile& f) : file_(f) {}

   protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

   private:
    OutputFile& file_;
  };
  Buf buf_;
};

/// Identity of an output name: its directory (device, inode) and its name
/// there. Two names with one identity are one file.
struct OutputIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  std::string base;
  bool operator==(const OutputIdentity&) const = default;
};

/// The identity of `path`; stops naming it when its directory is missing or
/// it names no file (empty, ".", "..", a trailing '/').
OutputIdentity output_identity(const std::string& path);

/// `path` without trailing '/' ("x.ms/" is "x.ms"; "/" stays).
std::string without_trailing_slashes(std::string path);

enum class Claim { Required, IfPossible };

class OutputSet {
 public:
  OutputSet() = default;
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  /// Claims `path` (a file or dataset the caller writes itself) for the
  /// run; stops when another output of the run resolves to it. With
  /// Claim::IfPossible a name without a directory (the writer reports that
  /// itself, later) is passed over.
  void claim(const std::string& path, Claim how = Claim::Required);
  /// Claims `path` and creates its temporary.
  OutputFile& add(const std::string& path);
  /// Names an input of the run (a file or folder it reads); stops when an
  /// output of the run is that file. A name that does not exist is passed
  /// over (its reader reports it).
  void input(const std::string& path);
  /// Finishes every member, then renames them all.
  void commit();

 private:
  struct Named {
    OutputIdentity name;
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string path;
    bool same_file(const Named& o) const {
      return name == o.name || (exists && o.exists && dev == o.dev && ino == o.ino);
    }
  };
  void check_against_inputs(const Named& output) const;
  std::vector<std::pair<OutputIdentity, std::string>> claimed_;
  std::vector<Named> outputs_, inputs_;
  std::vector<std::unique_ptr<OutputFile>> files_;
};

}  // namespace talva
