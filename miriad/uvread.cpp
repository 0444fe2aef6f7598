// Reading uv datasets: `header` entries, vartable, the variable stream and
// the flag mask, with every inconsistency refused.
#include "miriad/uvread.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "miriad/bug.h"
#include "miriad/bytes.h"

namespace talva::miriad {
namespace {

namespace fs = std::filesystem;

bool read_whole(const fs::path& p, std::vector<std::uint8_t>& out) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::string fmt_g(const char* f, double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, f, x);
  return buf;
}

}  // namespace

// ---- UvVar ------------------------------------------------------------------

std::size_t UvVar::count() const {
  int e = element_size(type);
  return e == 0 ? 0 : value.size() / static_cast<std::size_t>(e);
}

std::string UvVar::text() const { return std::string(value.begin(), value.end()); }

std::vector<std::int32_t> UvVar::ints() const {
  std::vector<std::int32_t> r;
  for (std::size_t k = 0; k + 4 <= value.size(); k += 4) r.push_back(static_cast<std::int32_t>(be::get32(&value[k])));
  return r;
}

std::vector<float> UvVar::reals() const {
  std::vector<float> r;
  for (std::size_t k = 0; k + 4 <= value.size(); k += 4) r.push_back(be::get_float(&value[k]));
  return r;
}

std::vector<double> UvVar::doubles() const {
  std::vector<double> r;
  for (std::size_t k = 0; k + 8 <= value.size(); k += 8) r.push_back(be::get_double(&value[k]));
  return r;
}

std::vector<std::int16_t> UvVar::shorts() const {
  std::vector<std::int16_t> r;
  for (std::size_t k = 0; k + 2 <= value.size(); k += 2) r.push_back(static_cast<std::int16_t>(be::get16(&value[k])));
  return r;
}

std::string UvVar::format() const {
  std::string s;
  auto add = [&](const std::string& x) {
    if (!s.empty()) s += ' ';
    s += x;
  };
  switch (type) {
    case 'a':
      return "\"" + text() + "\"";
    case 'j':
      for (auto x : shorts()) add(std::to_string(x));
      break;
    case 'i':
      for (auto x : ints()) add(std::to_string(x));
      break;
    case 'r':
      for (auto x : reals()) add(fmt_g("%.9g", x));
      break;
    case 'd':
      for (auto x : doubles()) add(fmt_g("%.17g", x));
      break;
    case 'c': {
      auto r = reals();
      for (std::size_t k = 0; k + 1 < r.size(); k += 2)
        add("(" + fmt_g("%.9g", r[k]) + "," + fmt_g("%.9g", r[k + 1]) + ")");
      break;
    }
    default:
      break;
  }
  return s;
}

// ---- UvReader ---------------------------------------------------------------

void UvReader::damaged(const std::string& what) const { bug_fatal("Dataset " + name_ + ": " + what); }

