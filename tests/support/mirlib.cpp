// The only file of the tests that calls MIRIAD's library (casacore's mirlib);
// it is used through its public C API alone. See mirlib.h.
#include "support/mirlib.h"

#include <casacore/mirlib/miriad.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "miriad/bytes.h"

namespace talva::test::mir {
namespace {

using talva::miriad::element_size;

// ---- MIRIAD's messages ---------------------------------------------------------

/// Where the child sends MIRIAD's messages: a line on standard output
/// (in_child), or a frame of the reader's protocol.
void (*g_emit)(bool fatal, const std::string& line) = nullptr;

std::string layout(char severity, const char* m) {
  const char* head = "### Warning:  ";
  switch (severity) {
    case 'i':
    case 'I':
      head = "### Informational:  ";
      break;
    case 'e':
    case 'E':
      head = "### Error:  ";
      break;
    case 'f':
    case 'F':
      head = "### Fatal Error:  ";
      break;
    default:
      break;
  }
  return head + std::string(m != nullptr ? m : "");
}

/// MIRIAD calls this for every message; a fatal one ends the child here,
/// before MIRIAD would end it itself.
void handler(char severity, const char* message) {
  const bool fatal = severity == 'f' || severity == 'F';
  if (g_emit != nullptr) g_emit(fatal, layout(severity, message));
  if (fatal) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(1);
  }
}

void emit_line(bool, const std::string& line) {
  std::fflush(stdout);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

/// The key routines' messages without what belongs to this MIRIAD build
/// rather than to keyword parsing: its keya warns on every call that it
/// cannot check the caller's buffer ("KeyA: keyword "k" length not
/// checked"), and it numbers its "Badly formed parameter-N" warnings, which
/// other MIRIAD builds (and the project) do not.
void emit_key_line(bool fatal, const std::string& line) {
  if (line.find("### Warning:  KeyA: keyword \"") == 0 && line.find("\" length not checked") != std::string::npos)
    return;
  std::string l = line;
  const std::string badly = "Badly formed parameter-";
  if (std::size_t p = l.find(badly); p != std::string::npos) {
    std::size_t e = p + badly.size();
    while (e < l.size() && l[e] >= '0' && l[e] <= '9') ++e;
    l.erase(p + badly.size() - 1, e - (p + badly.size() - 1));
  }
  emit_line(fatal, l);
}

// ---- the reader's protocol (child to parent) --------------------------------------
//
// Frames: one tag byte, then its payload. Strings are a 32-bit length and the
// bytes; numbers are in the machine's order (both ends are this program).
//   W text        a warning           F text  a fatal error (last frame)
//   H text        a history line      I text  an item name
//   V type text   a vartable line     S       records follow
//   R record      one record          E       the end (last frame)

std::FILE* g_out = nullptr;

void put_raw(const void* p, std::size_t n) { std::fwrite(p, 1, n, g_out); }
void put_u32(std::uint32_t v) { put_raw(&v, 4); }
void put_text(const std::string& s) {
  put_u32(static_cast<std::uint32_t>(s.size()));
  put_raw(s.data(), s.size());
}
void put_frame(char tag, const std::string& s) {
  std::fputc(tag, g_out);
  put_text(s);
}
void emit_frame(bool fatal, const std::string& line) {
  put_frame(fatal ? 'F' : 'W', line);
  if (fatal) std::fflush(g_out);
}

int h_type(char t) {
  switch (t) {
    case 'a':
      return H_BYTE;
    case 'j':
      return H_INT2;
    case 'i':
      return H_INT;
    case 'r':
      return H_REAL;
    case 'd':
      return H_DBLE;
    case 'c':
      return H_CMPLX;
    default:
      return 0;
  }
}

void be_put(std::uint8_t* p, std::uint64_t v, int bytes) {
  for (int k = bytes - 1; k >= 0; --k, v >>= 8) p[k] = static_cast<std::uint8_t>(v);
}
std::uint64_t be_get(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int k = 0; k < bytes; ++k) v = (v << 8) | p[k];
  return v;
}

/// The value uvgetvr gives (host order), as big-endian bytes of type `t`.
std::vector<std::uint8_t> to_be(char t, const char* host, int count) {
  const int e = element_size(t);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(count) * static_cast<std::size_t>(e));
  for (int k = 0; k < count; ++k) {
    const char* p = host + static_cast<std::ptrdiff_t>(k) * e;
    std::uint8_t* q = out.data() + static_cast<std::ptrdiff_t>(k) * e;
    switch (t) {
      case 'a':
        q[0] = static_cast<std::uint8_t>(p[0]);
        break;
      case 'j': {  // uvgetvr gives 16-bit values as ints
        int x;
        std::memcpy(&x, host + static_cast<std::ptrdiff_t>(k) * static_cast<std::ptrdiff_t>(sizeof(int)), sizeof x);
        be_put(q, static_cast<std::uint16_t>(static_cast<std::int16_t>(x)), 2);
        break;
      }
      case 'i':
      case 'r': {
        std::uint32_t x;
        std::memcpy(&x, p, 4);
        be_put(q, x, 4);
        break;
      }
      case 'd': {
        std::uint64_t x;
        std::memcpy(&x, p, 8);
        be_put(q, x, 8);
        break;
      }
      case 'c': {
        std::uint32_t re, im;
        std::memcpy(&re, p, 4);
        std::memcpy(&im, p + 4, 4);
        be_put(q, re, 4);
        be_put(q + 4, im, 4);
        break;
      }
      default:
        break;
    }
  }
  return out;
}

