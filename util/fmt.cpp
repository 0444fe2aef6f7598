#include "util/fmt.h"

#include <cerrno>
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

std::string list_real(float value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(value));
  return buf;
}

std::string list_real(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", value);
  return buf;
}

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
