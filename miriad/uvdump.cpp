#include "miriad/uvdump.h"

#include <cstdio>
#include <vector>

#include "miriad/bytes.h"

namespace talva::miriad {
namespace {

std::string printf_string(const char* f, double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, f, x);
  return buf;
}

std::string g9(double x) { return printf_string("%.9g", x); }
std::string g17(double x) { return printf_string("%.17g", x); }

bool printable(const std::vector<std::uint8_t>& b) {
  for (std::size_t k = 0; k < 4 && k < b.size(); ++k)
    if (b[k] < 0x20 || b[k] > 0x7e) return false;
  return true;
}

/// Type and element count of an item as MIRIAD's item probe reports them.
std::string describe(const std::vector<std::uint8_t>& b) {
  std::size_t size = b.size();
  std::uint32_t tag = size >= 4 ? be::get32(b.data()) : 0xffffffffu;
  char head[64];
  auto count = [&](const char* type, std::size_t n) {
    std::snprintf(head, sizeof head, "type=%s n=%zu", type, n);
    return std::string(head);
  };
  switch (tag) {
    case 0:
      return count("binary", size);
    case 1: {
      std::string s = count("character", 1);
      return s + " value=\"" + std::string(b.begin() + 4, b.end()) + "\"";
    }
    case 2: {
      std::size_t n = (size - 4) / 4;
      std::string s = count("integer", n);
      if (n == 1) return s + " value=" + std::to_string(static_cast<std::int32_t>(be::get32(&b[4])));
      if (n <= 16) {
        s += "\n  words:";
        for (std::size_t k = 0; k < n; ++k) {
          char w[16];
          std::snprintf(w, sizeof w, " 0x%08x", be::get32(&b[4 + 4 * k]));
          s += w;
        }
      }
      return s;
    }
    case 3:
      return count("integer*2", (size - 4) / 2);
    case 4: {
      std::size_t n = (size - 4) / 4;
      std::string s = count("real", n);
      return n == 1 ? s + " value=" + g9(be::get_float(&b[4])) : s;
    }
    case 5: {
      std::size_t n = size >= 8 ? (size - 8) / 8 : 0;
      std::string s = count("double", n);
      return n == 1 ? s + " value=" + g17(be::get_double(&b[8])) : s;
    }
    case 7:
      return count("complex", size >= 8 ? (size - 8) / 8 : 0);
    case 8: {
      std::size_t n = size >= 8 ? (size - 8) / 8 : 0;
      std::string s = count("integer*8", n);
      return n == 1 ? s + " value=" + std::to_string(static_cast<std::int64_t>(be::get64(&b[8]))) : s;
    }
    default:
      return printable(b) ? count("text", size + 4) : count("unknown", size);
  }
}

}  // namespace

std::string uv_dump_items(const UvReader& reader) {
  auto items = reader.items();
  std::string out = "== items (" + std::to_string(items.size()) + ", sorted by name)\n";
  for (const auto& it : items) {
    std::vector<std::uint8_t> b;
    reader.item_bytes(it.name, b);
    char head[96];
    std::snprintf(head, sizeof head, "item %-8s storage=%-6s size=%-6llu ", it.name.c_str(),
                  it.in_header ? "header" : "file", static_cast<unsigned long long>(it.size));
    out += head + describe(b) + "\n";
  }
  return out;
}

std::string uv_dump_vartable(const UvReader& reader) {
  std::string out = "== vartable\n";
  for (const auto& v : reader.variables()) out += std::string(1, v.type) + " " + v.name + "\n";
  return out;
}

std::string uv_dump_records(UvReader& reader, std::int64_t max_records) {
  std::string out = "== records (uvread, preamble uvw/time/baseline)\n";
  UvRecord r;
  while (reader.read(r)) {
    if (max_records >= 0 && reader.records_read() > max_records) continue;
    out += "record " + std::to_string(reader.records_read()) + "\n";
    out += "  preamble u=" + g17(r.u) + " v=" + g17(r.v) + " w=" + g17(r.w) + " time=" + g17(r.time) +
           " baseline=" + g17(r.baseline) + "\n";
    out += "  nread=" + std::to_string(r.data.size()) + "\n";
    for (std::size_t k = 0; k < r.data.size(); ++k)
      out += "  chan " + std::to_string(k + 1) + " data=(" + g9(r.data[k].real()) + "," + g9(r.data[k].imag()) +
             ") flag=" + (r.flags[k] ? "1" : "0") + "\n";
    std::string changed, vars;
    for (const auto& v : reader.variables()) {
      if (!v.updated) continue;
      changed += " " + v.name;
      char head[48];
      std::snprintf(head, sizeof head, "  var %-8s %c n=%zu: ", v.name.c_str(), v.type, v.count());
      vars += head + v.format() + "\n";
    }
    out += "  changed:" + changed + "\n" + vars;
  }
  out += "== end of records: " + std::to_string(reader.records_read()) + " record(s)\n";
  return out;
}

std::string uv_dump_history(const UvReader& reader) {
  auto lines = reader.history();
  std::string out = "== history\n";
  for (const auto& l : lines) out += l + "\n";
  out += "== end of history: " + std::to_string(lines.size()) + " line(s)\n";
  return out;
}

}  // namespace talva::miriad
