// Keyword input in MIRIAD's conventions (see key.h for the departures).
//
// The state is module-level, as in MIRIAD: keyini fills it, the retrieval
// routines consume tokens from it and keyfin reports and forgets it.
#include "miriad/key.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "miriad/bug.h"
#include "util/fmt.h"
#include "util/interrupt.h"
#include "util/stop.h"
#include "util/textin.h"

namespace talva::miriad {
namespace {

struct Keyword {
  std::string name;
  std::string value;         ///< what is left to read
  bool local = false;        ///< given as TASK/key=value: a later global form is ignored
  int at_files = 0;          ///< "@FILE"s expanded into the value so far
  std::size_t at_bytes = 0;  ///< bytes they held
};

/// One keyword asked for while a help request is pending, with its defaults
/// (one per retrieval call, in call order).
struct HelpEntry {
  std::string name;
  std::vector<std::string> defaults;
  std::string meaning;
  bool required = false;
};

// An "@FILE" value may name further "@FILE"s; this bounds the chain so that a
// file that names itself is refused instead of looping for ever.
constexpr int max_at_file_depth = 32;
// A file that names itself after a value ("1,@self") is no deeper at each
// step, so the @ files of one keyword are bounded in number and in bytes too.
constexpr int kMaxAtFiles = 1000;
// Bytes one parameter file, or the @ files of one keyword, may hold (16 MiB).
constexpr std::size_t kMaxKeywordFileBytes = std::size_t{16} << 20;

struct KeyState {
  bool initialised = false;
  bool help = false;
  bool plain_help = false;  ///< "-k": the list keyword=default only
  std::string task;
  std::string purpose;
  std::string example;  ///< the help's example command line (arguments only)
  std::vector<std::string> arguments;
  std::vector<std::string> history;    ///< arguments, each "-f FILE" replaced by the lines read from it
  std::vector<std::string> malformed;  ///< arguments that are not key=value (reported by keyfin)
  std::vector<std::string> asked;      ///< every keyword the program asked for
  std::vector<Keyword> keys;           ///< in order of first appearance
  std::vector<HelpEntry> help_entries;
  std::vector<HelpEntry> missing;  ///< required keywords not given, in reading order
};

KeyState& state() {
  static KeyState s;
  return s;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_key_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '$';
}

/// Position of the first non-blank character of `s` from `i` (s.size() if none).
std::size_t skip_blanks(const std::string& s, std::size_t i = 0) {
  while (i < s.size() && is_blank(s[i])) ++i;
  return i;
}

void store(const std::string& name, std::string value, bool local) {
  auto& keys = state().keys;
  auto it = std::find_if(keys.begin(), keys.end(), [&](const Keyword& k) { return k.name == name; });
  if (it == keys.end()) {
    keys.push_back({name, std::move(value), local});
    return;
  }
  // The last occurrence wins, except that a local (TASK/key) form is not
  // overridden by a later global one.
  if (it->local && !local) return;
  it->value = std::move(value);
  it->local = it->local || local;
}

/// One parameter "key=value" (or "TASK/key=value") from the command line or a
/// parameter file.
void parameter(std::string arg) {
  talva::strip_byte_order_mark(arg);
  std::size_t i = 0;
  while (i < arg.size() && is_blank(arg[i])) ++i;
  if (i == arg.size()) {  // an empty argument, or an empty line of a parameter file
    bug_warn("Badly formed parameter: [" + arg + "].");
    return;
  }
  if (arg[i] == '#') return;
  bool local = false;
  std::size_t start = i;
  while (i < arg.size() && is_key_char(arg[i])) ++i;
  if (i < arg.size() && arg[i] == '/') {
    // Local form: only for this task.
    if (arg.compare(start, i - start, state().task) != 0) return;
    local = true;
    start = ++i;
    while (i < arg.size() && is_key_char(arg[i])) ++i;
  }
  std::string name = arg.substr(start, i - start);
  const std::size_t equals = skip_blanks(arg, i);
  if (name.empty() || equals >= arg.size() || arg[equals] != '=') {
    // "cal.arc", "vis x", "my_key=1": not a keyword, however MIRIAD would split it
    state().malformed.push_back(arg);
    return;
  }
  i = equals;
  while (i < arg.size() && (is_blank(arg[i]) || arg[i] == '=')) ++i;
  if (i >= arg.size()) {
    bug_warn("Badly formed parameter: [" + arg + "].");
    return;
  }
  store(name, arg.substr(i), local);
}

/// Calls `take` with every line of the text file `path` (LF, CRLF or CR line
/// ends; a byte-order mark before the first skipped) and returns the bytes
/// read. Fatal: a file that cannot be opened (`open_error`) or read, a line
/// above 1 MiB (e.g. /dev/zero; `what` names the file in these two), more
/// than `budget` bytes in all (`over_budget`). SIGINT/SIGTERM end a wait for a FIFO's writer or data
/// as an interrupted run (status 130/143).
template <typename Take>
std::size_t each_line(const std::string& path, const std::string& open_error, const std::string& what,
                      std::size_t budget, const std::string& over_budget, Take take) {
  talva::stop_if_interrupted(" while opening " + path);
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) {
    talva::stop_if_interrupted(" while opening " + path);
    bug_fatal(open_error);
  }
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{f};
  std::string line;
  std::size_t bytes = 0;
  for (bool first = true;; first = false) {
    const talva::LineRead r = talva::read_line(f, line);
    talva::stop_if_interrupted(" while reading " + path);
    bytes += line.size() + 1;
    if (bytes > budget) bug_fatal(over_budget);
    if (first) talva::strip_byte_order_mark(line);
    switch (r) {
      case talva::LineRead::Line:
        take(line);
        continue;
      case talva::LineRead::End:
        return bytes;
      case talva::LineRead::TooLong:
        bug_fatal("A line of " + what + " [" + path + "] is longer than " + std::to_string(talva::kMaxLineBytes) +
                  " bytes.");
      case talva::LineRead::Error:
        bug_fatal("Error reading " + what + " [" + path + "].");
    }
  }
}

/// Reads the parameter file of "-f path" (once: its lines are kept for the history).
void parameter_file(const std::string& path) {
  each_line(path, "KeyIni: Failed to open the parameter file [" + path + "].", "the parameter file",
            kMaxKeywordFileBytes,
            "The parameter file [" + path + "] holds more than " + std::to_string(kMaxKeywordFileBytes) + " bytes.",
            [](const std::string& line) {
              state().history.push_back(line);
              parameter(line);
            });
}

void require_init() {
  if (!state().initialised) bug_fatal("The Key initialization routine must be called first.");
}

// Present while anything is left, blanks included: a value that ends in
// blanks ("a  ") or in a separator and a blank ("a, ") has one empty token
// after its last one, which gives the default.
bool present(const Keyword& k) { return !k.value.empty(); }

Keyword* find(const char* key) {
  for (auto& k : state().keys)
    if (k.name == key) return &k;
  return nullptr;
}

/// Reads an "@FILE" value: lines without leading and trailing blanks, empty
/// lines and "#" lines skipped, joined with commas.
std::string at_file(const std::string& path, Keyword& k) {
  if (++k.at_files > kMaxAtFiles)
    bug_fatal("The value of keyword [" + k.name + "] reads more than " + std::to_string(kMaxAtFiles) +
              " @ files (an @ file that names itself?).");
  std::string joined;
  bool first = true;
  const std::size_t budget = kMaxKeywordFileBytes - std::min(k.at_bytes, kMaxKeywordFileBytes);
  const std::string over = "The @ files of keyword [" + k.name + "] hold more than " +
                           std::to_string(kMaxKeywordFileBytes) + " bytes (an @ file that names itself?).";
  k.at_bytes +=
      each_line(path, "Error opening @ file [" + path + "].", "@ file", budget, over, [&](const std::string& line) {
        std::size_t b = skip_blanks(line);
        std::size_t e = line.size();
        while (e > b && is_blank(line[e - 1])) --e;
        if (b == e || line[b] == '#') return;
        if (!first) joined += ',';
        joined.append(line, b, e - b);
        first = false;
      });
  return joined;
}

/// Takes the next token of `key`'s value. Returns false when the keyword is
/// absent or used up; an empty token (two separators in a row) returns true
/// with an empty `token`.
bool next_token(const char* key, std::string& token) {
  require_init();
  token.clear();
  if (state().help) return false;
  Keyword* k = find(key);
  if (k == nullptr) return false;
  for (int depth = 0;; ++depth) {
    std::string& v = k->value;
    std::size_t i = skip_blanks(v);
    if (i == v.size()) {
      v.clear();
      return false;
    }
    std::size_t start = i;
    int parens = 0;
    char quote = 0;
    for (; i < v.size(); ++i) {
      char c = v[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '(') {
        ++parens;
      } else if (c == ')') {
        if (parens > 0) --parens;
      } else if (parens == 0 && (c == ',' || is_blank(c))) {
        break;
      }
    }
    token = v.substr(start, i - start);
    std::string rest = i < v.size() ? v.substr(i + 1) : std::string();
    if (token.size() >= 2 && (token.front() == '"' || token.front() == '\'') && token.back() == token.front())
      token = token.substr(1, token.size() - 2);
    if (token.empty() || token.front() != '@') {
      v = std::move(rest);
      return true;
    }
    if (depth >= max_at_file_depth)
      bug_fatal("Too many nested @ files in the value of keyword [" + std::string(key) + "].");
    std::string expanded = at_file(token.substr(1), *k);
    if (skip_blanks(rest) < rest.size()) {
      expanded += ',';
      expanded += rest;
    }
    v = std::move(expanded);
  }
}

HelpEntry& help_entry(const char* key, const KeyDoc& doc) {
  auto& entries = state().help_entries;
  auto it = std::find_if(entries.begin(), entries.end(), [&](const HelpEntry& e) { return e.name == key; });
  if (it == entries.end()) {
    entries.push_back({key, {}, {}, false});
    it = entries.end() - 1;
  }
  if (it->meaning.empty() && doc.text != nullptr) {
    it->meaning = doc.text;
    it->required = doc.required;
  }
  return *it;
}

/// Records (key, default, meaning) for the help listing.
void register_default(const char* key, std::string def, const KeyDoc& doc) {
  help_entry(key, doc).defaults.push_back(std::move(def));
}

/// Notes that the program reads `key` (whether given or not).
void note_asked(const char* key) {
  auto& asked = state().asked;
  if (std::find(asked.begin(), asked.end(), key) == asked.end()) asked.emplace_back(key);
}

/// Notes a required keyword that was not given (once).
void note_missing(const char* key, const KeyDoc& doc) {
  auto& m = state().missing;
  if (std::none_of(m.begin(), m.end(), [&](const HelpEntry& e) { return e.name == key; }))
    m.push_back({key, {}, doc.text != nullptr ? doc.text : "", true});
}

/// Width of the help's "keyword=default" column; a longer one puts its
/// meaning after two blanks.
constexpr std::size_t kMaxHelpColumn = 22;

/// The help listing: with `plain`, "keyword=default" lines (as -k prints);
/// otherwise the purpose, then each keyword with its default and meaning.
std::string help_text(const KeyState& s, bool plain) {
  const std::string task = s.task.empty() ? std::string("this program") : s.task;
  std::vector<std::string> heads;
  std::size_t width = 0;
  for (const auto& e : s.help_entries) {
    std::string h = e.name + "=";
    for (std::size_t i = 0; i < e.defaults.size(); ++i) h += (i > 0 ? "," : "") + e.defaults[i];
    if (!plain && e.required) h = e.name + "=";  // a blank default means nothing to the reader
    if (h.size() <= kMaxHelpColumn) width = std::max(width, h.size());
    heads.push_back(std::move(h));
  }
  if (plain) {
    std::string out = "Keywords of " + task + " (keyword=default):\n";
    for (const auto& h : heads) out += "  " + h + '\n';
    return out;
  }
  std::string out = task + ": " + (s.purpose.empty() ? std::string("(no description)") : s.purpose) + "\n";
  out += "Keywords (keyword=default, then the meaning):\n";
  for (std::size_t k = 0; k < heads.size(); ++k) {
    const HelpEntry& e = s.help_entries[k];
    std::string line = "  " + heads[k];
    std::string meaning = e.meaning;
    if (e.required) meaning = "required: " + meaning;
    if (!meaning.empty()) {
      line.append(heads[k].size() < width ? width - heads[k].size() : 0, ' ');
      line += "  " + meaning;
    }
    out += line + '\n';
  }
  if (!s.example.empty()) out += "Example:\n  " + task + " " + s.example + "\n";
  return out;
}

template <typename T>
std::string shortest(T x) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, r.ptr);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

