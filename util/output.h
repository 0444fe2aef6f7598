#pragma once
// The program's output object: where library code writes its messages.
//
// A program's main owns one StdoutOutput and hands it to what it calls; a
// test hands a StringOutput and reads the text back. Lines go out at once,
// in order with anything else the program writes to standard output.
#include <string>
#include <string_view>
#include <vector>

#include "util/fmt.h"

namespace talva {

class Output {
 public:
  virtual ~Output() = default;
  /// Writes one line (a line end is added).
  virtual void line(std::string_view text) = 0;
  /// Writes a list-directed line.
  void line(const ListLine& l) { line(std::string_view(l.str())); }
};

/// Standard output.
class StdoutOutput final : public Output {
 public:
  using Output::line;
  void line(std::string_view text) override { put_line(text); }
};

/// Discards every line (messages a caller does not want shown).
class NullOutput final : public Output {
 public:
  using Output::line;
  void line(std::string_view) override {}
};

/// Keeps the lines written to it until released: set-up messages made early
/// and shown where the run has always shown them.
class HeldLines final : public Output {
 public:
  using Output::line;
  void line(std::string_view text) override { lines_.emplace_back(text); }
  /// Writes the lines kept to `out` and forgets them.
  void release(Output& out) {
    for (const std::string& l : lines_) out.line(l);
    lines_.clear();
  }

 private:
  std::vector<std::string> lines_;
};

/// Collects the lines in a string (tests).
class StringOutput final : public Output {
 public:
  using Output::line;
  void line(std::string_view text) override {
    text_.append(text);
    text_.push_back('\n');
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace talva
