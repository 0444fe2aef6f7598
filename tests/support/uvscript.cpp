#include "support/uvscript.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "miriad/bytes.h"
#include "miriad/uvio.h"
#include "miriad/uvread.h"
#include "util/stop.h"

namespace talva::test {
namespace {

namespace fs = std::filesystem;
namespace be = talva::miriad::be;
using talva::miriad::element_size;

UvOp put_op(const std::string& name, char type, std::vector<std::uint8_t> value) {
  UvOp op;
  op.kind = UvOp::Kind::Put;
  op.text = name;
  op.type = type;
  op.value = std::move(value);
  return op;
}

std::vector<std::uint8_t> read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

// ---- building a script ------------------------------------------------------------

UvScript& UvScript::preamble(const std::string& p) {
  UvOp op;
  op.kind = UvOp::Kind::Preamble;
  op.text = p;
  ops.push_back(op);
  return *this;
}

UvScript& UvScript::corr(const std::string& type) {
  UvOp op;
  op.kind = UvOp::Kind::Corr;
  op.text = type;
  ops.push_back(op);
  return *this;
}

UvScript& UvScript::his_open() {
  UvOp op;
  op.kind = UvOp::Kind::HisOpen;
  ops.push_back(op);
  return *this;
}

UvScript& UvScript::his(const std::string& line) {
  UvOp op;
  op.kind = UvOp::Kind::HisWrite;
  op.text = line;
  ops.push_back(op);
  return *this;
}

UvScript& UvScript::his_close() {
  UvOp op;
  op.kind = UvOp::Kind::HisClose;
  ops.push_back(op);
  return *this;
}

UvScript& UvScript::put_a(const std::string& name, const std::string& value) {
  ops.push_back(put_op(name, 'a', std::vector<std::uint8_t>(value.begin(), value.end())));
  return *this;
}

UvScript& UvScript::put_i(const std::string& name, std::vector<std::int32_t> values) {
  std::vector<std::uint8_t> b(4 * values.size());
  for (std::size_t k = 0; k < values.size(); ++k) be::put32(&b[4 * k], static_cast<std::uint32_t>(values[k]));
  ops.push_back(put_op(name, 'i', std::move(b)));
  return *this;
}

UvScript& UvScript::put_r(const std::string& name, std::vector<float> values) {
  std::vector<std::uint8_t> b(4 * values.size());
  for (std::size_t k = 0; k < values.size(); ++k) be::put_float(&b[4 * k], values[k]);
  ops.push_back(put_op(name, 'r', std::move(b)));
  return *this;
}

UvScript& UvScript::put_d(const std::string& name, std::vector<double> values) {
  std::vector<std::uint8_t> b(8 * values.size());
  for (std::size_t k = 0; k < values.size(); ++k) be::put_double(&b[8 * k], values[k]);
  ops.push_back(put_op(name, 'd', std::move(b)));
  return *this;
}

UvScript& UvScript::write(std::vector<double> preamble, std::vector<std::complex<float>> data,
                          std::vector<std::int32_t> flags) {
  UvOp op;
  op.kind = UvOp::Kind::Write;
  op.preamble = std::move(preamble);
  op.data = std::move(data);
  op.flags = std::move(flags);
  if (op.flags.empty()) op.flags.assign(op.data.size(), 1);
  ops.push_back(std::move(op));
  return *this;
}

// ---- the project's writer -----------------------------------------------------------

void write_with_project(const UvScript& script, const std::string& path) {
  int tno = 0;
  talva::miriad::uvopen(tno, path, "new");
  for (const auto& op : script.ops) {
    switch (op.kind) {
      case UvOp::Kind::Preamble:
        talva::miriad::uvset(tno, "preamble", op.text, 0, 0.0, 0.0, 0.0);
        break;
      case UvOp::Kind::Corr:
        talva::miriad::uvset(tno, "corr", op.text, 0, 0.0, 0.0, 0.0);
        break;
      case UvOp::Kind::HisOpen:
        talva::miriad::hisopen(tno, "write");
        break;
      case UvOp::Kind::HisWrite:
        talva::miriad::hiswrite(tno, op.text);
        break;
      case UvOp::Kind::HisClose:
        talva::miriad::hisclose(tno);
        break;
      case UvOp::Kind::Put: {
        const std::size_t e = static_cast<std::size_t>(element_size(op.type));
        const std::size_t n = op.value.size() / e;
        if (op.type == 'a') {
          talva::miriad::uvputvra(tno, op.text, std::string(op.value.begin(), op.value.end()));
        } else if (op.type == 'i') {
          std::vector<std::int32_t> v(n);
          for (std::size_t k = 0; k < n; ++k) v[k] = static_cast<std::int32_t>(be::get32(&op.value[4 * k]));
          talva::miriad::uvputvri(tno, op.text, v);
        } else if (op.type == 'r') {
          std::vector<float> v(n);
          for (std::size_t k = 0; k < n; ++k) v[k] = be::get_float(&op.value[4 * k]);
          talva::miriad::uvputvrr(tno, op.text, v);
        } else {
          std::vector<double> v(n);
          for (std::size_t k = 0; k < n; ++k) v[k] = be::get_double(&op.value[8 * k]);
          talva::miriad::uvputvrd(tno, op.text, v);
        }
        break;
      }
      case UvOp::Kind::Write:
        talva::miriad::uvwrite(tno, op.preamble, op.data, op.flags, static_cast<int>(op.data.size()));
        break;
    }
  }
  talva::miriad::uvclose(tno);
}

// ---- replaying a dataset ------------------------------------------------------------------

UvScript script_of_dataset(const std::string& path) {
  talva::miriad::UvReader r(path);
  UvScript s;
  const auto& vars = r.variables();
  const talva::miriad::UvVar* corr = r.variable("corr");
  if (corr == nullptr || corr->type != 'r')
    talva::stop("script_of_dataset: " + path + " has no real-valued corr (a scaled corr cannot be replayed exactly)");
  // Variables uvwrite writes itself; nchan too when uvwrite defined it
  // (after corr in vartable), else it is an ordinary put.
  auto index = [&](const std::string& n) {
    for (std::size_t k = 0; k < vars.size(); ++k)
      if (vars[k].name == n) return static_cast<std::ptrdiff_t>(k);
    return std::ptrdiff_t{-1};
  };
  const std::ptrdiff_t corr_index = index("corr"), nchan_index = index("nchan");
  auto by_uvwrite = [&](std::size_t k) {
    const std::string& n = vars[k].name;
    return n == "corr" || n == "coord" || n == "time" || n == "baseline" || n == "tscale" ||
           (n == "nchan" && nchan_index > corr_index);
  };
  // The puts come from the stream itself, in the order they were written:
  // a variable put twice before one uvwrite has two DATA records there,
  // where a reader sees only the last value.
  std::vector<std::uint8_t> stream;
  std::int64_t vislen = 0;
  if (!r.item_bytes("visdata", stream) || !r.item_int8("vislen", vislen))
    talva::stop("script_of_dataset: " + path + " has no visdata or vislen");
  const std::size_t end = std::min(stream.size(), static_cast<std::size_t>(std::max<std::int64_t>(vislen, 0)));
  std::vector<std::size_t> length(vars.size(), 0);
  bool preamble_set = false;
  talva::miriad::UvRecord rec;
  for (std::size_t off = 0; off + 4 <= end;) {
    const std::size_t idx = stream[off];
    const int code = stream[off + 2];
    if (code == 2) {  // end of record: the uvwrite that wrote it
      if (!r.read(rec)) talva::stop("script_of_dataset: " + path + " has more records in visdata than its reader");
      const bool uvw = r.variable("coord")->count() == 3;
      if (!preamble_set) {
        s.ops.insert(s.ops.begin(),
                     UvOp{UvOp::Kind::Preamble, uvw ? "uvw/time/baseline" : "uv/time/baseline", 0, {}, {}, {}, {}});
        if (rec.data.size() > 4) s.ops.insert(s.ops.begin() + 1, UvOp{UvOp::Kind::Corr, "r", 0, {}, {}, {}, {}});
        preamble_set = true;
      }
      std::vector<double> p{rec.u, rec.v};
      if (uvw) p.push_back(rec.w);
      p.push_back(rec.time);
      p.push_back(rec.baseline);
      std::vector<std::int32_t> f;
      for (bool g : rec.flags) f.push_back(g ? 1 : 0);
      s.write(p, rec.data, f);
      off += 8;
      continue;
    }
    if (idx >= vars.size() || off + 8 > end) talva::stop("script_of_dataset: " + path + ": a stream it cannot follow");
    if (code == 0) {
      length[idx] = be::get32(&stream[off + 4]);
      off += 8;
    } else {
      const std::size_t from = off + (element_size(vars[idx].type) == 8 ? 8 : 4), to = from + length[idx];
      if (to > end) talva::stop("script_of_dataset: " + path + ": a value runs past the stream");
      if (!by_uvwrite(idx))
        s.ops.push_back(put_op(vars[idx].name, vars[idx].type,
                               std::vector<std::uint8_t>(stream.begin() + static_cast<std::ptrdiff_t>(from),
                                                         stream.begin() + static_cast<std::ptrdiff_t>(to))));
      off = (to + 7) / 8 * 8;
    }
  }
  const auto history = r.history();
  if (fs::exists(fs::path(path) / "history")) {
    std::vector<UvOp> h;
    h.push_back(UvOp{UvOp::Kind::HisOpen, "", 0, {}, {}, {}, {}});
    for (const auto& l : history) h.push_back(UvOp{UvOp::Kind::HisWrite, l, 0, {}, {}, {}, {}});
    h.push_back(UvOp{UvOp::Kind::HisClose, "", 0, {}, {}, {}, {}});
    s.ops.insert(s.ops.begin() + (preamble_set ? 1 : 0), h.begin(), h.end());
  }
  return s;
}

// ---- canonical form -------------------------------------------------------------------

namespace {

struct HeaderEntry {
  std::string name;
  std::size_t offset = 0;  ///< of the name block
  std::size_t size = 0;
};

std::vector<HeaderEntry> header_entries(const std::vector<std::uint8_t>& h) {
  std::vector<HeaderEntry> out;
  for (std::size_t off = 0; off + 16 <= h.size();) {
    std::size_t len = 0;
    while (len < 15 && h[off + len] != 0) ++len;
    HeaderEntry e{
        std::string(h.begin() + static_cast<std::ptrdiff_t>(off), h.begin() + static_cast<std::ptrdiff_t>(off + len)),
        off, h[off + 15]};
    out.push_back(e);
    off += 16 + (e.size + 15) / 16 * 16;
  }
  return out;
}

void zero(std::vector<std::uint8_t>& b, std::size_t from, std::size_t to) {
  for (std::size_t k = from; k < to && k < b.size(); ++k) b[k] = 0;
}

/// An item's bytes: a `header` entry, else a file (empty if neither).
std::vector<std::uint8_t> item_of(const fs::path& dir, const std::vector<std::uint8_t>& header,
                                  const std::vector<HeaderEntry>& entries, const std::string& name) {
  for (const auto& e : entries)
    if (e.name == name && e.offset + 16 + e.size <= header.size())
      return {header.begin() + static_cast<std::ptrdiff_t>(e.offset + 16),
              header.begin() + static_cast<std::ptrdiff_t>(e.offset + 16 + e.size)};
  return read_all(dir / name);
}

/// The canonical form of one item (`bytes` are its own bytes, wherever it lives).
void canonical_item(const std::string& name, std::vector<std::uint8_t>& bytes, const std::vector<int>& sizes,
                    std::int64_t nflags) {
  if (name == "visdata") {
    std::vector<std::int64_t> length(sizes.size(), -1);
    for (std::size_t off = 0; off + 4 <= bytes.size();) {
      const std::size_t idx = bytes[off];
      const int code = bytes[off + 2];
      if (code == 2) {
        zero(bytes, off + 4, off + 8);
        off += 8;
      } else if (code == 0 && idx < sizes.size() && off + 8 <= bytes.size()) {
        length[idx] = static_cast<std::int32_t>(be::get32(&bytes[off + 4]));
        off += 8;
      } else if (code == 1 && idx < sizes.size() && length[idx] >= 0) {
        const std::size_t head = sizes[idx] == 8 ? 8 : 4;
        zero(bytes, off + 4, off + head);
        const std::size_t stop = off + head + static_cast<std::size_t>(length[idx]);
        const std::size_t next = (stop + 7) / 8 * 8;
        zero(bytes, stop, next);
        off = next;
      } else {
        break;  // not a stream this can follow: leave the rest as it is
      }
    }
    return;
  }
  if (name == "vartable" || name == "history" || bytes.size() < 8) return;
  const std::uint32_t tag = be::get32(bytes.data());
  if (tag == 5 || tag == 7 || tag == 8) zero(bytes, 4, 8);
  if ((name == "flags" || name == "wflags") && tag == 2) {
    const std::size_t words = (bytes.size() - 4) / 4;
    for (std::size_t k = 0; k < words; ++k) {
      std::uint32_t w = be::get32(&bytes[4 + 4 * k]) & 0x7fffffffu;
      if (nflags >= 0 && k + 1 == words && nflags > static_cast<std::int64_t>(31 * k)) {
        const std::int64_t used = nflags - static_cast<std::int64_t>(31 * k);
        if (used < 31) w &= (1u << used) - 1u;
      }
      be::put32(&bytes[4 + 4 * k], w);
    }
  }
}

std::int64_t int8_of(const std::vector<std::uint8_t>& b) {
  if (b.size() == 16 && be::get32(b.data()) == 8) return static_cast<std::int64_t>(be::get64(b.data() + 8));
  if (b.size() == 8 && be::get32(b.data()) == 2) return static_cast<std::int32_t>(be::get32(b.data() + 4));
  return -1;
}

}  // namespace

std::map<std::string, std::vector<std::uint8_t>> canonical_files(const std::string& dir_name) {
  const fs::path dir(dir_name);
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const auto& f : fs::directory_iterator(dir))
    files[f.path().filename().string()] = f.is_regular_file() ? read_all(f.path()) : std::vector<std::uint8_t>{};
  std::vector<std::uint8_t> header = files.count("header") ? files["header"] : std::vector<std::uint8_t>{};
  const auto entries = header_entries(header);

