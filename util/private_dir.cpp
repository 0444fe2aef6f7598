#include "util/private_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util/stop.h"
#include "util/sync_all.h"

namespace talva {
namespace {

constexpr int kNameTries = 100;
constexpr std::size_t kSuffixLength = 12;

int open_dir_at(int dir_fd, const char* name) {
  return ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

/// Names in the directory `dir_fd` (without "." and "..").
std::vector<std::string> entries(int dir_fd) {
  std::vector<std::string> names;
  const int fd = open_dir_at(dir_fd, ".");
  DIR* d = fd < 0 ? nullptr : ::fdopendir(fd);
  if (d == nullptr) {
    if (fd >= 0) ::close(fd);
    return names;
  }
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

/// Removes `name` in `dir_fd` with everything below it; links are removed,
/// never followed.
void remove_tree(int dir_fd, const std::string& name) {
  if (::unlinkat(dir_fd, name.c_str(), 0) == 0 || errno != EISDIR) return;
  const int fd = open_dir_at(dir_fd, name.c_str());
  if (fd >= 0) {
    for (const std::string& n : entries(fd)) remove_tree(fd, n);
    ::close(fd);
  }
  ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR);
}

/// Syncs `fds` all at once and closes them.
bool sync_and_close(std::vector<int>& fds) {
  const int err = sync_all(fds);
  for (const int fd : fds) ::close(fd);
  fds.clear();
  errno = err;
  return err == 0;
}

/// Opens `name` in `dir_fd` and everything below it, for syncing: adds the
/// descriptors to `fds`, syncing and closing them there when there are many.
bool open_tree(int dir_fd, const std::string& name, std::vector<int>& fds) {
  const int fd = ::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = true;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
    for (const std::string& n : entries(fd)) ok = ok && open_tree(fd, n, fds);
  fds.push_back(fd);
  if (fds.size() >= 256) ok = sync_and_close(fds) && ok;
  return ok;
}

/// Syncs `name` in `dir_fd` and everything below it.
bool sync_tree(int dir_fd, const std::string& name) {
  std::vector<int> fds;
  if (!open_tree(dir_fd, name, fds)) {
    const int err = errno;
    sync_and_close(fds);
    errno = err;
    return false;
  }
  return sync_and_close(fds);
}

/// Removes the private directories for `base` in `parent_fd` whose run has
/// gone (ours, and nobody holds their lock).
void remove_stale(int parent_fd, const std::string& base) {
  const std::string prefix = "." + base + ".tmp-";
  for (const std::string& n : entries(parent_fd)) {
    if (n.size() != prefix.size() + kSuffixLength || n.compare(0, prefix.size(), prefix) != 0) continue;
    struct stat st {};
    if (::fstatat(parent_fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != ::geteuid())
      continue;
    const int fd = open_dir_at(parent_fd, n.c_str());
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) remove_tree(parent_fd, n);
    ::close(fd);
  }
}

}  // namespace

int make_private_dir(int parent_fd, const std::string& base, std::string& name, mode_t mode) {
  // The target directory is locked while stale directories are looked for
  // and the new one is made and locked, so a live one is never taken for stale.
  const int guard = open_dir_at(parent_fd, ".");
  if (guard < 0) return -1;
  while (::flock(guard, LOCK_EX) != 0 && errno == EINTR) {
  }
  remove_stale(parent_fd, base);
  int fd = -1;
  for (int k = 0; k < kNameTries && fd < 0; ++k) {
    const std::string t = temp_name(base);
    if (::mkdirat(parent_fd, t.c_str(), mode) != 0) {
      if (errno == EEXIST) continue;
      break;
    }
    fd = open_dir_at(parent_fd, t.c_str());
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      name = t;
    } else {
      const int err = errno;
      if (fd >= 0) ::close(fd);
      ::unlinkat(parent_fd, t.c_str(), AT_REMOVEDIR);
      errno = err;
      fd = -1;
      break;
    }
  }
  const int err = errno;
  ::close(guard);  // drops the directory's lock
  errno = err;
  return fd;
}

PrivateDir::PrivateDir(const std::string& target) {
  const auto slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.empty()) base = "out";
  parent_fd_ = open_dir_at(AT_FDCWD, dir.c_str());
  if (parent_fd_ < 0) stop("cannot create " + target + ": " + std::strerror(errno));
  fd_ = make_private_dir(parent_fd_, base, name_, 0700);
  if (fd_ < 0) {
    const int err = errno;
    ::close(parent_fd_);
    stop("cannot create " + target + ": " + std::strerror(err));
  }
  path_ = (dir == "/" ? "" : dir) + "/" + name_;
}

PrivateDir::~PrivateDir() {
  remove_tree(parent_fd_, name_);
  ::close(parent_fd_);
  ::close(fd_);
}

std::string PrivateDir::dotless_path() const {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
  struct stat a {
  }, b{};
  if (::stat(proc.c_str(), &a) == 0 && ::fstat(fd_, &b) == 0 && a.st_ino == b.st_ino) return proc;
  return path_;
}

std::vector<std::string> PrivateDir::files() const {
  std::vector<std::string> names;
  for (const std::string& n : entries(fd_)) {
    struct stat st {};
    if (::fstatat(fd_, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) names.push_back(n);
  }
  return names;
}

bool PrivateDir::publish(const std::vector<std::string>& names) {
  for (const std::string& n : names)
    if (!sync_tree(fd_, n)) return false;
  for (const std::string& n : names) {
    struct stat st {};
    if (::fstatat(parent_fd_, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return false;
    }
  }
  for (const std::string& n : names)
    if (::renameat(fd_, n.c_str(), parent_fd_, n.c_str()) != 0) return false;
  ::fsync(parent_fd_);
  return true;
}

bool PrivateDir::publish_set(const std::vector<std::string>& names,
                             const std::function<bool(const std::string&)>& stale) {
  // The same lock as make_private_dir's: held by one run's set at a time,
  // so two runs' pages never mix and no stale page outlives the step.
  const int guard = open_dir_at(parent_fd_, ".");
  if (guard < 0) return false;
  while (::flock(guard, LOCK_EX) != 0 && errno == EINTR) {
  }
  bool ok = publish(names);
  const int err = errno;
  if (ok) {
    for (const std::string& n : entries(parent_fd_)) {
      if (!stale(n) || std::find(names.begin(), names.end(), n) != names.end()) continue;
      struct stat st {};
      if (::fstatat(parent_fd_, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
        ::unlinkat(parent_fd_, n.c_str(), 0);
    }
    ::fsync(parent_fd_);
  }
  ::close(guard);
  errno = err;
  return ok;
}

bool PrivateDir::publish_tree(const std::string& name) {
  if (!sync_tree(fd_, name)) return false;
  if (::renameat2(fd_, name.c_str(), parent_fd_, name.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL) return false;
    // A file system without exclusive renames: look, then rename.
    struct stat st {};
    if (::fstatat(parent_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      errno = EEXIST;
      return false;
    }
    if (::renameat(fd_, name.c_str(), parent_fd_, name.c_str()) != 0) return false;
  }
  ::fsync(parent_fd_);
  return true;
}

}  // namespace talva
