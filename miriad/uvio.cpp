// Writing MIRIAD uv datasets and their history.
//
// A dataset is a directory of items. Items of at most 64 bytes are packed
// into the file "header" (newest item first); larger ones are files. The
// variable stream "visdata" is kept in a buffer and written in large blocks;
// the flag mask and the counters are written when the dataset is closed.
// Bytes MIRIAD leaves undefined (padding, name-field residue) are zeros here.
#include "miriad/uvio.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <unordered_map>
#include <vector>

#include "miriad/baseline.h"
#include "miriad/bug.h"
#include "miriad/bytes.h"
#include "miriad/key.h"
#include "util/background_sync.h"
#include "util/output_file.h"
#include "util/stop.h"
#include "util/textin.h"

namespace talva::miriad {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t max_small_item = 64;     // larger items are files of their own
constexpr std::size_t stream_block = 1 << 18;  // visdata bytes buffered before a write
constexpr std::size_t stream_page = 4096;      // streamed writes end on file offsets of whole pages
constexpr std::size_t stream_align = 64;       // the buffer starts on a cache line
constexpr std::size_t history_block = 16384;   // history bytes buffered before a write
constexpr int max_variables = 128;             // the stream's index byte is read as a signed char
constexpr std::size_t max_name = 8;
constexpr int always_write_after = 8;  // consecutive changing puts that make a variable "always write"

struct Variable {
  std::string name;
  char type = 0;
  int index = 0;
  std::size_t head = 4;            ///< bytes before a DATA record's value (8 for 8-byte types)
  std::int64_t length = -1;        ///< byte length of the last SIZE record written
  std::vector<std::uint8_t> last;  ///< value remembered for the "unchanged" test
  int changes = 0;                 ///< consecutive puts that wrote
  bool always = false;             ///< every put writes
};

struct Dataset {
  std::string name;  ///< as the caller gave it (used in messages)
  fs::path dir;
  bool is_new = false;
  int dir_fd = -1;  ///< held with an exclusive lock while a new dataset is written

  // Variables and the stream.
  std::vector<Variable> vars;
  std::unordered_map<std::string, int> by_name;
  bool uvw = false;      ///< preamble u, v, w, time, baseline (else u, v, time, baseline)
  char corr_type = 0;    ///< 'r' or 'j', fixed by uvset or the first uvwrite
  bool started = false;  ///< first uvwrite done
  int corr = -1, coord = -1, time = -1, baseline = -1, tscale = -1;
  int last_nchan = 0;
  double last_coord[3] = {0, 0, 0};
  double last_time = 0;
  float last_baseline = 0;
  bool any_auto = false, any_cross = false;
  /// Stream bytes from buf_base on, in base[0, used); base is buf's first
  /// cache-line boundary. Bytes from `used` on are undefined: every record
  /// appended sets each of its bytes.
  std::unique_ptr<std::uint8_t[]> buf;
  std::size_t buf_size = 0;
  std::uint8_t* base = nullptr;
  std::size_t used = 0, cap = 0;
  std::uint64_t buf_base = 0;
  std::uint64_t pos = 0;       ///< logical position (next record slot)
  std::uint64_t phys_end = 0;  ///< end of the last byte actually written
  int vis_fd = -1;
  std::unique_ptr<talva::BackgroundSync> vis_sync;  ///< flushes visdata while it grows
  bool visdata_created = false;
  std::vector<std::uint8_t> value_scratch;

  // Flags: 31 per word, bit 0 first.
  bool flags_created = false;
  std::vector<std::uint32_t> flag_words;
  std::uint64_t nflags = 0;

  // History.
  enum class His { Closed, Write, Read } his = His::Closed;
  int his_fd = -1;                             ///< history opened "append"
  std::unique_ptr<talva::OutputFile> his_out;  ///< history opened "write": replaces the item when closed
  /// The header of a dataset prepared by uvprepare: written and synced,
  /// named by uvclose (until then the dataset is no readable dataset).
  std::unique_ptr<talva::OutputFile> header_out;
  std::string his_buf;
  std::vector<std::string> his_lines;
  std::size_t his_next = 0;

