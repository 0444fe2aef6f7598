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
#include "util/stop.h"
#include "util/textin.h"

namespace miriad {
namespace {

struct Keyword {
  std::string name;
  std::string value;   ///< what is left to read
  bool local = false;  ///< given as TASK/key=value: a later global form is ignored
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

struct KeyState {
  bool initialised = false;
  bool help = false;
  bool plain_help = false;  ///< "-k": the list keyword=default only
  std::string task;
  std::string purpose;
  std::vector<std::string> arguments;
  std::vector<Keyword> keys;  ///< in order of first appearance
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
void parameter(const std::string& arg) {
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
  if (i >= arg.size()) {
    bug_warn("Badly formed parameter: [" + arg + "].");
    return;
  }
  ++i;  // the character that ends the keyword, whatever it is
  while (i < arg.size() && (is_blank(arg[i]) || arg[i] == '=')) ++i;
  if (i >= arg.size()) {
    bug_warn("Badly formed parameter: [" + arg + "].");
    return;
  }
  store(name, arg.substr(i), local);
}

/// Calls `take` with every line of the text file `path` (LF, CRLF or CR line
/// ends). Fatal: a file that cannot be opened (`open_error`) or read, and a
/// line above 1 MiB (e.g. /dev/zero); `what` names the file in the last two.
template <typename Take>
void each_line(const std::string& path, const std::string& open_error, const std::string& what, Take take) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) bug_fatal(open_error);
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{f};
  std::string line;
  for (;;) {
    switch (talva::read_line(f, line)) {
      case talva::LineRead::Line: take(line); continue;
      case talva::LineRead::End: return;
      case talva::LineRead::TooLong:
        bug_fatal("A line of " + what + " [" + path + "] is longer than " + std::to_string(talva::kMaxLineBytes) +
                  " bytes.");
      case talva::LineRead::Error: bug_fatal("Error reading " + what + " [" + path + "].");
    }
  }
}

void parameter_file(const std::string& path) {
  each_line(path, "KeyIni: Failed to open the parameter file [" + path + "].", "the parameter file",
            [](const std::string& line) { parameter(line); });
}

void require_init() {
  if (!state().initialised) bug_fatal("The Key initialization routine must be called first.");
}

/// Position of the first non-blank character of `s` (s.size() if none).
std::size_t skip_blanks(const std::string& s, std::size_t i = 0) {
  while (i < s.size() && is_blank(s[i])) ++i;
  return i;
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
std::string at_file(const std::string& path) {
  std::string joined;
  bool first = true;
  each_line(path, "Error opening @ file [" + path + "].", "@ file", [&](const std::string& line) {
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
    std::string expanded = at_file(token.substr(1));
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

}  // namespace

void keyini(int argc, char** argv, const char* purpose) {
  KeyState& s = state();
  s = KeyState{};
  s.initialised = true;
  if (purpose != nullptr) s.purpose = purpose;
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
    } else if (a == "-?" || a == "-h" || a == "--help" || a == "-k") {
      s.help = true;
      if (a == "-k") s.plain_help = true;
    } else if (!a.empty() && a[0] == '-') {
      bug_warn("KeyIni: Flag [" + a + "] not understood.");
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
    case 't': case 'T': case 'y': case 'Y': case '1':
      value = true;
      return;
    case 'f': case 'F': case 'n': case 'N': case '0':
      value = false;
      return;
    default:
      bug_warn("KeyL: invalid value for a logical: [" + t + "].");
  }
}

bool keyprsnt(const char* key, KeyDoc doc) {
  require_init();
  if (state().help) {
    help_entry(key, doc);  // listed (without a default) even if the program reads it only while present
    return false;
  }
  const Keyword* k = find(key);
  return k != nullptr && present(*k);
}

void keymissing(const char* key, const char* what) {
  require_init();
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
  for (auto it = s.keys.rbegin(); it != s.keys.rend(); ++it)
    if (present(*it)) bug_warn("Keyword [" + it->name + "] not used or not exhausted.");
  std::string missing;
  for (const auto& e : s.missing)
    missing += (missing.empty() ? "" : "\n### Fatal Error:  ") + e.name + "= (" + e.meaning + ") is required.";
  s.keys.clear();
  s.missing.clear();
  s.initialised = false;
  if (!missing.empty()) bug_fatal(missing);
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

}  // namespace miriad
