#pragma once
// Strict reading of the system's small text files (layout, rejection lists,
// gains, phase and meridian-distance tables).
//
// Every error stops the program with one message that names the file, the
// line and the text that failed, e.g.
//   "corr_layout.file, line 12: expected an integer (antenna number), found 'x3'"
#include <complex>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace talva {

/// The longest line any text input may hold, in bytes (1 MiB): a longer
/// one (e.g. /dev/zero) is refused instead of filling the memory.
inline constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;

enum class LineRead { Line, End, TooLong, Error };

/// Reads one line of `f` into `line`, without its end: LF, CRLF or a bare CR.
/// End at end of file with nothing read; TooLong after `limit` bytes without
/// a line end (the rest of the line is not read); Error on a read error.
LineRead read_line(std::FILE* f, std::string& line, std::size_t limit = kMaxLineBytes);

/// Removes a UTF-8 byte-order mark (EF BB BF) from the start of `text`, as an
/// editor may write one before a file's first line; true if there was one.
bool strip_byte_order_mark(std::string& text);

/// A text file read one line at a time (RAII).
class TextInput {
 public:
  /// Opens `path` for reading; `what` names the kind of file in the message
  /// ("layout", "gains", ...). A file that cannot be opened stops the program.
  TextInput(std::string path, std::string what);

  /// Reads the next line without its line end (LF, CRLF or CR). Returns
  /// false at end of file; a line above 1 MiB stops the program.
  /// Lines longer than `max_len` characters (0: no limit) are cut there, as
  /// a Fortran record of that length would be.
  bool next_line(std::string& line, std::size_t max_len = 0);

  int line_number() const { return line_; }
  const std::string& path() const { return path_; }

  /// Stops the program with "<path>, line <n>: <message>".
  [[noreturn]] void fail(const std::string& message) const;
  /// Stops the program with "<path>: <message>" (no line).
  [[noreturn]] void fail_file(const std::string& message) const;

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::string path_;
  std::string what_;
  std::unique_ptr<std::FILE, Closer> file_;
  int line_ = 0;
};

/// The values of one line in list-directed (free) form: separated by blanks,
/// tabs or one comma; a complex value is written "(re,im)". Values are taken
/// from the left; whatever follows the values a caller asks for is ignored.
class FreeFormat {
 public:
  /// `source` (may be null) names file and line in error messages.
  FreeFormat(std::string_view text, const TextInput* source);

  /// True when no further value is on the line.
  bool at_end();

  /// The next value as a decimal integer (optional sign); stops the program
  /// when it is missing or not an integer. `what` names it in the message.
  std::int32_t integer(std::string_view what);
  /// The next value as a real, rounded once to single precision.
  float real32(std::string_view what);
  /// The next value as a real in double precision.
  double real64(std::string_view what);
  /// The next value as a complex "(re,im)" in single precision.
  std::complex<float> complex32(std::string_view what);

  /// The raw next token (empty when none is left).
  std::string_view token();

 private:
  [[noreturn]] void fail(const std::string& message) const;
  void skip_separators();
  std::string_view text_;
  std::size_t pos_ = 0;
  const TextInput* source_;
};

/// Strict conversions of one whole token. Fortran's D exponent is accepted
/// for reals. They return false when the token is not entirely a number.
bool parse_int32(std::string_view token, std::int32_t& value);
bool parse_real32(std::string_view token, float& value);
bool parse_real64(std::string_view token, double& value);

}  // namespace talva
