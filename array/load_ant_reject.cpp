// Plain lists of antenna numbers not to be used.
#include <string>

#include "array/reject_read.h"
#include "array/rejections.h"
#include "util/fmt.h"

namespace talva::array {

namespace {

std::int32_t load_plain(const std::string& file, std::span<std::int32_t> list, const std::string& overflow,
                        talva::Output& out) {
  const std::string name = talva::trim_right(file);
  out.line("Open " + name);
  talva::TextInput in(name, "antenna rejection list");
  return talva::detail::read_list(in, list, overflow);
}

}  // namespace

void load_antreject_(const std::string& file, std::int32_t& n, std::span<std::int32_t> list, talva::Output& out) {
  n = 0;
  if (talva::detail::blank_name(file)) return;
  n = load_plain(file, list, "", out);
}

talva_antenna_rejections_t load_badants_(const std::string& file, talva::Output& out) {
  // The name as given: the blanks that pad it to 128 characters in the
  // fixed-length field are not printed (no screen line ends in 100 blanks).
  out.line(talva::trim_right((talva::ListLine() << "Loading bad ants from " << file).str()));
  talva_antenna_rejections_t list = RejectionList::with_capacity(100);
  if (talva::detail::blank_name(file)) return list;
  list.count = load_plain(file, list.entries, " No of rejected antennas exceeds code limit (100)", out);
  return list;
}

bool rejected_ant_(const talva_antenna_rejections_t& list, std::int32_t antenna) { return list.contains(antenna); }

}  // namespace talva::array