constexpr int kMaxChannels = 1 << 16;
constexpr std::size_t kLine = 1 << 20;

/// The child's part of Reader: MIRIAD's uvopen, hisread, item listing,
/// uvread and uvprobvr/uvgetvr.
[[noreturn]] void read_in_child(const std::string& path, int fd) {
  g_out = ::fdopen(fd, "w");
  static char buffer[1 << 16];
  std::setvbuf(g_out, buffer, _IOFBF, sizeof buffer);
  g_emit = emit_frame;
  bughandler_c(handler);
  // The item listing and the vartable through a handle of their own, closed
  // before uvopen: an item accessed beside uv's own use of it is freed twice.
  std::vector<char> line(kLine);
  std::vector<std::pair<char, std::string>> vars;
  std::vector<std::string> items;
  int ht = 0, item = 0, iostat = 0;
  hopen_c(&ht, path.c_str(), "old", &iostat);
  if (iostat == 0) {
    haccess_c(ht, &item, ".", "read", &iostat);
    if (iostat == 0) {
      for (;;) {
        hreada_c(item, line.data(), line.size(), &iostat);
        if (iostat != 0) break;
        items.emplace_back(line.data());
      }
      hdaccess_c(item, &iostat);
    }
    haccess_c(ht, &item, "vartable", "read", &iostat);
    if (iostat == 0) {
      for (;;) {
        hreada_c(item, line.data(), line.size(), &iostat);
        if (iostat != 0) break;
        std::string l = line.data();
        if (l.empty()) continue;
        std::size_t b = l.find_first_not_of(' ', 1);
        vars.emplace_back(l[0], b == std::string::npos ? "" : l.substr(b));
      }
      hdaccess_c(item, &iostat);
    }
    hclose_c(ht);
  }
  int tno = 0;
  uvopen_c(&tno, path.c_str(), "old");
  if (hexists_c(tno, "history")) {
    hisopen_c(tno, "read");
    for (;;) {
      int eof = 0;
      hisread_c(tno, line.data(), line.size(), &eof);
      if (eof) break;
      put_frame('H', line.data());
    }
    hisclose_c(tno);
  }
  for (const auto& i : items) put_frame('I', i);
  for (const auto& v : vars) {
    std::fputc('V', g_out);
    std::fputc(v.first, g_out);
    put_text(v.second);
  }
  std::fputc('S', g_out);
  bool coord = false;
  for (const auto& v : vars) coord = coord || v.second == "coord";
  if (coord) uvset_c(tno, "preamble", "uvw/time/baseline", 0, 0.0, 0.0, 0.0);
  static float data[2 * kMaxChannels];
  static int flags[kMaxChannels];
  std::vector<char> value;
  for (;;) {
    double preamble[5] = {0, 0, 0, 0, 0};
    int nread = 0;
    uvread_c(tno, preamble, data, flags, kMaxChannels, &nread);
    if (nread <= 0) break;
    std::fputc('R', g_out);
    put_raw(preamble, sizeof preamble);
    put_u32(static_cast<std::uint32_t>(nread));
    put_raw(data, sizeof(float) * 2 * static_cast<std::size_t>(nread));
    put_raw(flags, sizeof(int) * static_cast<std::size_t>(nread));
    std::vector<std::size_t> updated;
    for (std::size_t k = 0; k < vars.size(); ++k) {
      char type = 0;
      int length = 0, upd = 0;
      uvprobvr_c(tno, vars[k].second.c_str(), &type, &length, &upd);
      if (upd) updated.push_back(k);
    }
    put_u32(static_cast<std::uint32_t>(updated.size()));
    for (std::size_t k : updated) {
      const std::string& name = vars[k].second;
      char type = 0;
      int length = 0, upd = 0;
      uvprobvr_c(tno, name.c_str(), &type, &length, &upd);
      const int e = element_size(type);
      // (uvgetvr gives a 16-bit variable as ints)
      const std::size_t room = type == 'j' ? sizeof(int) : static_cast<std::size_t>(e == 0 ? 1 : e);
      value.assign(static_cast<std::size_t>(length) * room + 1, 0);
      if (length > 0 && e > 0)
        uvgetvr_c(tno, h_type(type), name.c_str(), value.data(), type == 'a' ? length + 1 : length);
      put_text(name);
      std::fputc(type, g_out);
      auto be = to_be(type, value.data(), e > 0 ? length : 0);
      put_text(std::string(be.begin(), be.end()));
    }
  }
  uvclose_c(tno);
  std::fputc('E', g_out);
  std::fflush(g_out);
  ::_exit(0);
}

}  // namespace

