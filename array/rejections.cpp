// Rejection lists: loaders for counted lists of product indices and the
// membership tests.
#include <algorithm>

#include "array/reject_read.h"
#include "array/rejections.h"
#include "util/fmt.h"
#include "util/stop.h"
#include "util/textin.h"

namespace talva::detail {

bool next_first_value(TextInput& in, std::int32_t& value, std::string_view what) {
  std::string line;
  while (in.next_line(line)) {
    FreeFormat values(line, &in);
    if (values.at_end()) continue;  // blank lines are skipped
    value = values.integer(what);
    return true;
  }
  return false;
}

std::int32_t read_list(TextInput& in, std::span<std::int32_t> list, const std::string& overflow_message) {
  std::int32_t n = 0;
  std::int32_t value = 0;
  while (next_first_value(in, value, "list entry")) {
    if (static_cast<std::size_t>(n) >= list.size()) {
      if (!overflow_message.empty()) stop(overflow_message);
      in.fail("more than " + std::to_string(list.size()) + " entries; the list holds at most " +
              std::to_string(list.size()));
    }
    list[static_cast<std::size_t>(n)] = value;
    ++n;
  }
  return n;
}

bool blank_name(const std::string& file) { return trim_right(file).empty(); }

}  // namespace talva::detail

namespace talva::array {

namespace {

// Counted list: the count (printed, then discarded), then the entries.
std::int32_t load_counted(const std::string& file, std::span<std::int32_t> list, const std::string& overflow,
                          talva::Output& out) {
  talva::TextInput in(talva::trim_right(file), "rejection list");
  std::int32_t stated = 0;
  if (!talva::detail::next_first_value(in, stated, "entry count")) in.fail_file("ends before its entry count");
  out.line(" # rejects : " + talva::fmt_i(stated, 5));
  const std::int32_t n = talva::detail::read_list(in, list, overflow);
  out.line(talva::fmt_i(n, 5) + " rejects found");
  if (n != stated) {
    out.line(" Warning: " + in.path() + ": the count says " + std::to_string(stated) + ", the list holds " +
             std::to_string(n));
  }
  return n;
}

bool member(std::int32_t n, std::span<const std::int32_t> list, std::int32_t value) {
  const std::size_t count = std::min(static_cast<std::size_t>(n > 0 ? n : 0), list.size());
  for (std::size_t k = 0; k < count; ++k)
    if (list[k] == value) return true;
  return false;
}

}  // namespace

void load_rejects_(const std::string& file, std::int32_t& n, std::span<std::int32_t> list, talva::Output& out) {
  n = 0;
  if (talva::detail::blank_name(file)) return;  // no file: an empty list
  n = load_counted(file, list, "", out);
}

bool reject_(std::int32_t n, std::span<const std::int32_t> list, std::int32_t value) { return member(n, list, value); }

talva_bsln_rejections_t load_badbslns_(const std::string& file, talva::Output& out) {
  talva_bsln_rejections_t list = RejectionList::with_capacity(2000);
  if (talva::detail::blank_name(file)) return list;
  list.count = load_counted(file, list.entries, " No of rejected baselines exceeds code limit", out);
  return list;
}

bool rejected_bsln_(const talva_bsln_rejections_t& list, std::int32_t index) { return list.contains(index); }

}  // namespace talva::array
