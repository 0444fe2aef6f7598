#pragma once
// A text listing of a uv dataset: its items, vartable, records (with the
// variables updated at each) and history. The layout is that of the
// reference dumps kept with the tests, so a dataset can be compared with
// what MIRIAD's own reader returned.
#include <cstdint>
#include <string>

#include "miriad/uvread.h"

namespace talva::miriad {

/// "== items (N, sorted by name)" and one line per item.
std::string uv_dump_items(const UvReader& reader);
/// "== vartable" and its lines verbatim.
std::string uv_dump_vartable(const UvReader& reader);
/// "== records ..." section; at most `max_records` records are listed
/// (negative: all), but all are read and counted.
std::string uv_dump_records(UvReader& reader, std::int64_t max_records = -1);
/// "== history" section.
std::string uv_dump_history(const UvReader& reader);

}  // namespace talva::miriad