// ---- Reader (parent side) ---------------------------------------------------------

Reader::Reader(const std::string& path) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe");
  std::fflush(stdout);
  std::fflush(stderr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    ::close(fds[0]);
    read_in_child(path, fds[1]);
  }
  ::close(fds[1]);
  in_ = ::fdopen(fds[0], "r");
  char tag = 0;
  while (frame(tag)) {
    if (tag == 'S') {
      std::sort(items_.begin(), items_.end());
      return;
    }
    if (tag == 'H')
      history_.push_back(text());
    else if (tag == 'I')
      items_.push_back(text());
    else if (tag == 'V') {
      int t = std::fgetc(in_);
      vartable_.emplace_back(static_cast<char>(t), text());
    } else {
      fatal_ = "MIRIAD's reader sent an unknown frame";
      break;
    }
  }
  std::sort(items_.begin(), items_.end());
  finish();
}

Reader::~Reader() { finish(); }

void Reader::finish() {
  if (in_ != nullptr) {
    std::fclose(in_);
    in_ = nullptr;
  }
  if (pid_ > 0) {
    int status = 0;
    if (!ended_) ::kill(pid_, SIGKILL);  // our own child, stopped early
    ::waitpid(pid_, &status, 0);
    if (fatal_.empty() && !ended_ && WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL)
      fatal_ = "MIRIAD's reader crashed with signal " + std::to_string(WTERMSIG(status));
    pid_ = -1;
  }
  ended_ = true;
}

std::string Reader::text() {
  std::uint32_t n = 0;
  if (std::fread(&n, 4, 1, in_) != 1) return "";
  std::string s(n, '\0');
  if (n > 0 && std::fread(s.data(), 1, n, in_) != n) s.clear();
  return s;
}