/// Decimal integer: optional sign and digits, nothing else.
bool is_decimal_integer(std::string_view t) {
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  if (i == t.size()) return false;
  for (; i < t.size(); ++i)
    if (!is_digit(t[i])) return false;
  return true;
}

/// Decimal real: [sign] digits [. digits] or [sign] . digits, optional
/// exponent e/E [sign] digits; nothing else (no hex, no inf/nan).
bool is_decimal_real(std::string_view t) {
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  std::size_t mantissa_digits = 0;
  while (i < t.size() && is_digit(t[i])) ++i, ++mantissa_digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && is_digit(t[i])) ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < t.size() && is_digit(t[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == t.size();
}

/// The token as a finite double; false if it is not a decimal number.
bool parse_real(const std::string& t, double& x) {
  if (!is_decimal_real(t)) return false;
  errno = 0;
  char* end = nullptr;
  x = std::strtod(t.c_str(), &end);
  return end == t.c_str() + t.size() && std::isfinite(x);
}

[[noreturn]] void conversion_error(const char* routine, const char* key, const std::string& token) {
  bug_fatal(std::string(routine) + ": Conversion error decoding parameter [" + key + "=" + token + "].");
}

bool asked(const KeyState& s, const std::string& key) {
  return std::find(s.asked.begin(), s.asked.end(), key) != s.asked.end();
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

/// Edits (insertions, deletions, substitutions, swaps of neighbours) from a
/// to b, letters compared without case.
std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1]))
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

