#include "util/output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "util/stop.h"

namespace talva {
namespace {

constexpr std::size_t kBufferBytes = 1 << 16;
constexpr int kNameTries = 100;

/// Splits `path` into its directory ("." when it has none) and its name.
std::pair<std::string, std::string> split_path(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

/// 12 random characters for a temporary's name.
std::string random_suffix() {
  static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[12];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      stop(std::string("cannot draw a random name: ") + std::strerror(errno));
    }
  }
  std::string s;
  for (unsigned char b : bytes) s += kChars[b % (sizeof kChars - 1)];
  return s;
}

bool write_all(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;  // no progress: the device takes no more
      return false;
    }
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

int open_dir(const std::string& dir) { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

/// Stops unless the target's name is free, a regular file or a link (a
/// link is replaced by the output, its destination is left alone).
void check_replaceable(int dir_fd, const std::string& base, const std::string& path) {
  struct stat st {};
  if (::fstatat(dir_fd, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISDIR(st.st_mode)) stop("cannot replace " + path + ": " + std::strerror(EISDIR));
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) stop("cannot replace " + path + ": not a regular file");
}

}  // namespace

std::string temp_name(const std::string& base) { return "." + base + ".tmp-" + random_suffix(); }

OutputIdentity output_identity(const std::string& path) {
  auto [dir, base] = split_path(path);
  if (base.empty() || base == "." || base == "..") stop("cannot write " + path + ": not a file name");
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) stop("cannot create " + path + ": " + std::strerror(errno));
  return OutputIdentity{st.st_dev, st.st_ino, base};
}

// ---- OutputFile -------------------------------------------------------------

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  auto [dir, base] = split_path(path_);
  base_ = base;
  if (base_.empty() || base_ == "." || base_ == "..") stop("cannot write " + path_ + ": not a file name");
  dir_fd_ = open_dir(dir);
  if (dir_fd_ < 0) fail("cannot create", errno);
  check_replaceable(dir_fd_, base_, path_);
  // An anonymous file: it has no name until it is complete.
  fd_ = ::openat(dir_fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) fail("cannot create", errno);
    // No anonymous files here: a hidden name of its own, created exclusively.
    for (int k = 0; k < kNameTries && fd_ < 0; ++k) {
      temp_name_ = temp_name(base_);
      fd_ = ::openat(dir_fd_, temp_name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
      temp_name_.clear();
      fail("cannot create", errno);
    }
  }
  buffer_.reserve(kBufferBytes);
}

OutputFile::~OutputFile() {
  if (!committed_) discard();
}

void OutputFile::fail(const char* what, int err) {
  discard();
  stop(std::string(what) + " " + path_ + ": " + std::strerror(err));
}

void OutputFile::flush_buffer() {
  if (buffer_.empty()) return;
  if (!write_all(fd_, buffer_.data(), buffer_.size())) fail("cannot write", errno);
  buffer_.clear();
}

void OutputFile::write(std::string_view bytes) {
  if (fd_ < 0 || finished_) stop("internal: write to " + path_ + " after it was finished");
  written_ += bytes.size();
  if (buffer_.size() + bytes.size() > kBufferBytes) {
    flush_buffer();
    if (bytes.size() >= kBufferBytes) {
      if (!write_all(fd_, bytes.data(), bytes.size())) fail("cannot write", errno);
      return;
    }
  }
  buffer_.append(bytes);
}

void OutputFile::line(std::string_view text) {
  write(text);
  write("\n");
}

void OutputFile::cut(std::uint64_t n) {
  n = std::min(n, written_);
  flush_buffer();
  written_ -= n;
  if (::ftruncate(fd_, static_cast<off_t>(written_)) != 0) fail("cannot write", errno);
  if (::lseek(fd_, 0, SEEK_END) < 0) fail("cannot write", errno);
}

void OutputFile::finish() {
  if (finished_) return;
  flush_buffer();
  if (::fsync(fd_) != 0) fail("cannot write", errno);
  finished_ = true;
}

void OutputFile::publish() {
  finish();
  check_replaceable(dir_fd_, base_, path_);
  if (temp_name_.empty()) {
    // Give the anonymous file a hidden name of its own, then rename that.
    const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
    for (int k = 0; k < kNameTries && temp_name_.empty(); ++k) {
      std::string name = temp_name(base_);
      int rc = ::linkat(AT_FDCWD, proc.c_str(), dir_fd_, name.c_str(), AT_SYMLINK_FOLLOW);
      if (rc != 0 && errno == ENOENT) rc = ::linkat(fd_, "", dir_fd_, name.c_str(), AT_EMPTY_PATH);
      if (rc == 0) {
        temp_name_ = name;
      } else if (errno != EEXIST) {
        fail("cannot replace", errno);
      }
    }
    if (temp_name_.empty()) fail("cannot replace", EEXIST);
  }
  if (::renameat(dir_fd_, temp_name_.c_str(), dir_fd_, base_.c_str()) != 0) fail("cannot replace", errno);
  temp_name_.clear();
  const int err = ::close(fd_) == 0 ? 0 : errno;
  fd_ = -1;
  ::fsync(dir_fd_);  // the new name survives a power loss
  ::close(dir_fd_);
  dir_fd_ = -1;
  committed_ = true;
  if (err != 0) stop("cannot write " + path_ + ": " + std::strerror(err));
}