UvReader::UvReader(const std::string& path) : name_(path), dir_(path) {
  fs::path dir(path);
  std::vector<std::uint8_t> h;
  if (!fs::is_directory(dir) || !read_whole(dir / "header", h))
    bug_fatal("Error opening " + path + ": not a dataset (no readable header)");

  // header: 16-byte name blocks, each followed by its S data bytes.
  for (std::size_t off = 0; off + 16 <= h.size();) {
    std::size_t len = 0;
    while (len < 15 && h[off + len] != 0) ++len;
    std::size_t s = h[off + 15];
    if (off + 16 + s > h.size())
      damaged("header entry " + std::string(h.begin() + off, h.begin() + off + len) +
              " runs past the end of the header file");
    header_.push_back(
        {std::string(h.begin() + static_cast<std::ptrdiff_t>(off), h.begin() + static_cast<std::ptrdiff_t>(off + len)),
         std::vector<std::uint8_t>(h.begin() + static_cast<std::ptrdiff_t>(off + 16),
                                   h.begin() + static_cast<std::ptrdiff_t>(off + 16 + s))});
    off += 16 + (s + 15) / 16 * 16;
  }
  if (h.size() % 16 != 0 && !header_.empty()) {
    // Only the last entry may end unpadded: anything else is a cut block.
    std::size_t expect = 0;
    for (std::size_t k = 0; k < header_.size(); ++k)
      expect += 16 + (k + 1 < header_.size() ? (header_[k].bytes.size() + 15) / 16 * 16 : header_[k].bytes.size());
    if (expect != h.size()) damaged("header file ends inside an entry name block");
  }

  // vartable
  std::vector<std::uint8_t> vt;
  if (!item_bytes("vartable", vt)) damaged("no vartable item");
  std::string text(vt.begin(), vt.end());
  std::size_t line_no = 0;
  for (std::size_t p = 0; p < text.size();) {
    std::size_t e = text.find('\n', p);
    if (e == std::string::npos) e = text.size();
    std::string line = text.substr(p, e - p);
    p = e + 1;
    ++line_no;
    std::size_t b = line.find_first_not_of(' ', 1);
    if (line.empty() || element_size(line[0]) == 0 || b == std::string::npos || b < 2)
      damaged("bad vartable line " + std::to_string(line_no) + ": [" + line + "]");
    UvVar v;
    v.type = line[0];
    v.name = line.substr(b);
    while (!v.name.empty() && v.name.back() == ' ') v.name.pop_back();
    if (variable(v.name) != nullptr) damaged("variable " + v.name + " appears twice in vartable");
    vars_.push_back(std::move(v));
  }
  if (vars_.size() > 128) damaged("more than 128 variables in vartable");
  length_.assign(vars_.size(), -1);

  // visdata and its logical length.
  if (!item_bytes("visdata", visdata_)) damaged("no visdata item");
  std::int64_t vislen = 0;
  if (item_int8("vislen", vislen)) {
    if (vislen < 0 || static_cast<std::uint64_t>(vislen) > visdata_.size() + 4)
      damaged("visdata has " + std::to_string(visdata_.size()) + " bytes but vislen is " + std::to_string(vislen) +
              " (truncated)");
    end_ = static_cast<std::uint64_t>(vislen);
  } else {
    end_ = visdata_.size();
  }

  // flags
  if (item_bytes("flags", flags_)) {
    have_flags_ = true;
    if (flags_.size() <= 4) damaged("mask item flags appears bad");
    if (be::get32(flags_.data()) != 2) damaged("mask item flags is not integer valued");
  }
}

bool UvReader::item_bytes(const std::string& item, std::vector<std::uint8_t>& bytes) const {
  for (const auto& e : header_)
    if (e.name == item) {
      bytes = e.bytes;
      return true;
    }
  if (item == "header" || item.empty() || item[0] == '.') return false;
  fs::path p = fs::path(dir_) / item;
  if (!fs::is_regular_file(p)) return false;
  if (!read_whole(p, bytes)) damaged("cannot read item " + item);
  return true;
}

bool UvReader::item_int8(const std::string& item, std::int64_t& value) const {
  std::vector<std::uint8_t> b;
  if (!item_bytes(item, b)) return false;
  if (b.size() == 16 && be::get32(b.data()) == 8)
    value = static_cast<std::int64_t>(be::get64(b.data() + 8));
  else if (b.size() == 8 && be::get32(b.data()) == 2)
    value = static_cast<std::int32_t>(be::get32(b.data() + 4));
  else
    damaged("item " + item + " is not an int8 or small enough int4");
  return true;
}

bool UvReader::item_text(const std::string& item, std::string& value) const {
  std::vector<std::uint8_t> b;
  if (!item_bytes(item, b)) return false;
  if (b.size() < 4 || be::get32(b.data()) != 1) damaged("item " + item + " is not a character item");
  value.assign(b.begin() + 4, b.end());
  return true;
}

std::vector<UvItem> UvReader::items() const {
  std::vector<UvItem> r;
  for (const auto& e : header_) r.push_back({e.name, true, e.bytes.size()});
  for (const auto& f : fs::directory_iterator(dir_)) {
    std::string n = f.path().filename().string();
    if (n == "header" || n[0] == '.' || !f.is_regular_file()) continue;
    if (std::any_of(r.begin(), r.end(), [&](const UvItem& i) { return i.name == n; })) continue;
    r.push_back({n, false, static_cast<std::uint64_t>(f.file_size())});
  }
  std::sort(r.begin(), r.end(), [](const UvItem& a, const UvItem& b) { return a.name < b.name; });
  return r;
}

const UvVar* UvReader::variable(const std::string& name) const {
  for (const auto& v : vars_)
    if (v.name == name) return &v;
  return nullptr;
}