/// "calflux: no such keyword; did you mean calflx?" (a suggestion only for a
/// keyword of the program at most two edits away).
std::string unknown_keyword(const KeyState& s, const std::string& name) {
  std::string best;
  std::size_t best_distance = 3;
  for (const auto& k : s.asked) {
    const std::size_t d = edit_distance(name, k);
    if (d < best_distance && d < name.size() && d < k.size()) best = k, best_distance = d;
  }
  const std::string task = s.task.empty() ? std::string("this program") : s.task;
  if (!best.empty()) return name + ": no such keyword; did you mean " + best + "?";
  return name + ": no such keyword (" + task + " -h lists the keywords).";
}

/// The messages for arguments that are not keywords of the program: unknown
/// names, flags, words without "=" (shown as the value of the first required
/// keyword not given: "cal.arc" as "archive=cal.arc").
std::vector<std::string> argument_errors(const KeyState& s) {
  std::vector<std::string> errors;
  for (const auto& a : s.malformed) {
    const std::size_t eq = a.find('=');
    std::size_t dashes = 0;
    while (dashes < a.size() && a[dashes] == '-') ++dashes;
    if (dashes > 0 && eq != std::string::npos) {
      errors.push_back(a + ": keywords are written without dashes, as " + a.substr(dashes) + ".");
    } else if (dashes > 0) {
      errors.push_back(a + ": not understood; the flags are -f FILE, -h and -k, keywords are written name=value.");
    } else if (const std::string name =
                   eq == std::string::npos ? "" : talva::trim_right(a.substr(skip_blanks(a), eq - skip_blanks(a)));
               !name.empty()) {
      errors.push_back(unknown_keyword(s, name));
    } else {
      std::string text = a + ": not understood; keywords are written name=value";
      if (!s.missing.empty())
        text += ", as " + s.missing.front().name + "=" + talva::trim_right(a.substr(skip_blanks(a)));
      errors.push_back(text + ".");
    }
  }
  for (const auto& k : s.keys)
    if (!asked(s, k.name)) errors.push_back(unknown_keyword(s, k.name));
  return errors;
}

}  // namespace