  std::vector<int> sizes;
  const auto vt = item_of(dir, header, entries, "vartable");
  std::string text(vt.begin(), vt.end());
  for (std::size_t p = 0; p < text.size();) {
    std::size_t e = text.find('\n', p);
    if (e == std::string::npos) e = text.size();
    if (e > p) sizes.push_back(element_size(text[p]));
    p = e + 1;
  }
  const std::int64_t ncorr = int8_of(item_of(dir, header, entries, "ncorr"));
  const std::int64_t nwcorr = int8_of(item_of(dir, header, entries, "nwcorr"));
  auto nflags = [&](const std::string& name) { return name == "flags" ? ncorr : name == "wflags" ? nwcorr : -1; };

  // header: name residue, padding, and each packed item in canonical form.
  for (std::size_t k = 0; k < entries.size(); ++k) {
    const auto& e = entries[k];
    zero(header, e.offset + e.name.size() + 1, e.offset + 15);
    std::vector<std::uint8_t> item = item_of(dir, header, entries, e.name);
    canonical_item(e.name, item, sizes, nflags(e.name));
    std::copy(item.begin(), item.end(), header.begin() + static_cast<std::ptrdiff_t>(e.offset + 16));
    zero(header, e.offset + 16 + e.size, e.offset + 16 + (e.size + 15) / 16 * 16);
  }
  if (files.count("header")) files["header"] = header;
  for (auto& [name, bytes] : files)
    if (name != "header") canonical_item(name, bytes, sizes, nflags(name));
  return files;
}

std::string compare_canonical(const std::string& got, const std::string& want) {
  const auto a = canonical_files(got), b = canonical_files(want);
  auto names = [](const std::map<std::string, std::vector<std::uint8_t>>& m) {
    std::string s;
    for (const auto& [n, _] : m) s += (s.empty() ? "" : " ") + n;
    return s;
  };
  if (names(a) != names(b)) return "files [" + names(a) + "], want [" + names(b) + "]";
  for (const auto& [name, want_bytes] : b) {
    const auto& got_bytes = a.at(name);
    if (got_bytes == want_bytes) continue;
    std::string where = name;
    std::size_t n = std::min(got_bytes.size(), want_bytes.size()), i = 0;
    while (i < n && got_bytes[i] == want_bytes[i]) ++i;
    if (name == "header") {
      for (const auto& e : header_entries(want_bytes))
        if (i >= e.offset && i < e.offset + 16 + (e.size + 15) / 16 * 16)
          where += " (entry " + e.name + ", byte " + std::to_string(i - e.offset) + " of its block)";
    }
    char buf[160];
    if (i < n)
      std::snprintf(buf, sizeof buf, ": %zu bytes, want %zu; first difference at offset %zu: %02x, want %02x",
                    got_bytes.size(), want_bytes.size(), i, got_bytes[i], want_bytes[i]);
    else
      std::snprintf(buf, sizeof buf, ": %zu bytes, want %zu (equal up to the shorter)", got_bytes.size(),
                    want_bytes.size());
    return where + buf;
  }
  return "";
}

std::string unspecified_bytes_set(const std::string& dir) {
  const auto canon = canonical_files(dir);
  for (const auto& [name, bytes] : canon) {
    const auto raw = read_all(fs::path(dir) / name);
    if (raw == bytes) continue;
    std::size_t i = 0;
    while (i < raw.size() && i < bytes.size() && raw[i] == bytes[i]) ++i;
    return name + ": byte " + std::to_string(i) + " is not zero";
  }
  return "";
}

}  // namespace talva::test