void OutputFile::discard() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_name_.empty() && dir_fd_ >= 0) ::unlinkat(dir_fd_, temp_name_.c_str(), 0);
  temp_name_.clear();
  if (dir_fd_ >= 0) ::close(dir_fd_);
  dir_fd_ = -1;
  buffer_.clear();
}

// ---- OutputStream -------------------------------------------------------------

OutputStream::OutputStream(OutputFile& file) : std::ostream(nullptr), buf_(file) {
  rdbuf(&buf_);
  exceptions(std::ios::badbit);  // the stop of a write error reaches the caller
}

OutputStream::Buf::int_type OutputStream::Buf::overflow(int_type c) {
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    const char ch = traits_type::to_char_type(c);
    file_.write(std::string_view(&ch, 1));
  }
  return traits_type::not_eof(c);
}

std::streamsize OutputStream::Buf::xsputn(const char* s, std::streamsize n) {
  file_.write(std::string_view(s, static_cast<std::size_t>(n)));
  return n;
}

// ---- OutputSet ----------------------------------------------------------------

std::string without_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

void OutputSet::claim(const std::string& path, Claim how) {
  OutputIdentity id;
  try {
    id = output_identity(path);
  } catch (const Stop&) {
    if (how == Claim::IfPossible) return;
    throw;
  }
  for (const auto& [other, name] : claimed_) {
    if (other == id) {
      stop("output " + path + " is the same file as output " + name + " of this run: give them different names");
    }
  }
  // A folder the run cannot write in (read-only, or not ours) is refused now.
  const std::string dir = split_path(path).first;
  if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    stop("cannot create " + path + ": " + std::strerror(errno));
  Named out{id, false, 0, 0, path};
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    out.exists = true;
    out.dev = st.st_dev;
    out.ino = st.st_ino;
  }
  check_against_inputs(out);
  claimed_.emplace_back(id, path);
  outputs_.push_back(std::move(out));
}

void OutputSet::check_against_inputs(const Named& output) const {
  for (const Named& in : inputs_)
    if (output.same_file(in))
      stop("output " + output.path + " is the input " + in.path +
           " of this run: an input is never overwritten; give the output another name");
}

void OutputSet::input(const std::string& path) {
  if (path.empty()) return;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return;  // its reader says what is wrong
  // The file the name leads to, through every link, by its folder and name.
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return;
  const std::string resolved = real;
  std::free(real);
  Named in;  // member by member: GCC 12 at -O3 takes the aggregate's string for uninitialized
  in.exists = true;
  in.dev = st.st_dev;
  in.ino = st.st_ino;
  in.path = path;
  if (resolved != "/") {
    struct stat d {};
    const auto [dir, base] = split_path(resolved);
    if (::stat(dir.c_str(), &d) == 0) in.name = OutputIdentity{d.st_dev, d.st_ino, base};
  }
  if (in.name.base.empty()) in.name.base = "/";  // never equal to an output's name
  for (const Named& out : outputs_)
    if (out.same_file(in))
      stop("output " + out.path + " is the input " + path +
           " of this run: an input is never overwritten; give the output another name");
  inputs_.push_back(std::move(in));
}

OutputFile& OutputSet::add(const std::string& path) {
  claim(path);
  files_.push_back(std::make_unique<OutputFile>(path));
  return *files_.back();
}

void OutputSet::commit() {
  for (auto& f : files_) f->finish();
  // The renames of one set are not interleaved with those of another run
  // writing into the same directories: the directories are locked, in one
  // order, while the set is renamed.
  std::vector<std::pair<std::pair<dev_t, ino_t>, std::string>> dirs;
  for (const auto& f : files_) {
    const std::string dir = split_path(f->path()).first;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) dirs.push_back({{st.st_dev, st.st_ino}, dir});
  }
  std::sort(dirs.begin(), dirs.end());
  dirs.erase(std::unique(dirs.begin(), dirs.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
             dirs.end());
  std::vector<int> locks;
  for (const auto& d : dirs) {
    const int fd = open_dir(d.second);
    if (fd >= 0 && ::flock(fd, LOCK_EX) == 0)
      locks.push_back(fd);
    else if (fd >= 0)
      ::close(fd);
  }
  struct Unlock {
    std::vector<int>& fds;
    ~Unlock() {
      for (int fd : fds) ::close(fd);  // closing drops the lock
    }
  } unlock{locks};
  for (auto& f : files_) f->publish();
}

}  // namespace talva