void keyini(int argc, char** argv, const char* purpose, const char* example) {
  KeyState& s = state();
  s = KeyState{};
  s.initialised = true;
  if (purpose != nullptr) s.purpose = purpose;
  if (example != nullptr) s.example = example;
  if (argc > 0 && argv[0] != nullptr) {
    std::string a0 = argv[0];
    std::size_t p = a0.find_last_of("/]");
    s.task = p == std::string::npos ? a0 : a0.substr(p + 1);
  }
  for (int i = 1; i < argc; ++i) s.arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
  for (std::size_t i = 0; i < s.arguments.size(); ++i) {
    const std::string& a = s.arguments[i];
    if (a == "-f") {
      if (i + 1 >= s.arguments.size()) bug_fatal("KeyIni: No parameter file given for -f option.");
      parameter_file(s.arguments[++i]);
      continue;
    }
    s.history.push_back(a);
    if (a == "-?" || a == "-h" || a == "--help" || a == "-k") {
      s.help = true;
      if (a == "-k") s.plain_help = true;
    } else if (!a.empty() && a[0] == '-') {
      s.malformed.push_back(a);
    } else {
      parameter(a);
    }
  }
}

namespace {

// The next token of `key`; false when the default applies (no token left, or
// an empty one). Records the default for a help listing, and a required
// keyword that was not given.
bool take_token(const char* key, const std::string& def_text, std::string& token, const KeyDoc& doc) {
  require_init();
  note_asked(key);
  if (state().help) register_default(key, def_text, doc);
  const bool got = next_token(key, token) && !token.empty();
  if (!got && doc.required && !state().help) note_missing(key, doc);
  return got;
}

// A token read as a real in double precision (KeyD's conversion error).
double real_value(const char* key, const std::string& token) {
  double x = 0;
  if (!parse_real(token, x)) conversion_error("KeyD", key, token);
  return x;
}

}  // namespace