// Reads the next frame's tag, taking in warnings, a fatal error and the end
// on the way; false when no more frames come.
bool Reader::frame(char& tag) {
  if (ended_ || in_ == nullptr) return false;
  for (;;) {
    int c = std::fgetc(in_);
    if (c == EOF) {
      // The child ended without its last frame: it crashed (finish tells how).
      std::fclose(in_);
      in_ = nullptr;
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
      ended_ = true;
      if (fatal_.empty()) {
        fatal_ = WIFSIGNALED(status) ? "MIRIAD's reader crashed with signal " + std::to_string(WTERMSIG(status))
                                     : "MIRIAD's reader ended without a message (status " +
                                           std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
      }
      return false;
    }
    tag = static_cast<char>(c);
    if (tag == 'W') {
      warnings_.push_back(text());
      continue;
    }
    if (tag == 'F' || tag == 'E') {
      if (tag == 'F') fatal_ = text();
      ended_ = true;
      std::fclose(in_);
      in_ = nullptr;
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
      return false;
    }
    return true;
  }
}

bool Reader::next(Record& rec) {
  char tag = 0;
  if (!frame(tag)) return false;
  if (tag != 'R') {
    fatal_ = "MIRIAD's reader sent an unknown frame";
    finish();
    return false;
  }
  std::uint32_t n = 0;
  bool ok = std::fread(rec.preamble, sizeof rec.preamble, 1, in_) == 1 && std::fread(&n, 4, 1, in_) == 1;
  std::vector<float> d(2 * static_cast<std::size_t>(n));
  rec.flags.assign(n, 0);
  ok = ok && (n == 0 || (std::fread(d.data(), sizeof(float), d.size(), in_) == d.size() &&
                         std::fread(rec.flags.data(), sizeof(std::int32_t), n, in_) == n));
  rec.data.clear();
  for (std::size_t k = 0; k + 1 < d.size(); k += 2) rec.data.emplace_back(d[k], d[k + 1]);
  std::uint32_t nupd = 0;
  ok = ok && std::fread(&nupd, 4, 1, in_) == 1;
  rec.updated.clear();
  for (std::uint32_t k = 0; ok && k < nupd; ++k) {
    Variable v;
    v.name = text();
    v.type = static_cast<char>(std::fgetc(in_));
    std::string b = text();
    v.value.assign(b.begin(), b.end());
    rec.updated.push_back(std::move(v));
  }
  if (!ok) {
    fatal_ = "MIRIAD's reader sent a cut record";
    finish();
    return false;
  }
  ++records_;
  return true;
}

// ---- child processes ----------------------------------------------------------------

std::string in_child(const std::function<void()>& body, const std::string& cwd) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe");
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::close(fds[0]);
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    ::close(fds[1]);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t k = ::read(fds[0], buf, sizeof buf);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
    out.append(buf, static_cast<std::size_t>(k));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFSIGNALED(status))
    out += "[child ended by signal " + std::to_string(WTERMSIG(status)) + "]\n";
  else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
    out += "[exit status " + std::to_string(WEXITSTATUS(status)) + "]\n";
  return out;
}

// ---- the writer ------------------------------------------------------------------

