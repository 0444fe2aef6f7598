#pragma once
// The project's reader checked against MIRIAD's own (support/mirlib.h): the
// same history lines, items, vartable, and the same records, flags and
// variables (types and values, at the records where they change).
#include <cstdint>
#include <filesystem>
#include <string>

namespace talva::test {

struct MiriadComparison {
  enum class Outcome {
    Agree,           ///< both readers return the same
    ProjectRefused,  ///< the project's reader stops on the dataset (nothing to compare)
    Disagree,        ///< MIRIAD refuses it, or returns something else
  };
  Outcome outcome = Outcome::Agree;
  std::string detail;  ///< what differs (with MIRIAD's message), or the project's refusal
  std::int64_t records = 0;
};

/// Reads the dataset `path` with both readers and compares what they return.
///
/// One difference is deliberate and is not a disagreement: a dataset without
/// records (and so without `corr`), which MIRIAD's uvread refuses ("UV file
/// contains neither corr nor wcorr") also on datasets MIRIAD wrote itself
/// (golden n0), while the project's reader returns no records.
MiriadComparison compare_with_miriad(const std::string& path);

/// Adds a test failure unless both readers return the same for `path`
/// (a refusal by either is a failure).
void expect_miriad_agrees(const std::string& path);

/// Compares every dataset (a directory with a `header` file) under `dir`
/// with compare_with_miriad and adds a test failure for each disagreement.
/// Datasets the project's reader refuses (damaged on purpose, or the remnant
/// of a killed run) are left alone. Called for every test's scratch
/// directory (TempDir) when it is removed. With TALVA_TRACE_MIRIAD_CHECK set
/// in the environment, each dataset's outcome is printed on standard error.
void check_datasets_with_miriad(const std::filesystem::path& dir);

}  // namespace talva::test
