#include "util/textin.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "util/stop.h"

namespace talva {

TextInput::TextInput(std::string path, std::string what) : path_(std::move(path)), what_(std::move(what)) {
  if (path_.empty()) stop("no " + what_ + " file given");
  std::FILE* f = std::fopen(path_.c_str(), "r");
  if (f == nullptr) stop("cannot open " + what_ + " file " + path_ + ": " + std::strerror(errno));
  file_.reset(f);
}

LineRead read_line(std::FILE* f, std::string& line, std::size_t limit) {
  line.clear();
  int c = std::getc(f);
  if (c == EOF) return std::ferror(f) ? LineRead::Error : LineRead::End;
  for (; c != EOF; c = std::getc(f)) {
    if (c == '\n') return LineRead::Line;
    if (c == '\r') {
      const int next = std::getc(f);
      if (next != '\n' && next != EOF) std::ungetc(next, f);
      return LineRead::Line;
    }
    if (line.size() >= limit) return LineRead::TooLong;
    line.push_back(static_cast<char>(c));
  }
  return std::ferror(f) ? LineRead::Error : LineRead::Line;
}

bool strip_byte_order_mark(std::string& text) {
  if (text.rfind("\xEF\xBB\xBF", 0) != 0) return false;
  text.erase(0, 3);
  return true;
}

bool TextInput::next_line(std::string& line, std::size_t max_len) {
  switch (read_line(file_.get(), line)) {
    case LineRead::End:
      return false;
    case LineRead::Error:
      fail_file("read error");
    case LineRead::TooLong:
      ++line_;
      fail("line longer than " + std::to_string(kMaxLineBytes) + " bytes");
    case LineRead::Line:
      break;
  }
  if (line_ == 0) strip_byte_order_mark(line);
  if (max_len > 0 && line.size() > max_len) line.resize(max_len);
  ++line_;
  return true;
}

void TextInput::fail(const std::string& message) const {
  stop(path_ + ", line " + std::to_string(line_) + ": " + message);
}

void TextInput::fail_file(const std::string& message) const { stop(path_ + ": " + message); }

FreeFormat::FreeFormat(std::string_view text, const TextInput* source) : text_(text), source_(source) {}

void FreeFormat::fail(const std::string& message) const {
  if (source_ != nullptr) source_->fail(message);
  stop(message);
}

namespace {
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
}  // namespace

void FreeFormat::skip_separators() {
  while (pos_ < text_.size() && is_blank(text_[pos_])) ++pos_;
  if (pos_ < text_.size() && text_[pos_] == ',' && pos_ > 0) {
    ++pos_;
    while (pos_ < text_.size() && is_blank(text_[pos_])) ++pos_;
  }
}

bool FreeFormat::at_end() {
  skip_separators();
  return pos_ >= text_.size();
}

std::string_view FreeFormat::token() {
  skip_separators();
  std::size_t start = pos_;
  if (pos_ < text_.size() && text_[pos_] == '(') {
    // complex value: up to the matching ')'
    while (pos_ < text_.size() && text_[pos_] != ')') ++pos_;
    if (pos_ < text_.size()) ++pos_;
    return text_.substr(start, pos_ - start);
  }
  while (pos_ < text_.size() && !is_blank(text_[pos_]) && text_[pos_] != ',') ++pos_;
  return text_.substr(start, pos_ - start);
}

namespace {
std::string quoted(std::string_view t) {
  if (t.empty()) return "nothing";
  // appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about the
  // inlined "'" + std::string(t) + "'"
  std::string q;
  q.reserve(t.size() + 2);
  q += '\'';
  q.append(t);
  q += '\'';
  return q;
}
}  // namespace

std::int32_t FreeFormat::integer(std::string_view what) {
  std::string_view t = token();
  std::int32_t v = 0;
  if (!parse_int32(t, v)) fail("expected an integer (" + std::string(what) + "), found " + quoted(t));
  return v;
}

float FreeFormat::real32(std::string_view what) {
  std::string_view t = token();
  float v = 0;
  if (!parse_real32(t, v)) fail("expected a number (" + std::string(what) + "), found " + quoted(t));
  return v;
}

double FreeFormat::real64(std::string_view what) {
  std::string_view t = token();
  double v = 0;
  if (!parse_real64(t, v)) fail("expected a number (" + std::string(what) + "), found " + quoted(t));
  return v;
}

std::complex<float> FreeFormat::complex32(std::string_view what) {
  std::string_view t = token();
  auto bad = [&]() { fail("expected a complex value (re,im) (" + std::string(what) + "), found " + quoted(t)); };
  if (t.size() < 5 || t.front() != '(' || t.back() != ')') bad();
  std::string_view inner = t.substr(1, t.size() - 2);
  std::size_t comma = inner.find(',');
  if (comma == std::string_view::npos) bad();
  auto trim = [](std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
  };
  float re = 0, im = 0;
  if (!parse_real32(trim(inner.substr(0, comma)), re) || !parse_real32(trim(inner.substr(comma + 1)), im)) bad();
  return {re, im};
}

bool parse_int32(std::string_view token, std::int32_t& value) {
  if (token.empty() || token.size() > 40) return false;
  std::string s(token);
  std::size_t i = 0;
  if (s[i] == '+' || s[i] == '-') ++i;
  if (i >= s.size()) return false;
  for (std::size_t k = i; k < s.size(); ++k)
    if (s[k] < '0' || s[k] > '9') return false;
  errno = 0;
  long long v = std::strtoll(s.c_str(), nullptr, 10);
  if (errno != 0 || v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    return false;
  value = static_cast<std::int32_t>(v);
  return true;
}

namespace {
// A decimal real: digits with an optional point, optional exponent E or D.
bool real_text(std::string_view token, std::string& out) {
  if (token.empty() || token.size() > 80) return false;
  out.assign(token);
  std::size_t i = 0;
  if (out[i] == '+' || out[i] == '-') ++i;
  std::size_t digits = 0;
  while (i < out.size() && out[i] >= '0' && out[i] <= '9') ++i, ++digits;
  if (i < out.size() && out[i] == '.') {
    ++i;
    while (i < out.size() && out[i] >= '0' && out[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < out.size() && (out[i] == 'e' || out[i] == 'E' || out[i] == 'd' || out[i] == 'D')) {
    out[i] = 'e';
    ++i;
    if (i < out.size() && (out[i] == '+' || out[i] == '-')) ++i;
    std::size_t ed = 0;
    while (i < out.size() && out[i] >= '0' && out[i] <= '9') ++i, ++ed;
    if (ed == 0) return false;
  }
  return i == out.size();
}
}  // namespace

bool parse_real32(std::string_view token, float& value) {
  std::string s;
  if (!real_text(token, s)) return false;
  float v = std::strtof(s.c_str(), nullptr);
  if (!std::isfinite(v)) return false;
  value = v;
  return true;
}

bool parse_real64(std::string_view token, double& value) {
  std::string s;
  if (!real_text(token, s)) return false;
  double v = std::strtod(s.c_str(), nullptr);
  if (!std::isfinite(v)) return false;
  value = v;
  return true;
}

}  // namespace talva