void keya(const char* key, std::string& value, const std::string& def, KeyDoc doc) {
  std::string token;
  value = take_token(key, def, token, doc) ? token : def;
}

void keyi(const char* key, int& value, int def, KeyDoc doc) {
  std::string t;
  if (!take_token(key, std::to_string(def), t, doc)) {
    value = def;
    return;
  }
  if (is_decimal_integer(t)) {
    long long v = 0;
    const char* b = t.c_str() + (t[0] == '+' ? 1 : 0);
    auto r = std::from_chars(b, t.c_str() + t.size(), v);
    if (r.ec != std::errc() || r.ptr != t.c_str() + t.size() || v < std::numeric_limits<int>::min() ||
        v > std::numeric_limits<int>::max())
      conversion_error("KeyI", key, t);
    value = static_cast<int>(v);
    return;
  }
  double x = 0;
  if (!parse_real(t, x)) conversion_error("KeyI", key, t);
  x = std::round(x);  // half away from zero, as MIRIAD rounds
  if (x < std::numeric_limits<int>::min() || x > std::numeric_limits<int>::max()) conversion_error("KeyI", key, t);
  value = static_cast<int>(x);
}

void keyd(const char* key, double& value, double def, KeyDoc doc) {
  std::string t;
  value = take_token(key, shortest(def), t, doc) ? real_value(key, t) : def;
}

