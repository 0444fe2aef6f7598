#include "support/uvcheck.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "miriad/uvread.h"
#include "support/mirlib.h"
#include "util/stop.h"

namespace talva::test {
namespace {

namespace fs = std::filesystem;
using Outcome = MiriadComparison::Outcome;

std::string g17(double x) {
  char b[64];
  std::snprintf(b, sizeof b, "%.17g", x);
  return b;
}

std::string hex(const std::vector<std::uint8_t>& v) {
  std::string s;
  char b[4];
  for (std::size_t k = 0; k < v.size() && k < 64; ++k) {
    std::snprintf(b, sizeof b, "%02x", v[k]);
    s += b;
  }
  return v.size() > 64 ? s + "..." : s;
}

std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : " ") + x;
  return s;
}

/// The first difference between two lists of lines, or "".
std::string first_difference(const char* what, const std::vector<std::string>& project,
                             const std::vector<std::string>& miriad) {
  for (std::size_t k = 0; k < project.size() || k < miriad.size(); ++k) {
    const std::string p = k < project.size() ? "[" + project[k] + "]" : "(none)";
    const std::string m = k < miriad.size() ? "[" + miriad[k] + "]" : "(none)";
    if (p != m) return std::string(what) + " line " + std::to_string(k + 1) + ": project " + p + ", MIRIAD " + m;
  }
  return "";
}

std::string compare_record(std::int64_t n, const talva::miriad::UvReader& reader, const talva::miriad::UvRecord& p,
                           const mir::Record& m) {
  const std::string at = "record " + std::to_string(n) + ": ";
  const double pp[5] = {p.u, p.v, p.w, p.time, p.baseline};
  const char* names[5] = {"u", "v", "w", "time", "baseline"};
  // The preamble by value: MIRIAD's uvread passes u and v through some
  // arithmetic that can change the sign of a zero (a stored v of -0 with
  // u = 1 reads as +0); the stored values are compared bit for bit with the
  // variable coord below. Data and variables are compared bit for bit.
  for (int k = 0; k < 5; ++k)
    if (pp[k] != m.preamble[k] && !(std::isnan(pp[k]) && std::isnan(m.preamble[k])))
      return at + names[k] + " project " + g17(pp[k]) + ", MIRIAD " + g17(m.preamble[k]);
  if (p.data.size() != m.data.size())
    return at + std::to_string(p.data.size()) + " channels, MIRIAD " + std::to_string(m.data.size());
  for (std::size_t k = 0; k < p.data.size(); ++k) {
    if (std::bit_cast<std::uint32_t>(p.data[k].real()) != std::bit_cast<std::uint32_t>(m.data[k].real()) ||
        std::bit_cast<std::uint32_t>(p.data[k].imag()) != std::bit_cast<std::uint32_t>(m.data[k].imag()))
      return at + "channel " + std::to_string(k + 1) + " data project (" + g17(p.data[k].real()) + "," +
             g17(p.data[k].imag()) + "), MIRIAD (" + g17(m.data[k].real()) + "," + g17(m.data[k].imag()) + ")";
    if (p.flags[k] != (m.flags[k] != 0))
      return at + "channel " + std::to_string(k + 1) + " flag project " + (p.flags[k] ? "1" : "0") + ", MIRIAD " +
             std::to_string(m.flags[k]);
  }
  std::vector<std::string> pu, mu;
  for (const auto& v : reader.variables())
    if (v.updated) pu.push_back(v.name);
  for (const auto& v : m.updated) mu.push_back(v.name);
  if (pu != mu) return at + "variables updated: project [" + joined(pu) + "], MIRIAD [" + joined(mu) + "]";
  for (const auto& mv : m.updated) {
    const talva::miriad::UvVar* pv = reader.variable(mv.name);
    if (pv->type != mv.type || pv->value != mv.value)
      return at + "variable " + mv.name + ": project " + std::string(1, pv->type) + " " + hex(pv->value) + ", MIRIAD " +
             std::string(1, mv.type) + " " + hex(mv.value);
  }
  return "";
}