std::string write(const UvScript& script, const std::string& path) {
  return in_child([&] {
    g_emit = emit_line;
    bughandler_c(handler);
    int tno = 0;
    uvopen_c(&tno, path.c_str(), "new");
    std::vector<char> host;
    for (const auto& op : script.ops) {
      switch (op.kind) {
        case UvOp::Kind::Preamble:
          uvset_c(tno, "preamble", op.text.c_str(), 0, 0.0, 0.0, 0.0);
          break;
        case UvOp::Kind::Corr:
          uvset_c(tno, "corr", op.text.c_str(), 0, 0.0, 0.0, 0.0);
          break;
        case UvOp::Kind::HisOpen:
          hisopen_c(tno, "write");
          break;
        case UvOp::Kind::HisWrite:
          hiswrite_c(tno, op.text.c_str());
          break;
        case UvOp::Kind::HisClose:
          hisclose_c(tno);
          break;
        case UvOp::Kind::Put: {
          const int e = element_size(op.type);
          const int n = static_cast<int>(op.value.size()) / e;
          host.assign(op.value.size() + 1, 0);
          for (int k = 0; k < n; ++k) {
            const std::uint8_t* p = op.value.data() + static_cast<std::ptrdiff_t>(k) * e;
            char* q = host.data() + static_cast<std::ptrdiff_t>(k) * e;
            if (e == 1) {
              q[0] = static_cast<char>(p[0]);
            } else if (e == 4) {
              auto x = static_cast<std::uint32_t>(be_get(p, 4));
              std::memcpy(q, &x, 4);
            } else {
              std::uint64_t x = be_get(p, 8);
              std::memcpy(q, &x, 8);
            }
          }
          uvputvr_c(tno, h_type(op.type), op.text.c_str(), host.data(), n);
          break;
        }
        case UvOp::Kind::Write: {
          std::vector<float> d;
          for (const auto& c : op.data) {
            d.push_back(c.real());
            d.push_back(c.imag());
          }
          std::vector<int> f(op.flags.begin(), op.flags.end());
          uvwrite_c(tno, op.preamble.data(), d.data(), f.data(), static_cast<int>(op.data.size()));
          break;
        }
      }
    }
    uvclose_c(tno);
  });
}

// ---- keywords ----------------------------------------------------------------------

std::string key_transcript_line(const KeyCall& call, const std::string& value) {
  switch (call.routine) {
    case KeyCall::Routine::A:
      return "keya(" + call.key + ") = " + value;
    case KeyCall::Routine::I:
      return "keyi(" + call.key + ") = " + value;
    case KeyCall::Routine::R:
      return "keyr(" + call.key + ") = " + value;
    case KeyCall::Routine::D:
      return "keyd(" + call.key + ") = " + value;
    case KeyCall::Routine::L:
      return "keyl(" + call.key + ") = " + value;
    case KeyCall::Routine::Prsnt:
      return "keyprsnt(" + call.key + ") = " + value;
    case KeyCall::Routine::Fin:
      return "keyfin";
  }
  return "";
}

std::string run_keys(const std::vector<std::string>& args, const std::vector<KeyCall>& calls, const std::string& cwd) {
  return in_child(
      [&] {
        g_emit = emit_key_line;
        bughandler_c(handler);
        std::vector<std::string> all{"talvatask"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        keyini_c(static_cast<int>(all.size()), argv.data());
        std::vector<char> text(1 << 16);
        char num[64];
        for (const auto& c : calls) {
          std::string value;
          switch (c.routine) {
            case KeyCall::Routine::A:
              text.assign(text.size(), 0);
              keya_c(c.key.c_str(), text.data(), c.def.c_str());
              value = text.data();
              break;
            case KeyCall::Routine::I: {
              int v = 0;
              keyi_c(c.key.c_str(), &v, std::atoi(c.def.c_str()));
              value = std::to_string(v);
              break;
            }
            case KeyCall::Routine::R: {
              float v = 0;
              keyr_c(c.key.c_str(), &v, std::strtof(c.def.c_str(), nullptr));
              std::snprintf(num, sizeof num, "%.9g", static_cast<double>(v));
              value = num;
              break;
            }
            case KeyCall::Routine::D: {
              double v = 0;
              keyd_c(c.key.c_str(), &v, std::strtod(c.def.c_str(), nullptr));
              std::snprintf(num, sizeof num, "%.17g", v);
              value = num;
              break;
            }
            case KeyCall::Routine::L: {
              int v = 0;
              keyl_c(c.key.c_str(), &v, c.def == "t" ? 1 : 0);
              value = v ? "T" : "F";
              break;
            }
            case KeyCall::Routine::Prsnt:
              value = keyprsnt_c(c.key.c_str()) ? "T" : "F";
              break;
            case KeyCall::Routine::Fin:
              keyfin_c();
              break;
          }
          std::fflush(stdout);
          std::printf("%s\n", key_transcript_line(c, value).c_str());
          std::fflush(stdout);
        }
      },
      cwd);
}

}  // namespace talva::test::mir
