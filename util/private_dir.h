#pragma once
// Private directories beside an output, for writers that make files whose
// names they do not choose (the plot library) or a whole tree that may
// appear under its name only when complete (a MeasurementSet).
//
// A private directory has a hidden random name made from the target's
// (".<name>.tmp-" and 12 characters) and is locked (flock) for as long as
// the run that made it holds it. One left by a killed run (its lock went
// with the run) is removed when the next private directory for the same
// name is made there, so nothing a SIGKILL leaves blocks or piles up.
// (This header is plain C++17: the MeasurementSet writer includes it.)
#include <sys/types.h>
#include <functional>
#include <string>
#include <vector>

namespace talva {

/// A hidden temporary's name for an output named `base`: ".<base>.tmp-"
/// and 12 random characters.
std::string temp_name(const std::string& base);

/// Makes a private directory for the output `base` in the directory
/// `parent_fd` (first removing the ones for `base` that killed runs left)
/// and returns a descriptor of it holding its lock, with its name in
/// `name`; -1 with errno on failure. `mode`: its permissions.
int make_private_dir(int parent_fd, const std::string& base, std::string& name, mode_t mode);

class PrivateDir {
 public:
  /// Creates it (mode 0700) in the directory of `target`; stops when it cannot.
  explicit PrivateDir(const std::string& target);
  /// Removes it with whatever is still in it.
  ~PrivateDir();
  PrivateDir(const PrivateDir&) = delete;
  PrivateDir& operator=(const PrivateDir&) = delete;

  /// Path of the directory.
  const std::string& path() const { return path_; }
  /// A path of the directory without dots (the plot library cuts a file
  /// name at its first '.' to number pages): "/proc/self/fd/N" where /proc
  /// is mounted, else path().
  std::string dotless_path() const;
  /// Names of the regular files in it, sorted.
  std::vector<std::string> files() const;
  /// Syncs each of `names` and renames them into the target directory,
  /// replacing files of the same names; false (with errno) on a failure.
  bool publish(const std::vector<std::string>& names);
  /// As publish, as one set: while the target directory is locked against
  /// other runs' sets, renames `names` into it and removes the regular
  /// files there for which `stale` is true and that are not among `names`
  /// (the extra pages of an earlier, longer plot).
  bool publish_set(const std::vector<std::string>& names, const std::function<bool(const std::string&)>& stale);
  /// Syncs the tree `name` in it (files and folders) and renames it into
  /// the target directory unless that name is taken there; false with
  /// errno (EEXIST: taken) on a failure.
  bool publish_tree(const std::string& name);

 private:
  std::string path_;
  std::string name_;    ///< its name in the target directory
  int parent_fd_ = -1;  ///< the target directory
  int fd_ = -1;         ///< the directory itself, holding its lock
};

}  // namespace talva