void keyr(const char* key, float& value, float def, KeyDoc doc) {
  std::string t;
  if (!take_token(key, shortest(def), t, doc)) {
    value = def;
    return;
  }
  const float f = static_cast<float>(real_value(key, t));
  if (!std::isfinite(f)) conversion_error("KeyD", key, t);
  value = f;
}

void keyl(const char* key, bool& value, bool def, KeyDoc doc) {
  std::string t;
  value = def;
  if (!take_token(key, def ? "true" : "false", t, doc)) return;
  char c = t[0];
  if (c == '.' && t.size() > 1) c = t[1] == 't' || t[1] == 'T' ? 'T' : (t[1] == 'f' || t[1] == 'F' ? 'F' : '?');
  switch (c) {
    case 't':
    case 'T':
    case 'y':
    case 'Y':
    case '1':
      value = true;
      return;
    case 'f':
    case 'F':
    case 'n':
    case 'N':
    case '0':
      value = false;
      return;
    default:
      bug_warn("KeyL: invalid value for a logical: [" + t + "].");
  }
}

bool keyprsnt(const char* key, KeyDoc doc) {
  require_init();
  note_asked(key);
  if (state().help) {
    help_entry(key, doc);  // listed (without a default) even if the program reads it only while present
    return false;
  }
  const Keyword* k = find(key);
  return k != nullptr && present(*k);
}

void keymissing(const char* key, const char* what) {
  require_init();
  note_asked(key);
  if (!state().help) note_missing(key, required(what));
}

void keyfin() {
  require_init();
  KeyState& s = state();
  if (s.help) {
    const std::string out = help_text(s, s.plain_help);
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    s.keys.clear();
    s.help_entries.clear();
    s.initialised = false;
    throw talva::Stop("", 0);
  }
  std::vector<std::string> errors = argument_errors(s);
  for (auto it = s.keys.rbegin(); it != s.keys.rend(); ++it)
    if (present(*it) && asked(s, it->name)) bug_warn("Keyword [" + it->name + "] not used or not exhausted.");
  for (const auto& e : s.missing) errors.push_back(e.name + "= (" + e.meaning + ") is required.");
  s.keys.clear();
  s.missing.clear();
  s.initialised = false;
  std::string message;
  for (const auto& e : errors) message += (message.empty() ? "" : "\n### Fatal Error:  ") + e;
  if (!message.empty()) bug_fatal(message);
}

namespace {
template <typename T>
void check_range(const char* key, T value, double lo, double hi, bool above_lo) {
  const double v = static_cast<double>(value);
  if ((above_lo ? v > lo : v >= lo) && v <= hi) return;
  // bounds are whole numbers here: "1000000", not "1e+06"
  auto bound = [](double b) { return std::to_string(static_cast<long long>(b)); };
  std::string range = bound(lo) + " to " + bound(hi);
  if (above_lo) range = "above " + bound(lo) + " up to " + bound(hi);
  if (lo <= std::numeric_limits<int>::min()) range = "at most " + bound(hi);
  bug_fatal("Keyword [" + std::string(key) + "=" + shortest(value) + "] out of range: " + range + ".");
}
}  // namespace

void keyrange(const char* key, double value, double lo, double hi, bool above_lo) {
  check_range(key, value, lo, hi, above_lo);
}
void keyrange(const char* key, float value, double lo, double hi, bool above_lo) {
  check_range(key, value, lo, hi, above_lo);
}
void keyrange(const char* key, int value, double lo, double hi, bool above_lo) {
  check_range(key, value, lo, hi, above_lo);
}

const std::string& key_task_name() { return state().task; }
const std::vector<std::string>& key_arguments() { return state().arguments; }
const std::vector<std::string>& key_history() { return state().history; }

}  // namespace talva::miriad
