#include "convert/debug_table.h"

#include <cmath>

#include "convert/gains.h"
#include "util/constants.h"
#include "util/fmt.h"
#include "util/stop.h"

namespace talva::convert {

namespace {

constexpr float kDebugDeg = talva::kReportDegPerRad;

// Phase of a complex value in single precision, radians (0 for 0+0i): the
// legacy table's phases.
float phase(std::complex<float> z) { return std::atan2(z.imag(), z.real()); }

// A value for the table: a non-finite one (a damaged archive) is written as
// 0+0i, as the uv record is.
std::complex<float> debug_value(std::complex<float> z) {
  return std::isfinite(z.real()) && std::isfinite(z.imag()) ? z : std::complex<float>{};
}

}  // namespace

const char* debug_table_name(Flavour flavour) {
  return flavour == Flavour::Legacy ? "talva2vis.dbg" : "talva2vis3.dbg";
}

DebugTableSink::DebugTableSink(Flavour flavour, int blen, bool lists)
    : flavour_(flavour), blen_(blen), lists_(lists), file_(debug_table_name(flavour)), out_(file_) {
  out_ << " ant ID1, 2    phase 1, 2     amp  phase \n";
}

void DebugTableSink::end_run() {
  out_.flush();
  file_.finish();
}

void DebugTableSink::publish() {
  if (!file_.discarded()) file_.publish();
}

void DebugTableSink::interrupted(const std::string& /*note*/) { file_.discard(); }

std::string DebugTableSink::abandon() noexcept {
  if (!file_.committed()) file_.discard();
  return {};
}

void DebugTableSink::record(const UvRecord& r) {
  if (!lists_ || r.spacing != blen_) return;
  const bool legacy = flavour_ == Flavour::Legacy;
  if (legacy)
    for (const PairTerm& t : r.pairs) {
      const std::complex<float> z = debug_value(t.value);
      out_ << talva::fmt_i(t.i, 4) << talva::fmt_i(t.j, 4) << talva::fmt_f(t.phase_j * kDebugDeg, 10, 1)
           << talva::fmt_f(t.phase_i * kDebugDeg, 10, 1) << "   " << talva::fmt_f(std::abs(z), 10, 2)
           << talva::fmt_f(phase(z) * kDebugDeg, 10, 2) << '\n';
    }
  const std::complex<float> z = debug_value(r.data);
  const float ph = legacy ? phase(z) : z2phase_(z);
  out_ << talva::fmt_f(r.x, 10, 1) << talva::fmt_f(r.y, 10, 1) << "   " << talva::fmt_f(std::abs(z), 10, 2)
       << talva::fmt_f(ph * kDebugDeg, 10, 2) << '\n';
}

}  // namespace talva::convert
