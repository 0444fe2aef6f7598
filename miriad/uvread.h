#pragma once
// Reading the uv datasets the writer produces (for tests and tools).
//
// The reader follows MIRIAD's rules for where items live (packed in
// `header` or files) and how the variable stream forms records, but is
// stricter than MIRIAD: a damaged dataset (truncated stream or items, bad
// record codes, variable indices outside the vartable, missing required
// variables) stops with one "### Fatal Error:" message naming the dataset,
// where MIRIAD would silently lose records or crash.
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace talva::miriad {

struct UvItem {
  std::string name;
  bool in_header = false;  ///< packed in `header` (else a file)
  std::uint64_t size = 0;
};

/// A uv variable and its current value (big-endian bytes as stored).
struct UvVar {
  std::string name;
  char type = 0;                    ///< a j i r d c
  std::vector<std::uint8_t> value;  ///< empty until the stream gives a value
  bool updated = false;             ///< a SIZE or DATA of it came with the latest record

  std::size_t count() const;  ///< number of elements in the value
  std::string text() const;
  std::vector<std::int32_t> ints() const;
  std::vector<float> reals() const;
  std::vector<double> doubles() const;
  std::vector<std::int16_t> shorts() const;
  /// The value for listings: text in quotes, numbers blank-separated
  /// (reals %.9g, doubles %.17g).
  std::string format() const;
};

struct UvRecord {
  double u = 0, v = 0, w = 0, time = 0, baseline = 0;
  std::vector<std::complex<float>> data;
  std::vector<bool> flags;  ///< true = good
};

class UvReader {
 public:
  /// Opens and checks the dataset directory `path`; stops on a damaged one.
  explicit UvReader(const std::string& path);

  const std::string& name() const { return name_; }
  /// Every item: `header` entries and files (not `header` itself), by name.
  std::vector<UvItem> items() const;
  /// The bytes of an item, looked up in `header` first, then as a file.
  bool item_bytes(const std::string& item, std::vector<std::uint8_t>& bytes) const;
  /// A 64-bit integer item (type 8, or type 2 of 8 bytes); false if absent.
  bool item_int8(const std::string& item, std::int64_t& value) const;
  /// A character item (type 1); false if absent.
  bool item_text(const std::string& item, std::string& value) const;

  /// The variables in vartable order (index = line).
  const std::vector<UvVar>& variables() const { return vars_; }
  const UvVar* variable(const std::string& name) const;
  /// Lines of `history` (empty if there is none).
  std::vector<std::string> history() const;

  /// Reads the next record (preamble u, v, w, time, baseline); false at the end.
  bool read(UvRecord& record);
  std::int64_t records_read() const { return nrecords_; }

 private:
  [[noreturn]] void damaged(const std::string& what) const;
  std::string name_;
  std::string dir_;
  struct Entry {
    std::string name;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Entry> header_;
  std::vector<UvVar> vars_;
  std::vector<std::uint8_t> visdata_;
  std::uint64_t end_ = 0;  ///< scan limit: vislen, or the visdata size
  std::uint64_t offset_ = 0;
  std::vector<std::int64_t> length_;  ///< per variable: byte length from its SIZE (-1 none)
  bool have_flags_ = false;
  bool warned_flags_ = false;
  std::vector<std::uint8_t> flags_;
  std::uint64_t next_flag_ = 0;
  std::int64_t nrecords_ = 0;
  std::int64_t channels_ = 0;
};

}  // namespace talva::miriad
