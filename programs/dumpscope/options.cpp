#include "programs/dumpscope/options.h"

#include <limits>

#include "array/layout.h"
#include "util/fmt.h"
#include "util/textin.h"
#include "util/upcase.h"

using talva::array::kMaxProducts;

namespace talva::dumpscope {
namespace {

constexpr std::string_view::size_type npos = std::string_view::npos;

/// First value of a free-format (list-directed) read from `text`: blanks
/// before it are skipped, it ends at a blank, comma or slash.
std::string_view first_value(std::string_view text) {
  const auto start = text.find_first_not_of(' ');
  if (start == npos) return {};
  text.remove_prefix(start);
  const auto end = text.find_first_of(" ,/");
  return text.substr(0, end);
}

bool read_int(std::string_view text, std::int32_t& value) {
  const std::string_view token = first_value(text);
  return !token.empty() && talva::parse_int32(token, value);
}

bool read_real(std::string_view text, float& value) {
  const std::string_view token = first_value(text);
  return !token.empty() && talva::parse_real32(token, value);
}

/// Characters from position `from` to `to` inclusive (0-based); empty when
/// the range is inverted.
std::string_view span_of(std::string_view text, std::size_t from, std::size_t to) {
  if (from > to || from >= text.size()) return {};
  return text.substr(from, to - from + 1);
}

/// Characters strictly between positions `open` and `close`.
std::string_view between(std::string_view text, std::size_t open, std::size_t close) {
  if (close <= open + 1) return {};
  return text.substr(open + 1, close - open - 1);
}

/// One antenna of an AP option: the arm letter searched in `part` (E before
/// W), the bay read from the characters after the part's first character up
/// to the letter. Returns false with the message for the rejection.
bool decode_bay(std::string_view part, std::int32_t& bay, std::int32_t& arm, const char* no_arm, const char* bad_bay,
                std::vector<std::string>& messages) {
  auto letter = part.find('E');
  arm = kArmE;
  if (letter == npos) {
    letter = part.find('W');
    arm = kArmW;
  }
  if (letter == npos) {
    messages.emplace_back(no_arm);
    return false;
  }
  const std::string_view digits = letter > 1 ? part.substr(1, letter - 1) : std::string_view{};
  if (!read_int(digits, bay) || bay < 1 || bay > 48) {
    messages.emplace_back(bad_bay);
    return false;
  }
  return true;
}

}  // namespace

std::int32_t pair_code(long long a, long long b) {
  const long long hi = a > b ? a : b;
  const long long lo = a > b ? b : a;
  if (lo < 1) return 0;
  const long long code = 256 * hi + lo;
  if (code > std::numeric_limits<std::int32_t>::max()) return 0;
  return static_cast<std::int32_t>(code);
}

void decode_option_(std::string_view option, OptionRecord& opt) {
  std::vector<std::string> messages;
  decode_option(option, opt, messages);
  for (const auto& m : messages) talva::put_line(m);
}

void decode_option(std::string_view option, OptionRecord& opt, std::vector<std::string>& messages) {
  opt.error = 0;
  const std::string upper = talva::upcase_(option, kOptionLength);
  const std::string_view text(upper);
  const auto open = text.find('(');
  const auto close = text.find(')');
  if (open == npos || close == npos) {
    messages.emplace_back(" missing () in option");
    opt.error = 1;
    return;
  }
  if (text.find("AP") != npos) {
    opt.key = kKeyAP;
  } else if (text.find("BS") != npos) {
    opt.key = kKeyBS;
  } else if (text.find("BM") != npos) {
    opt.key = kKeyBM;
  } else if (text.find("FX") != npos) {
    opt.key = kKeyFX;
  } else {
    messages.emplace_back("no option key found");
    messages.emplace_back(" options : AP/BS/BM/FX");
    opt.error = 1;
    return;
  }

  const auto comma = text.find(',');
  if ((opt.key == kKeyAP || opt.key == kKeyBS) && comma == npos) {
    messages.emplace_back(" no (,) separator");
    opt.error = 1;
    return;
  }

  switch (opt.key) {
    case kKeyAP: {
      if (!decode_bay(span_of(text, open, comma), opt.bays[0], opt.arms[0], " No arm ID (E or W) for first bay",
                      "invalid bay number for first bay", messages) ||
          !decode_bay(span_of(text, comma, close), opt.bays[1], opt.arms[1], " No arm ID (E or W) for second bay",
                      "invalid bay number for second bay", messages)) {
        opt.error = 1;
      }
      return;
    }
    case kKeyBS: {
      std::int32_t length = 0;
      if (!read_int(between(text, open, comma), length)) {
        messages.emplace_back("invalid baseline length");
        opt.error = 1;
        return;
      }
      const std::string_view part = span_of(text, comma, close);
      std::int32_t arm = -1;
      for (const auto& [letter, code] : {std::pair{'E', kArmE}, {'W', kArmW}, {'B', kArmB}, {'X', kArmX}}) {
        if (part.find(letter) != npos) {
          arm = code;
          break;
        }
      }
      if (arm < 0) {
        messages.emplace_back(" No arm ID (E,W,B or X) for the baseline");
        opt.error = 1;
        return;
      }
      // A length out of range is reported but accepted (it then selects no pair).
      if (arm == kArmX) {
        if (length < 1 || length > 87) messages.emplace_back(" baseline length outside limits (0 < < 87)");
      } else if (length < 1 || length > 43) {
        messages.emplace_back(" baseline length outside limits (0 < < 43)");
      }
      opt.bays[0] = length;
      opt.arms[0] = arm;
      return;
    }
    case kKeyBM: {
      float offset = 0.0f;
      if (!read_real(between(text, open, close), offset)) {
        messages.emplace_back("invalid beam offset");
        opt.error = 1;
        return;
      }
      opt.beam_offset = offset;
      return;
    }
    default:
      return;
  }
}

namespace {

/// find_antnum_ with its message kept instead of printed.
bool find_index(std::int32_t code, std::int32_t nbsln, std::span<const std::int32_t> antnum, std::int32_t& index,
                std::vector<std::string>& messages) {
  const std::size_t entries = std::min<std::size_t>(nbsln > 0 ? static_cast<std::size_t>(nbsln) : 0, antnum.size());
  for (std::size_t k = 0; k < entries; ++k) {
    if (antnum[k] != code) continue;
    const auto found = static_cast<std::int32_t>(k + 2);  // product index of entry k + 1
    if (found > nbsln) {
      // The last table entry's item lies one past the correlation block.
      messages.push_back(talva::fmt_i(code, 6) + " has no correlation item in the dumps");
      return false;
    }
    if (found > kMaxProducts) {
      messages.push_back(talva::fmt_i(code, 6) + " lies beyond the correlator layout (product " +
                         std::to_string(found) + ")");
      return false;
    }
    index = found;
    return true;
  }
  messages.push_back(talva::fmt_i(code, 6) + " not found in antenna number set");
  return false;
}

}  // namespace

void find_antnum_(std::int32_t code, std::int32_t nbsln, std::span<const std::int32_t> antnum, std::int32_t& index,
                  std::int32_t& error) {
  std::vector<std::string> messages;
  error = find_index(code, nbsln, antnum, index, messages) ? 0 : 1;
  for (const auto& m : messages) talva::put_line(m);
}

Selection select_products(std::int32_t nbsln, std::span<const std::int32_t> antnum, const OptionRecord& opt,
                          std::int32_t layout_count) {
  Selection result;
  auto add_pair = [&](long long a, long long b) {
    std::int32_t index = 0;
    const std::int32_t code = pair_code(a, b);
    if (result.sel.size() >= static_cast<std::size_t>(kMaxEntries)) {
      result.messages.push_back(" selection list full (" + std::to_string(kMaxEntries) + " entries)");
      return false;
    }
    if (!find_index(code, nbsln, antnum, index, result.messages)) return false;
    if (index > layout_count) {
      result.messages.push_back(talva::fmt_i(code, 6) + " has no line in the correlator layout (product " +
                                std::to_string(index) + ")");
      return false;
    }
    result.sel.push_back(index);
    return true;
  };

  switch (opt.key) {
    case kKeyAP: {
      const long long a1 = static_cast<long long>(opt.arms[0]) * 48 + opt.bays[0];
      const long long a2 = static_cast<long long>(opt.arms[1]) * 48 + opt.bays[1];
      if (!add_pair(a1, a2)) {
        result.messages.push_back("failed to find baseline for ant pair " + talva::fmt_i(a1, 4) +
                                  talva::fmt_i(opt.arms[0], 4) + talva::fmt_i(a2, 4) + talva::fmt_i(opt.arms[1], 4));
        result.error = 1;
      }
      break;
    }
    case kKeyBS: {
      const long long length = opt.bays[0];
      const int arm = opt.arms[0];
      auto fail = [&](long long a, long long b) {
        result.messages.push_back("failed to find baseline for pair " + talva::fmt_i(a, 4) + talva::fmt_i(b, 4) +
                                  " of length " + std::to_string(length));
        result.error = 1;
      };
      if (arm == kArmE || arm == kArmB) {
        for (long long c = 1; c <= 47 - length && result.error == 0; ++c) {
          if (!add_pair(c, c + length - 1)) fail(c, c + length - 1);
        }
      }
      if (arm == kArmW || arm == kArmB) {
        for (long long b = 1; b <= 47 - length && result.error == 0; ++b) {
          if (!add_pair(b + 48, b + 48 + length - 1)) fail(b + 48, b + 48 + length - 1);
        }
      }
      if (arm == kArmX) {
        result.sel.clear();
        for (long long b = 1; b <= length && result.error == 0; ++b) {
          if (!add_pair(b, 49 + length - b)) fail(b, 49 + length - b);
        }
      }
      break;
    }
    default:
      break;
  }
  if (result.error == 0 && result.sel.empty()) {
    result.messages.emplace_back(" the option selects no baseline");
    result.error = 1;
  }
  return result;
}

void select_baselines_(std::int32_t nbsln, std::span<const std::int32_t> antnum, const OptionRecord& opt,
                       std::int32_t& count, std::vector<std::int32_t>& sel, std::int32_t& error,
                       std::int32_t layout_count) {
  Selection result = select_products(nbsln, antnum, opt, layout_count);
  for (const auto& m : result.messages) talva::put_line(m);
  error = result.error;
  count = static_cast<std::int32_t>(result.sel.size());
  sel = std::move(result.sel);
}

}  // namespace talva::dumpscope
