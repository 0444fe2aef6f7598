#include "util/fmt.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>

#include "util/interrupt.h"

namespace talva {

std::string fmt_i(long long value, int width) {
  std::string s = std::to_string(value);
  if (static_cast<int>(s.size()) > width) return std::string(static_cast<std::size_t>(width), '*');
  return std::string(static_cast<std::size_t>(width) - s.size(), ' ') + s;
}

std::string fmt_f(double value, int width, int decimals) {
  if (!std::isfinite(value)) {
    std::string s = std::isnan(value) ? "NaN" : (value > 0 ? "Infinity" : "-Infinity");
    if (static_cast<int>(s.size()) > width) return std::string(static_cast<std::size_t>(width), '*');
    return std::string(static_cast<std::size_t>(width) - s.size(), ' ') + s;
  }
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  std::string s(buf);
  if (static_cast<int>(s.size()) > width) {
    // Fortran drops the optional leading zero before giving up: "-0.50" -> "-.50"
    std::size_t z = (s[0] == '-') ? 1 : 0;
    if (s.size() > z + 1 && s[z] == '0' && s[z + 1] == '.') s.erase(z, 1);
  }
  if (static_cast<int>(s.size()) > width) return std::string(static_cast<std::size_t>(width), '*');
  return std::string(static_cast<std::size_t>(width) - s.size(), ' ') + s;
}

std::string fixed(double value, int decimals, int width) {
  char buf[400];
  std::string s;
  // std::to_chars gives printf's text for every finite value, faster
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (std::isfinite(value) && r.ec == std::errc()) {
    s.assign(buf, r.ptr);
  } else {
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    s = buf;
  }
  if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<std::size_t>(width) - s.size(), ' ');
  return s;
}

std::string trim_right(std::string_view text) {
  std::size_t n = text.size();
  while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\0')) --n;
  return std::string(text.substr(0, n));
}

void put_line(std::string_view line) {
  const std::size_t n = std::fwrite(line.data(), 1, line.size(), stdout);
  const int c = std::fputc('\n', stdout);
  // The reader went away: the run stops at its next clean point.
  if ((n < line.size() || c == EOF) && errno == EPIPE) request_stop(SIGPIPE);
}

namespace {

/// printf's "%.{digits}g" of a value: std::to_chars gives the same text for
/// every finite value, several times faster (gains tables print thousands).
std::string general(double value, int digits) {
  char buf[64];
  if (std::isfinite(value)) {
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, digits);
    if (r.ec == std::errc()) return std::string(buf, r.ptr);
  }
  std::snprintf(buf, sizeof buf, "%.*g", digits, value);
  return buf;
}

}  // namespace

std::string list_real(float value) { return general(static_cast<double>(value), 9); }

std::string list_real(double value) { return general(value, 17); }

std::string list_complex(std::complex<float> value) {
  return "(" + list_real(value.real()) + "," + list_real(value.imag()) + ")";
}

ListLine& ListLine::operator<<(std::string_view text) {
  text_.append(text);
  last_number_ = false;
  return *this;
}

void ListLine::number(const std::string& formatted) {
  if (text_.size() > 1 && text_.back() != ' ') text_.push_back(' ');
  text_.append(formatted);
  last_number_ = true;
}

ListLine& ListLine::operator<<(int value) {
  number(std::to_string(value));
  return *this;
}
ListLine& ListLine::operator<<(long value) {
  number(std::to_string(value));
  return *this;
}
ListLine& ListLine::operator<<(long long value) {
  number(std::to_string(value));
  return *this;
}
ListLine& ListLine::operator<<(float value) {
  number(list_real(value));
  return *this;
}
ListLine& ListLine::operator<<(double value) {
  number(list_real(value));
  return *this;
}
ListLine& ListLine::operator<<(std::complex<float> value) {
  number(list_complex(value));
  return *this;
}

}  // namespace talva