bool has_corr(const mir::Reader& m) {
  for (const auto& v : m.vartable())
    if (v.second == "corr" || v.second == "wcorr") return true;
  return false;
}

}  // namespace

MiriadComparison compare_with_miriad(const std::string& path) {
  MiriadComparison c;
  auto disagree = [&](std::string what) {
    c.outcome = Outcome::Disagree;
    c.detail = std::move(what);
    return c;
  };
  std::unique_ptr<talva::miriad::UvReader> project;
  try {
    project = std::make_unique<talva::miriad::UvReader>(path);
  } catch (const talva::Stop& s) {
    c.outcome = Outcome::ProjectRefused;
    c.detail = s.message();
    return c;
  }
  mir::Reader m(path);
  if (m.refused()) return disagree("MIRIAD refuses the dataset: " + m.fatal());
  std::string d = first_difference("history", project->history(), m.history());
  if (!d.empty()) return disagree(d);
  std::vector<std::string> items;
  for (const auto& i : project->items()) items.push_back(i.name);
  if (items != m.items()) return disagree("items: project [" + joined(items) + "], MIRIAD [" + joined(m.items()) + "]");
  std::vector<std::string> pv, mv;
  for (const auto& v : project->variables()) pv.push_back(std::string(1, v.type) + " " + v.name);
  for (const auto& v : m.vartable()) mv.push_back(std::string(1, v.first) + " " + v.second);
  d = first_difference("vartable", pv, mv);
  if (!d.empty()) return disagree(d);

  talva::miriad::UvRecord prec;
  mir::Record mrec;
  for (;;) {
    bool more = false;
    try {
      more = project->read(prec);
    } catch (const talva::Stop& s) {
      c.outcome = Outcome::ProjectRefused;
      c.detail = s.message() + " (after " + std::to_string(c.records) + " records that MIRIAD read alike)";
      return c;
    }
    const bool mmore = m.next(mrec);
    if (!more && !mmore) {
      if (!m.refused()) return c;
      // The deliberate difference: no records and no corr.
      if (c.records == 0 && !has_corr(m)) {
        c.detail = "no records; MIRIAD's uvread stops on such a dataset: " + m.fatal();
        return c;
      }
      return disagree("MIRIAD stops after " + std::to_string(c.records) + " records: " + m.fatal());
    }
    if (!mmore)
      return disagree("MIRIAD " + (m.refused() ? "stops: " + m.fatal() : std::string("ends")) + " after " +
                      std::to_string(c.records) + " records; the project's reader has more");
    if (!more)
      return disagree("the project's reader ends after " + std::to_string(c.records) + " records; MIRIAD has more");
    ++c.records;
    d = compare_record(c.records, *project, prec, mrec);
    if (!d.empty()) return disagree(d);
  }
}

void expect_miriad_agrees(const std::string& path) {
  const MiriadComparison c = compare_with_miriad(path);
  EXPECT_EQ(c.outcome, Outcome::Agree) << path << ": " << c.detail;
}

void check_datasets_with_miriad(const fs::path& dir) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_directory() || it->is_symlink() || !fs::is_regular_file(it->path() / "header")) continue;
    it.disable_recursion_pending();
    const MiriadComparison c = compare_with_miriad(it->path().string());
    if (std::getenv("TALVA_TRACE_MIRIAD_CHECK") != nullptr)
      std::fprintf(stderr, "miriad-check %s: %d %lld %s\n", it->path().string().c_str(), static_cast<int>(c.outcome),
                   static_cast<long long>(c.records), c.detail.c_str());
    if (c.outcome == Outcome::Disagree)
      ADD_FAILURE() << "MIRIAD's reader and the project's disagree on " << it->path().string() << ": " << c.detail;
  }
}

}  // namespace talva::test