  /// Items in the order they were created in this session (for `header`).
  std::vector<std::string> created;
  void create_item(const std::string& item) {
    if (std::find(created.begin(), created.end(), item) == created.end()) created.push_back(item);
  }
};

std::vector<std::unique_ptr<Dataset>>& table() {
  static std::vector<std::unique_ptr<Dataset>> t;
  return t;
}

void close_fds(Dataset& ds) {
  ds.vis_sync.reset();  // its thread is done with vis_fd
  if (ds.vis_fd >= 0) ::close(ds.vis_fd);
  if (ds.his_fd >= 0) ::close(ds.his_fd);
  if (ds.dir_fd >= 0) ::close(ds.dir_fd);
  ds.vis_fd = ds.his_fd = ds.dir_fd = -1;
  ds.his_out.reset();
  ds.header_out.reset();
}

void release(int tno) {
  auto& t = table();
  if (tno >= 1 && static_cast<std::size_t>(tno) <= t.size()) t[tno - 1].reset();
}

/// The layer's own fatal error: a dataset being created is deleted (it could
/// not be completed), then the program stops.
[[noreturn]] void fail(int tno, const std::string& message) {
  uvdiscard(tno);
  bug_fatal(message);
}

Dataset& get(int tno, const char* routine) {
  auto& t = table();
  if (tno < 1 || static_cast<std::size_t>(tno) > t.size() || !t[tno - 1])
    bug_fatal("Invalid dataset handle " + std::to_string(tno) + ", in " + routine);
  return *t[tno - 1];
}

std::string sys_error() { return std::strerror(errno); }

/// Writes all of `data` to `fd`, retrying short writes.
bool write_all(int fd, const std::uint8_t* data, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

/// Writes a whole item file through a temporary and a rename.
void write_item_file(int tno, Dataset& ds, const std::string& item, const std::vector<std::uint8_t>& bytes) {
  try {
    talva::OutputFile out((ds.dir / item).string());
    out.write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    out.commit();
  } catch (const talva::Stop& e) {
    fail(tno, "Error writing " + item + " for " + ds.name + ": " + e.message());
  }
}

// ---- the variable stream ---------------------------------------------------

/// Writes the stream bytes up to the last byte written (`all`) or up to the
/// last page boundary of the file before it (while the stream goes on: the
/// kernel copies fastest when every write starts on a page boundary of the
/// file from the same cache-line offset in memory).
void flush_stream(int tno, Dataset& ds, bool all = true) {
  const std::uint64_t end = all ? ds.phys_end : ds.phys_end - ds.phys_end % stream_page;
  if (end <= ds.buf_base) return;
  const auto n = static_cast<std::size_t>(end - ds.buf_base);
  if (ds.vis_fd < 0) {
    fs::path p = ds.dir / "visdata";
    // the dataset's directory is new and locked: its visdata was made with it
    ds.vis_fd = ::open(p.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (ds.vis_fd < 0) fail(tno, "Error opening visdata for " + ds.name + ": " + sys_error());
    ds.vis_sync = std::make_unique<talva::BackgroundSync>(ds.vis_fd);
  }
  if (!write_all(ds.vis_fd, ds.base, n)) fail(tno, "Error writing visdata for " + ds.name + ": " + sys_error());
  // Flushed to the disk in the background now, so that the fsync that
  // completes the dataset finds little left to wait for.
  ds.vis_sync->written(n);
  // Keep the bytes after those written (the rest of a page, and the padding
  // after the last written byte).
  const std::size_t keep = ds.used - n;
  std::memmove(ds.base, ds.base + n, keep);
  ds.used = keep;
  ds.buf_base += n;
}

[[gnu::noinline]] void stream_reserve(Dataset& ds, std::size_t n) {
  // Not cleared: a page is touched only when the stream reaches it.
  const std::size_t size = std::max(2 * ds.buf_size, ds.used + n + stream_block + stream_page) + stream_align;
  auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  const auto misalign = reinterpret_cast<std::uintptr_t>(bigger.get()) % stream_align;
  std::uint8_t* base = bigger.get() + (misalign == 0 ? 0 : stream_align - misalign);
  if (ds.used > 0) std::memcpy(base, ds.base, ds.used);
  ds.cap = size - static_cast<std::size_t>(base - bigger.get());
  ds.buf = std::move(bigger);
  ds.buf_size = size;
  ds.base = base;
}

/// Appends `n` bytes at the stream position and returns where to fill them
/// (the caller sets every one).
inline std::uint8_t* stream_grow(Dataset& ds, std::size_t n) {
  if (ds.cap - ds.used < n) stream_reserve(ds, n);
  std::uint8_t* p = ds.base + ds.used;
  ds.used += n;
  ds.pos += n;
  return p;
}

void write_size(Dataset& ds, const Variable& v, std::uint32_t length) {
  std::uint8_t* p = stream_grow(ds, 8);
  p[0] = static_cast<std::uint8_t>(v.index);
  p[1] = p[2] = p[3] = 0;
  be::put32(p + 4, length);
  ds.phys_end = ds.pos;
}

/// Appends the DATA record of `v` with room for `length` value bytes and
/// the zero padding to the next multiple of 8; returns the value's place,
/// for the caller to fill all `length` bytes.
inline std::uint8_t* data_slot(Dataset& ds, const Variable& v, std::size_t length) {
  const std::size_t head = v.head;
  const std::uint64_t end = ds.pos + head + length;
  const std::size_t pad = static_cast<std::size_t>((8 - end % 8) % 8);
  const std::size_t total = head + length + pad;
  std::uint8_t* p = stream_grow(ds, total);
  // Zero the last 8 bytes (the padding; the value overwrites the rest) and
  // the first 8 (the head, and the value's first bytes when head is 4).
  constexpr std::uint64_t zero = 0;
  if (total >= 8) {
    std::memcpy(p + total - 8, &zero, 8);
    std::memcpy(p, &zero, 8);
  } else {
    std::memset(p, 0, total);
  }
  p[0] = static_cast<std::uint8_t>(v.index);
  p[2] = 1;
  ds.phys_end = end;
  return p + head;
}

void write_data(Dataset& ds, const Variable& v, const std::uint8_t* value, std::size_t length) {
  std::memcpy(data_slot(ds, v, length), value, length);
}

/// The place of the value of an "always written" variable whose length does
/// not change (no SIZE record needed): the common case of the record
/// variables, filled in place. Null otherwise (use put).
inline std::uint8_t* always_slot(Dataset& ds, Variable& v, std::size_t length) {
  return v.always && v.length == static_cast<std::int64_t>(length) ? data_slot(ds, v, length) : nullptr;
}

void write_eor(int tno, Dataset& ds) {
  std::uint8_t* p = stream_grow(ds, 8);
  constexpr std::uint64_t zero = 0;
  std::memcpy(p, &zero, 8);
  p[2] = 2;
  ds.phys_end = ds.pos - 4;  // the EOR's padding is not written
  if (ds.used >= stream_block) flush_stream(tno, ds, false);
}

/// Puts one value (big-endian bytes) of variable `v`, in MIRIAD's way: a SIZE
/// when the length changes, a DATA only when the value changed, unless the
/// variable has become "always write".
void put(Dataset& ds, Variable& v, const std::uint8_t* value, std::size_t length) {
  bool new_length = v.length != static_cast<std::int64_t>(length);
  if (new_length) {
    write_size(ds, v, static_cast<std::uint32_t>(length));
    v.length = static_cast<std::int64_t>(length);
  }
  if (v.always) {
    write_data(ds, v, value, length);
    return;
  }
  if (!new_length && std::memcmp(v.last.data(), value, length) == 0) {
    v.changes = 0;
    return;
  }
  write_data(ds, v, value, length);
  v.last.assign(value, value + length);
  if (++v.changes >= always_write_after) v.always = true;
}

bool valid_variable_name(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (!std::isgraph(c)) return false;
  return true;
}

/// The variable `name` of `type`, defined now if it is new.
Variable& variable(int tno, Dataset& ds, const std::string& name, char type, const char* routine) {
  auto it = ds.by_name.find(name);
  if (it != ds.by_name.end()) {
    Variable& v = ds.vars[it->second];
    if (v.type != type) fail(tno, "Variable " + name + " has changed type, in " + routine);
    return v;
  }
  if (name.size() > max_name) fail(tno, "The variable name " + name + " is too long, in " + routine);
  if (!valid_variable_name(name)) fail(tno, "The variable name [" + name + "] is not valid, in " + routine);
  if (static_cast<int>(ds.vars.size()) >= max_variables)
    fail(tno, "Too many variables in " + ds.name + " (at most " + std::to_string(max_variables) + "), in " + routine);
  Variable v;
  v.name = name;
  v.type = type;
  v.head = element_size(type) == 8 ? 8 : 4;
  v.index = static_cast<int>(ds.vars.size());
  ds.by_name.emplace(name, v.index);
  ds.vars.push_back(std::move(v));
  return ds.vars.back();
}

Dataset& writable(int tno, const char* routine) {
  Dataset& ds = get(tno, routine);
  if (!ds.is_new) fail(tno, std::string("Dataset ") + ds.name + " was not opened new, in " + routine);
  return ds;
}

void putvr(int tno, const std::string& name, char type, const std::uint8_t* bytes, std::size_t n) {
  Dataset& ds = writable(tno, "UVPUTVR");
  if (n == 0) {
    bug_warn("Variable " + name + " has zero or negative size, in UVPUTVR");
    return;
  }
  Variable& v = variable(tno, ds, name, type, "UVPUTVR");
  put(ds, v, bytes, n * static_cast<std::size_t>(element_size(type)));
}

// ---- history ----------------------------------------------------------------

void history_flush(int tno, Dataset& ds) {
  if (ds.his_buf.empty()) return;
  if (ds.his_out) {
    try {
      ds.his_out->write(ds.his_buf);
    } catch (const talva::Stop& e) {
      fail(tno, "Error writing history for " + ds.name + ": " + e.message());
    }
  } else if (ds.his_fd >= 0) {
    if (!write_all(ds.his_fd, reinterpret_cast<const std::uint8_t*>(ds.his_buf.data()), ds.his_buf.size()))
      fail(tno, "Error writing history for " + ds.name + ": " + sys_error());
  }
  ds.his_buf.clear();
}

void history_close(int tno, Dataset& ds) {
  if (ds.his == Dataset::His::Write) {
    history_flush(tno, ds);
    if (ds.his_out) {
      try {
        ds.his_out->commit();
      } catch (const talva::Stop& e) {
        fail(tno, "Error writing history for " + ds.name + ": " + e.message());
      }
      ds.his_out.reset();
    }
    int fd = ds.his_fd;
    ds.his_fd = -1;
    if (fd >= 0 && ::close(fd) != 0) fail(tno, "Error closing history for " + ds.name + ": " + sys_error());
  }
  ds.his = Dataset::His::Closed;
  ds.his_lines.clear();
  ds.his_next = 0;
}

std::string upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string trim_trailing_blanks(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) s.pop_back();
  return s;
}

// ---- closing --------------------------------------------------------------

void put_name_block(std::vector<std::uint8_t>& out, const std::string& name, std::size_t size) {
  std::size_t at = out.size();
  out.resize(at + 16);
  std::memcpy(out.data() + at, name.data(), name.size());
  out[at + 15] = static_cast<std::uint8_t>(size);
}

std::vector<std::uint8_t> int8_item(std::uint64_t v) {
  std::vector<std::uint8_t> b(16);
  b[3] = 8;
  be::put64(b.data() + 8, v);
  return b;
}

/// Writes every item of a new dataset; the header, which makes it a
/// dataset, is named at once (`name_header`) or left finished in
/// ds.header_out for uvclose.
void complete(int tno, Dataset& ds, bool name_header) {
  // Small items by name; larger ones become files.
  std::unordered_map<std::string, std::vector<std::uint8_t>> small;
  auto item = [&](const std::string& name, std::vector<std::uint8_t> bytes) {
    ds.create_item(name);
    if (bytes.size() <= max_small_item) {
      small[name] = std::move(bytes);
      std::error_code ec;
      fs::remove(ds.dir / name, ec);
    } else {
      write_item_file(tno, ds, name, bytes);
    }
  };

  // visdata: in header while it is small and was never written out.
  if (ds.vis_fd < 0 && ds.phys_end <= max_small_item) {
    if (ds.phys_end > 0)
      small["visdata"].assign(ds.base, ds.base + ds.phys_end);
    else
      small["visdata"].clear();
    // in the header: the empty file made with the folder goes
    if (::unlinkat(ds.dir_fd, "visdata", 0) != 0 && errno != ENOENT)
      fail(tno, "Error removing visdata for " + ds.name + ": " + sys_error());
  } else {
    flush_stream(tno, ds);
    const int background = ds.vis_sync->finish();
    ds.vis_sync.reset();
    int fd = ds.vis_fd;
    ds.vis_fd = -1;
    // on the disk before the header that makes the dataset complete
    const bool synced = ::fsync(fd) == 0;
    if (::close(fd) != 0 || !synced) fail(tno, "Error closing visdata for " + ds.name + ": " + sys_error());
    if (background != 0) fail(tno, "Error closing visdata for " + ds.name + ": " + std::strerror(background));
  }
  if (ds.flags_created) {
    std::vector<std::uint8_t> b(4 + 4 * ds.flag_words.size());
    b[3] = 2;
    for (std::size_t k = 0; k < ds.flag_words.size(); ++k) be::put32(b.data() + 4 + 4 * k, ds.flag_words[k]);
    item("flags", std::move(b));
  }
  std::string vt;
  for (const auto& v : ds.vars) {
    vt += v.type;
    vt += ' ';
    vt += v.name;
    vt += '\n';
  }
  item("vartable", std::vector<std::uint8_t>(vt.begin(), vt.end()));
  if (ds.any_auto || ds.any_cross) {
    std::string t = ds.any_auto && ds.any_cross ? "mixed-auto-cross"
                    : ds.any_auto               ? "autocorrelation"
                                                : "crosscorrelation";
    std::vector<std::uint8_t> b{0, 0, 0, 1};
    b.insert(b.end(), t.begin(), t.end());
    item("obstype", std::move(b));
  }
  item("nwcorr", int8_item(0));
  item("ncorr", int8_item(ds.nflags));
  item("vislen", int8_item(ds.pos));

  // header: packed small items, newest first; the last entry is not padded.
  std::vector<std::uint8_t> header;
  for (auto it = ds.created.rbegin(); it != ds.created.rend(); ++it) {
    auto s = small.find(*it);
    if (s == small.end()) continue;
    if (!header.empty()) header.resize((header.size() + 15) / 16 * 16);
    put_name_block(header, s->first, s->second.size());
    header.insert(header.end(), s->second.begin(), s->second.end());
  }
  if (name_header) {
    write_item_file(tno, ds, "header", header);
    return;
  }
  try {
    ds.header_out = std::make_unique<talva::OutputFile>((ds.dir / "header").string());
    ds.header_out->write(std::string_view(reinterpret_cast<const char*>(header.data()), header.size()));
    ds.header_out->finish();
  } catch (const talva::Stop& e) {
    fail(tno, "Error writing header for " + ds.name + ": " + e.message());
  }
}

/// The items a new dataset's folder holds as files while it is written
/// (visdata from the start; history, vartable and flags when they close).
bool writer_item(const std::string& n) {
  static constexpr std::array<const char*, 4> kItems{"visdata", "history", "vartable", "flags"};
  for (const char* item : kItems) {
    if (n == item) return true;
    // a temporary of one of them (".<item>.tmp-" and 12 characters)
    const std::string prefix = std::string(".") + item + ".tmp-";
    if (n.size() == prefix.size() + 12 && n.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

/// A folder is the remnant of a run of this layer only when it carries the
/// marks of an unfinished dataset: no header, a visdata file (made with
/// the folder), and nothing but the writer's own items.
bool unfinished_dataset(int fd) {
  struct stat st {};
  if (::fstatat(fd, "header", &st, AT_SYMLINK_NOFOLLOW) == 0) return false;
  if (::fstatat(fd, "visdata", &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return false;
  const int dup = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* d = dup < 0 ? nullptr : ::fdopendir(dup);
  if (d == nullptr) {
    if (dup >= 0) ::close(dup);
    return false;
  }
  bool ours = true;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != ".." && !writer_item(n)) ours = false;
  }
  ::closedir(d);
  return ours;
}

enum class Existing { Dataset, Writing, Remnant, Other };

/// What is at `name`, which exists: a run writing it holds its lock; a
/// folder with the marks of an unfinished dataset is what an interrupted
/// run leaves; a folder with a header is a dataset; anything else is not
/// this layer's.
Existing existing_dataset(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Existing::Other;
  Existing what = Existing::Other;
  struct stat st {};
  if (::fstatat(fd, "header", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
    what = Existing::Dataset;
  } else if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    what = Existing::Writing;
  } else if (unfinished_dataset(fd)) {
    what = Existing::Remnant;
  }
  ::close(fd);
  return what;
}

/// The reason uvopen "new" gives for an existing `name`, with the hint of
/// `key` (the keyword that gave the name; empty: none).
std::string exists_reason(const std::string& name, const std::string& key) {
  std::string why = std::strerror(EEXIST);
  const std::string other = key.empty() ? "" : " or give another name in " + key + "=";
  switch (existing_dataset(name)) {
    case Existing::Writing:
      return why + " (another run is writing it)";
    case Existing::Remnant:
      return why + ": " + name + " is the remnant of an interrupted run (it has no header item); remove it (rm -r " +
             name + ") and run again";
    case Existing::Dataset:
      return key.empty() ? why : why + ". A dataset is never overwritten: remove " + name + " (rm -r)" + other + ".";
    case Existing::Other:
      break;
  }
  return key.empty() ? why : why + " (it is no uv dataset). Give another name in " + key + "=.";
}

/// Creates the empty visdata of a new dataset in the folder `fd`.
bool make_visdata(int fd) {
  const int v = ::openat(fd, "visdata", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  return v >= 0 && ::close(v) == 0;
}

/// Creates the directory of a new dataset and returns it locked: made
/// under a private name, locked, then renamed to `name` unless that exists.
/// Until uvclose writes its header the directory is no readable dataset.
int create_dataset_dir(const std::string& name) {
  const std::string where = "Error opening " + name + ", in UVOPEN(new): ";
  const std::string parent = fs::path(name).parent_path().string();
  std::string base = fs::path(name).filename().string();
  if (base.empty() || base == "." || base == "..") bug_fatal(where + std::strerror(EEXIST));
  const int parent_fd = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent_fd < 0) bug_fatal(where + sys_error());
  std::string temp;
  int fd = talva::make_private_dir(parent_fd, base, temp, 0777);
  // The folder shows from the start that it is an unfinished dataset: its
  // visdata is there (empty), and the header is not.
  if (fd >= 0 && !make_visdata(fd)) {
    const int err = errno;
    ::close(fd);
    ::unlinkat(parent_fd, temp.c_str(), AT_REMOVEDIR);
    fd = -1;
    errno = err;
  }
  if (fd < 0) {
    const std::string e = sys_error();
    ::close(parent_fd);
    bug_fatal(where + e);
  }
  int rc = ::renameat2(parent_fd, temp.c_str(), parent_fd, base.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && errno == EINVAL) {
    // A file system without exclusive renames: the directory is made under its name.
    ::close(fd);
    ::unlinkat(parent_fd, temp.c_str(), AT_REMOVEDIR);
    temp.clear();
    fd = ::mkdirat(parent_fd, base.c_str(), 0777) == 0
             ? ::openat(parent_fd, base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
             : -1;
    rc = fd < 0 || ::flock(fd, LOCK_EX) != 0 || !make_visdata(fd) ? -1 : 0;
  }
  if (rc != 0) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    if (!temp.empty()) ::unlinkat(parent_fd, temp.c_str(), AT_REMOVEDIR);
    ::close(parent_fd);
    bug_fatal(where + (err == EEXIST || err == ENOTEMPTY ? exists_reason(name, "") : std::strerror(err)));
  }
  ::close(parent_fd);
  return fd;
}

}  // namespace

// ---- public routines ------------------------------------------------------

void uvcheck_new(const std::string& name, const std::string& key) {
  const std::string what = "Error opening " + name + ", in UVOPEN(new): ";
  struct stat st {};
  if (::lstat(name.c_str(), &st) == 0) bug_fatal(what + exists_reason(name, key));
  if (errno != ENOENT) bug_fatal(what + sys_error());
  std::string folder = fs::path(name).parent_path().string();
  if (folder.empty()) folder = ".";
  if (::stat(folder.c_str(), &st) != 0) bug_fatal(what + sys_error());
  if (!S_ISDIR(st.st_mode)) bug_fatal(what + std::strerror(ENOTDIR));
}

void uvopen(int& tno, const std::string& name, const std::string& status) {
  auto ds = std::make_unique<Dataset>();
  ds->name = name;
  ds->dir = fs::path(name);
  if (status == "new") {
    ds->dir_fd = create_dataset_dir(name);
    ds->is_new = true;
    ds->create_item("visdata");
  } else if (status == "old") {
    struct stat st {};
    fs::path header = ds->dir / "header";
    if (::stat(header.c_str(), &st) != 0) bug_fatal("Error opening " + name + ", in UVOPEN(old): " + sys_error());
  } else {
    bug_fatal("Unsupported status " + status + ", in UVOPEN");
  }
  auto& t = table();
  auto slot = std::find(t.begin(), t.end(), nullptr);
  if (slot == t.end()) {
    t.push_back(std::move(ds));
    tno = static_cast<int>(t.size());
  } else {
    *slot = std::move(ds);
    tno = static_cast<int>(slot - t.begin()) + 1;
  }
}

void uvset(int tno, const std::string& object, const std::string& value, int, double, double, double) {
  Dataset& ds = writable(tno, "UVSET");
  if (object == "preamble") {
    if (ds.started) fail(tno, "Cannot change the preamble after the first record, in UVSET.");
    if (value == "uvw/time/baseline")
      ds.uvw = true;
    else if (value == "uv/time/baseline")
      ds.uvw = false;
    else
      fail(tno, "Unsupported preamble \"" + value + "\",in UVSET.");
  } else if (object == "corr") {
    if (ds.started) fail(tno, "Cannot change the corr type after the first record, in UVSET.");
    if (value != "r" && value != "j") fail(tno, "Unsupported corr type \"" + value + "\", in UVSET.");
    ds.corr_type = value[0];
  } else {
    fail(tno, "Unsupported object \"" + object + "\", in UVSET.");
  }
}

void uvputvra(int tno, const std::string& name, const std::string& value) {
  putvr(tno, name, 'a', reinterpret_cast<const std::uint8_t*>(value.data()), value.size());
}

void uvputvri(int tno, const std::string& name, std::span<const std::int32_t> values) {
  std::vector<std::uint8_t> b(4 * values.size());
  for (std::size_t k = 0; k < values.size(); ++k) be::put32(b.data() + 4 * k, static_cast<std::uint32_t>(values[k]));
  putvr(tno, name, 'i', b.data(), values.size());
}

void uvputvrr(int tno, const std::string& name, std::span<const float> values) {
  std::vector<std::uint8_t> b(4 * values.size());
  for (std::size_t k = 0; k < values.size(); ++k) be::put_float(b.data() + 4 * k, values[k]);
  putvr(tno, name, 'r', b.data(), values.size());
}

void uvputvrd(int tno, const std::string& name, std::span<const double> values) {
  std::vector<std::uint8_t> b(8 * values.size());
  for (std::size_t k = 0; k < values.size(); ++k) be::put_double(b.data() + 8 * k, values[k]);
  putvr(tno, name, 'd', b.data(), values.size());
}

namespace {

/// std::lround(x), without the library call for whole numbers (every
/// baseline number is one).
inline long nearest(float x) {
  if (std::fabs(x) < 8388608.0f) {  // 2^23: a float this small holds fractions
    const auto t = static_cast<long>(x);
    if (static_cast<float>(t) == x) return t;
  }
  return std::lround(x);
}

/// Appends one record of `n` channels (checked by the caller) to the stream.
[[gnu::always_inline]] inline void write_record(int tno, Dataset& ds, const double* preamble,
                                                const std::complex<float>* data, const std::int32_t* flags, int n) {
  const std::size_t npre = ds.uvw ? 5 : 4;
  const std::size_t nc = static_cast<std::size_t>(n);
  if (!ds.started) {
    if (ds.corr_type == 0) ds.corr_type = n <= 4 ? 'r' : 'j';
    ds.corr = variable(tno, ds, "corr", ds.corr_type, "UVWRITE").index;
    ds.flags_created = true;
    ds.create_item("flags");
    ds.coord = variable(tno, ds, "coord", 'd', "UVWRITE").index;
    ds.time = variable(tno, ds, "time", 'd', "UVWRITE").index;
    ds.baseline = variable(tno, ds, "baseline", 'r', "UVWRITE").index;
    for (int k : {ds.corr, ds.coord, ds.time, ds.baseline}) ds.vars[k].always = true;
  }

  if (n != ds.last_nchan) {
    std::uint8_t b[4];
    be::put32(b, static_cast<std::uint32_t>(n));
    put(ds, variable(tno, ds, "nchan", 'i', "UVWRITE"), b, 4);
    ds.last_nchan = n;
  }

  // Flags: 31 per 32-bit word.
  for (std::size_t k = 0; k < nc; ++k, ++ds.nflags) {
    std::uint64_t word = ds.nflags / 31;
    if (word >= ds.flag_words.size()) ds.flag_words.push_back(0);
    if (flags[k] != 0) ds.flag_words[word] |= 1u << (ds.nflags % 31);
  }

  std::vector<std::uint8_t>& v = ds.value_scratch;
  if (ds.corr_type == 'r') {
    // The common case, an "always written" corr of the same length: the
    // values go straight into the stream.
    Variable& corr = ds.vars[ds.corr];
    const std::size_t length = 8 * nc;
    std::uint8_t* out = always_slot(ds, corr, length);
    const bool direct = out != nullptr;
    if (!direct) {
      v.resize(length);
      out = v.data();
    }
    for (std::size_t k = 0; k < nc; ++k) {
      be::put_float(out + 8 * k, data[k].real());
      be::put_float(out + 8 * k + 4, data[k].imag());
    }
    if (!direct) put(ds, corr, v.data(), length);
  } else {
    // 16-bit integers scaled by tscale = M / 32767, M the largest magnitude.
    // Non-finite values cannot be scaled: they are stored as 0 and left out of M.
    auto finite = [](float x) { return std::isfinite(x) ? x : 0.0f; };
    float m = 0;
    for (std::size_t k = 0; k < nc; ++k)
      m = std::max({m, std::fabs(finite(data[k].real())), std::fabs(finite(data[k].imag()))});
    if (m == 0) m = 1;
    std::uint8_t ts[4];
    be::put_float(ts, m / 32767.0f);
    if (ds.tscale < 0) ds.tscale = variable(tno, ds, "tscale", 'r', "UVWRITE").index;
    put(ds, ds.vars[ds.tscale], ts, 4);
    float factor = 32767.0f / m;
    v.resize(4 * nc);
    for (std::size_t k = 0; k < nc; ++k) {
      auto scaled = [&](float x) {
        float t = std::trunc(factor * finite(x));
        return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(t, -32767.0f, 32767.0f)));
      };
      be::put16(v.data() + 4 * k, scaled(data[k].real()));
      be::put16(v.data() + 4 * k + 2, scaled(data[k].imag()));
    }
    put(ds, ds.vars[ds.corr], v.data(), v.size());
  }

  // coord, time and baseline only when they change (the first record always
  // carries them).
  double u = preamble[0], vv = preamble[1], w = ds.uvw ? preamble[2] : 0.0;
  double time = preamble[npre - 2];
  float bl = static_cast<float>(preamble[npre - 1]);
  std::size_t ncoord = ds.uvw ? 3 : 2;
  if (!ds.started || u != ds.last_coord[0] || vv != ds.last_coord[1] || (ds.uvw && w != ds.last_coord[2])) {
    std::uint8_t b[24];
    std::uint8_t* out = always_slot(ds, ds.vars[ds.coord], 8 * ncoord);
    be::put_double(out ? out : b, u);
    be::put_double(out ? out + 8 : b + 8, vv);
    if (out == nullptr || ncoord == 3) be::put_double(out ? out + 16 : b + 16, w);
    if (out == nullptr) put(ds, ds.vars[ds.coord], b, 8 * ncoord);
    ds.last_coord[0] = u;
    ds.last_coord[1] = vv;
    ds.last_coord[2] = w;
  }
  if (!ds.started || time != ds.last_time) {
    std::uint8_t b[8];
    std::uint8_t* out = always_slot(ds, ds.vars[ds.time], 8);
    be::put_double(out ? out : b, time);
    if (out == nullptr) put(ds, ds.vars[ds.time], b, 8);
    ds.last_time = time;
  }
  const float last_bl = ds.last_baseline;
  if (!ds.started || bl != ds.last_baseline) {
    std::uint8_t b[4];
    std::uint8_t* out = always_slot(ds, ds.vars[ds.baseline], 4);
    be::put_float(out ? out : b, bl);
    if (out == nullptr) put(ds, ds.vars[ds.baseline], b, 4);
    ds.last_baseline = bl;
  }
  // obstype: once both kinds were seen, no baseline changes it
  if (!(ds.any_auto && ds.any_cross) && (!ds.started || bl != last_bl)) {
    const Baseline antennas = decode_baseline(nearest(bl));
    (antennas.a == antennas.b ? ds.any_auto : ds.any_cross) = true;
  }
  ds.started = true;
  write_eor(tno, ds);
}

}  // namespace

void uvwrite(int tno, std::span<const double> preamble, std::span<const std::complex<float>> data,
             std::span<const std::int32_t> flags, int n) {
  Dataset& ds = writable(tno, "UVWRITE");
  const std::size_t npre = ds.uvw ? 5 : 4;
  if (n < 1) fail(tno, "Bad number of channels (" + std::to_string(n) + ") for " + ds.name + ", in UVWRITE");
  const auto nc = static_cast<std::size_t>(n);
  if (preamble.size() < npre || data.size() < nc || flags.size() < nc)
    fail(tno, "Preamble, data or flags shorter than the record for " + ds.name + ", in UVWRITE");
  write_record(tno, ds, preamble.data(), data.data(), flags.data(), n);
}

void uvwrite_points(int tno, std::span<const UvPoint> points) {
  Dataset& ds = writable(tno, "UVWRITE");
  for (const UvPoint& p : points) write_record(tno, ds, p.preamble, &p.data, &p.flag, 1);
}

void uvclose(int tno) {
  Dataset& ds = get(tno, "UVCLOSE");
  history_close(tno, ds);
  if (ds.header_out) {
    try {
      ds.header_out->publish();
    } catch (const talva::Stop& e) {
      fail(tno, "Error writing header for " + ds.name + ": " + e.message());
    }
  } else if (ds.is_new) {
    complete(tno, ds, true);
  }
  close_fds(ds);
  release(tno);
}

void uvprepare(int tno) {
  Dataset& ds = get(tno, "UVPREPARE");
  history_close(tno, ds);
  if (ds.is_new && !ds.header_out) complete(tno, ds, false);
}

void uvdiscard(int tno) noexcept {
  auto& t = table();
  if (tno < 1 || static_cast<std::size_t>(tno) > t.size() || !t[tno - 1]) return;
  Dataset& ds = *t[tno - 1];
  close_fds(ds);
  if (ds.is_new) {
    std::error_code ec;
    fs::remove_all(ds.dir, ec);
  }
  release(tno);
}

bool uvisopen(int tno) {
  auto& t = table();
  return tno >= 1 && static_cast<std::size_t>(tno) <= t.size() && t[tno - 1] != nullptr;
}

void hisopen(int tno, const std::string& status) {
  Dataset& ds = get(tno, "HISOPEN");
  if (ds.his != Dataset::His::Closed) history_close(tno, ds);
  fs::path p = ds.dir / "history";
  if (status == "write") {
    try {
      ds.his_out = std::make_unique<talva::OutputFile>(p.string());
    } catch (const talva::Stop& e) {
      fail(tno, "Error opening history for " + ds.name + ", in HISOPEN: " + e.message());
    }
    ds.create_item("history");
    ds.his = Dataset::His::Write;
  } else if (status == "append") {
    ds.his_fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (ds.his_fd < 0) fail(tno, "Error opening history for " + ds.name + ", in HISOPEN: " + sys_error());
    ds.create_item("history");
    ds.his = Dataset::His::Write;
  } else if (status == "read") {
    std::ifstream in(p, std::ios::binary);
    if (!in) fail(tno, "Error opening history for " + ds.name + ", in HISOPEN: " + sys_error());
    std::string line;
    while (std::getline(in, line)) ds.his_lines.push_back(line);
    ds.his = Dataset::His::Read;
  } else {
    fail(tno, "Unsupported status " + status + ", in HISOPEN");
  }
}

void hiswrite(int tno, const std::string& line) {
  Dataset& ds = get(tno, "HISWRITE");
  if (ds.his != Dataset::His::Write) fail(tno, "History of " + ds.name + " is not open for writing, in HISWRITE");
  ds.his_buf += line;
  ds.his_buf += '\n';
  if (ds.his_buf.size() >= history_block) history_flush(tno, ds);
}

bool hisread(int tno, std::string& line) {
  Dataset& ds = get(tno, "HISREAD");
  if (ds.his != Dataset::His::Read) fail(tno, "History of " + ds.name + " is not open for reading, in HISREAD");
  if (ds.his_next >= ds.his_lines.size()) return false;
  line = ds.his_lines[ds.his_next++];
  return true;
}

std::string hisinput_clock() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.0", &tm);
  return buf;
}

void hisinput(int tno, const std::string& name) {
  get(tno, "HISINPUT");
  std::string n = name;
  while (!n.empty() && (n.back() == ' ' || n.back() == ':')) n.pop_back();
  if (n.empty()) fail(tno, "HisInput: Bad program name.");
  n = upper(n);
  hiswrite(tno, n + ": Executed on: " + hisinput_clock());
  hiswrite(tno, n + ": Command line inputs follow:");
  // the lines of a "-f" file as keyini read them: the file is not opened again
  for (const auto& a : key_history()) hiswrite(tno, n + ":   " + trim_trailing_blanks(a));
}

void hisclose(int tno) { history_close(tno, get(tno, "HISCLOSE")); }

UvCloser::~UvCloser() {
  try {
    if (uvisopen(tno_)) uvclose(tno_);
  } catch (const talva::Stop& s) {
    // Cannot throw while the program is already stopping: report and go on.
    std::fprintf(stderr, "%s\n", s.message().c_str());
  } catch (...) {
    std::fprintf(stderr, "### Fatal Error:  Unexpected failure closing a dataset\n");
  }
}

}  // namespace talva::miriad