std::vector<std::string> UvReader::history() const {
  std::vector<std::string> lines;
  std::ifstream in(fs::path(dir_) / "history", std::ios::binary);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool UvReader::read(UvRecord& rec) {
  for (auto& v : vars_) v.updated = false;
  bool corr_seen = false, complete = false;
  const std::uint64_t end = end_;
  while (offset_ < end) {
    if (end - offset_ < 4 || offset_ + 4 > visdata_.size())
      damaged("visdata ends inside a record header at offset " + std::to_string(offset_));
    const std::uint8_t* h = &visdata_[offset_];
    int code = h[2];
    if (code == 2) {
      offset_ += 8;
      if (!corr_seen) continue;  // a group without corr joins the next record
      complete = true;
      break;
    }
    if (code != 0 && code != 1)
      damaged("unrecognised record code " + std::to_string(code) + " at offset " + std::to_string(offset_));
    std::size_t idx = h[0];
    if (idx >= vars_.size())
      damaged("variable index " + std::to_string(idx) + " at offset " + std::to_string(offset_) +
              " is not in vartable");
    UvVar& v = vars_[idx];
    int e = element_size(v.type);
    if (code == 0) {
      if (offset_ + 8 > end || offset_ + 8 > visdata_.size())
        damaged("visdata ends inside the length of " + v.name + " at offset " + std::to_string(offset_));
      std::int64_t len = static_cast<std::int32_t>(be::get32(h + 4));
      if (len <= 0) damaged("variable " + v.name + " has length of " + std::to_string(len));
      if (len % e != 0) damaged("non-integral number of elements in variable " + v.name);
      length_[idx] = len;
      v.updated = true;
      offset_ += 8;
    } else {
      if (length_[idx] < 0) damaged("value of " + v.name + " before its length at offset " + std::to_string(offset_));
      std::uint64_t start = offset_ + (e == 8 ? 8 : 4);
      std::uint64_t stop = start + static_cast<std::uint64_t>(length_[idx]);
      if (stop > end || stop > visdata_.size())
        damaged("visdata ends inside the value of " + v.name + " at offset " + std::to_string(offset_));
      v.value.assign(visdata_.begin() + static_cast<std::ptrdiff_t>(start),
                     visdata_.begin() + static_cast<std::ptrdiff_t>(stop));
      v.updated = true;
      if (v.name == "corr") corr_seen = true;
      offset_ = (stop + 7) / 8 * 8;
    }
  }
  if (!complete) {
    // End of stream. Variables after the last record are ignored, but a
    // record whose data came without its end-of-record marker was cut.
    if (corr_seen) damaged("the last record has no end-of-record marker (truncated visdata)");
    std::int64_t ncorr = 0;
    if (item_int8("ncorr", ncorr) && ncorr != channels_)
      damaged("ncorr is " + std::to_string(ncorr) + " but the records hold " + std::to_string(channels_) +
              " channels (truncated visdata)");
    return false;
  }

  auto need = [&](const char* n, const char* types) -> const UvVar& {
    const UvVar* v = variable(n);
    if (v == nullptr) damaged(std::string("variable ") + n + " is missing");
    if (std::string(types).find(v->type) == std::string::npos)
      damaged(std::string("variable ") + n + " has the wrong data type");
    if (v->value.empty()) damaged(std::string("variable ") + n + " was not initialised before it was required");
    return *v;
  };
  const UvVar& corr = need("corr", "rj");
  const UvVar& coord = need("coord", "d");
  auto c = coord.doubles();
  if (c.size() < 2) damaged("coord has fewer than 2 values");
  rec.u = c[0];
  rec.v = c[1];
  rec.w = c.size() > 2 ? c[2] : 0.0;
  rec.time = need("time", "d").doubles()[0];
  rec.baseline = need("baseline", "r").reals()[0];
  rec.data.clear();
  if (corr.type == 'r') {
    auto r = corr.reals();
    if (r.size() % 2 != 0) damaged("corr has an odd number of reals");
    for (std::size_t k = 0; k < r.size(); k += 2) rec.data.emplace_back(r[k], r[k + 1]);
  } else {
    float ts = need("tscale", "r").reals()[0];
    auto s = corr.shorts();
    if (s.size() % 2 != 0) damaged("corr has an odd number of values");
    for (std::size_t k = 0; k < s.size(); k += 2) rec.data.emplace_back(ts * s[k], ts * s[k + 1]);
  }
  std::size_t n = rec.data.size();
  rec.flags.assign(n, true);
  if (have_flags_) {
    std::uint64_t words = (flags_.size() - 4) / 4;
    if (next_flag_ + n > words * 31) damaged("read past end of mask item flags");
    for (std::size_t k = 0; k < n; ++k, ++next_flag_) {
      std::uint32_t w = be::get32(&flags_[4 + 4 * (next_flag_ / 31)]);
      rec.flags[k] = ((w >> (next_flag_ % 31)) & 1u) != 0;
    }
  } else if (!warned_flags_) {
    bug_warn("No flags found for corr -- assuming data are good");
    warned_flags_ = true;
  }
  ++nrecords_;
  channels_ += static_cast<std::int64_t>(n);
  return true;
}

}  // namespace talva::miriad
