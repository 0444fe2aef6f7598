#pragma once
// Fortran-style output of the programs' messages.
//
// Formatted output: fmt_i (Iw), fmt_f (Fw.d), fmt_a (A) build the fields of a
// line exactly as the edit descriptors do (a value too wide for its field
// prints as w asterisks). List-directed output: ListLine builds a free-format
// line that starts with one blank; text items follow one another without
// separators, numbers are separated from their neighbours by one blank.
#include <complex>
#include <cstdint>
#include <string>
#include <string_view>

namespace talva {

/// Iw: integer right-aligned in w columns; "*" × w when it does not fit.
std::string fmt_i(long long value, int width);
/// Fw.d: fixed-point real in w columns with d decimals; "*" × w when it does not fit.
std::string fmt_f(double value, int width, int decimals);
/// printf's "%*.*f": `decimals` decimals, right-aligned in at least `width`
/// columns (never cut).
std::string fixed(double value, int decimals, int width = 0);
/// Text without trailing blanks (A applied to a blank-padded variable is the
/// caller's business; this helper only trims).
std::string trim_right(std::string_view text);

/// Writes one line (a newline is added) to standard output.
void put_line(std::string_view line);

/// A list-directed (free-format) output line.
class ListLine {
 public:
  ListLine() : text_(" ") {}
  ListLine& operator<<(std::string_view text);
  ListLine& operator<<(const char* text) { return *this << std::string_view(text); }
  ListLine& operator<<(const std::string& text) { return *this << std::string_view(text); }
  ListLine& operator<<(int value);
  ListLine& operator<<(long value);
  ListLine& operator<<(long long value);
  /// Single-precision values print with 9 significant digits (they read back
  /// exactly); doubles with 17.
  ListLine& operator<<(float value);
  ListLine& operator<<(double value);
  /// Complex values print as (re,im).
  ListLine& operator<<(std::complex<float> value);
  const std::string& str() const { return text_; }
  /// Writes the line to standard output.
  void print() const { put_line(text_); }

 private:
  void number(const std::string& formatted);
  std::string text_;
  bool last_number_ = false;
};

/// Number formats used by ListLine, for callers that build lines by hand.
std::string list_real(float value);
std::string list_real(double value);
std::string list_complex(std::complex<float> value);

}  // namespace talva
