#pragma once
// A call sequence of the uv writing routines (uvopen "new", uvset, history,
// uvputvr, uvwrite, uvclose), kept as data so that the project's writer and
// MIRIAD's own (support/mirlib.h) can both carry it out; the bytes of what
// they write are then compared item by item, with the bytes MIRIAD leaves
// unspecified masked (the canonical form of the golden datasets).
#include <complex>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace talva::test {

struct UvOp {
  enum class Kind {
    Preamble,  ///< uvset "preamble" text
    Corr,      ///< uvset "corr" text ("r" or "j")
    HisOpen,   ///< hisopen "write"
    HisWrite,  ///< hiswrite text
    HisClose,
    Put,    ///< uvputvr of name, type (a i r d) and value
    Write,  ///< uvwrite of preamble, data and flags
  };
  Kind kind = Kind::Put;
  std::string text;                       ///< preamble, corr type, history line or variable name
  char type = 0;                          ///< Put: a i r d
  std::vector<std::uint8_t> value;        ///< Put: the value's big-endian bytes (characters for a)
  std::vector<double> preamble;           ///< Write: 4 or 5 values
  std::vector<std::complex<float>> data;  ///< Write: one value per channel
  std::vector<std::int32_t> flags;        ///< Write: 1 = good
};

/// A call sequence; the dataset is opened "new" before it and closed after it.
struct UvScript {
  std::vector<UvOp> ops;

  UvScript& preamble(const std::string& p);
  UvScript& corr(const std::string& type);
  UvScript& his_open();
  UvScript& his(const std::string& line);
  UvScript& his_close();
  UvScript& put_a(const std::string& name, const std::string& value);
  UvScript& put_i(const std::string& name, std::vector<std::int32_t> values);
  UvScript& put_r(const std::string& name, std::vector<float> values);
  UvScript& put_d(const std::string& name, std::vector<double> values);
  UvScript& write(std::vector<double> preamble, std::vector<std::complex<float>> data,
                  std::vector<std::int32_t> flags = {});  ///< no flags: all good
};

/// Carries out `script` with the project's writer into the new dataset `path`.
void write_with_project(const UvScript& script, const std::string& path);

/// The call sequence that writes the dataset `path` again as it is: its
/// history lines, then every value the stream holds other than those
/// uvwrite writes itself, put in stream order (a variable put twice before
/// one record is put twice), and at each end of record uvwrite with the
/// record's preamble, data and flags as the project's reader returns them.
/// Only datasets with real-valued `corr` can be replayed exactly. Throws
/// talva::Stop if the dataset cannot be replayed.
UvScript script_of_dataset(const std::string& path);

/// The files of a dataset with every byte MIRIAD leaves unspecified set to
/// zero: name residue and padding in `header`, alignment padding of typed
/// items, `visdata` padding, unused bits of the flag masks.
std::map<std::string, std::vector<std::uint8_t>> canonical_files(const std::string& dir);

/// Empty when the datasets `got` and `want` are equal in canonical form,
/// else what differs first (the file, the `header` entry, the offset).
std::string compare_canonical(const std::string& got, const std::string& want);

/// Empty when every unspecified byte of the dataset is already zero (what
/// the project's writer promises), else the first one that is not.
std::string unspecified_bytes_set(const std::string& dir);

}  // namespace talva::test
