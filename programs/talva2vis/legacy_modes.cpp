#include "programs/talva2vis/legacy_modes.h"

#include <algorithm>
#include <cmath>

#include "array/rejections.h"
#include "calib/cx2amp.h"
#include "programs/talva2vis3/modes.h"
#include "programs/talva2vis3/plot.h"
#include "programs/talva2vis3/records.h"
#include "programs/talva2vis3/uv_output.h"
#include "util/fmt.h"
#include "util/stop.h"

namespace legacy {

namespace {

constexpr float kTalva1aLimit = 100.0f;
constexpr float kOrvexLimit = 5000.0f;
constexpr float kDebugDeg = 57.2958f;

// Phase of a complex value, radians (0 for 0+0i).
float phase(std::complex<float> z) { return std::atan2(z.imag(), z.real()); }

bool rejected(const RejectLists& r, std::int32_t index, std::int32_t a, std::int32_t b) {
  return reject_(r.nrej, r.rejlist, index) || reject_(r.nbadant, r.badlist, a) || reject_(r.nbadant, r.badlist, b);
}

void add_pair(PairPlan& plan, const DumpData& d, int i, int j) {
  const std::int32_t p = usable_product(*d.products, i, j);
  if (p == 0 || rejected(d.rejects, p, i, j)) return;
  plan.pairs.push_back({p, i, j});
}

void close_spacing(PairPlan& plan) { plan.start.push_back(plan.pairs.size()); }

void build_talva1a(PairPlan& plan, const DumpData& d) {
  plan.pairs.clear();
  plan.start.assign(1, 0);
  for (int n = 1; n <= 43; ++n) {  // within-arm spacings
    for (int g = 1; g <= 44 - n; ++g) add_pair(plan, d, g, g + n);
    for (int g = 49; g <= 96 - n; ++g) add_pair(plan, d, g, g + n);
    close_spacing(plan);
  }
  for (int c = 1; c <= 44; ++c) {  // cross-gap spacings
    for (int g = 1; g <= 45 - c; ++g) add_pair(plan, d, g, g + 47 + c);
    close_spacing(plan);
  }
  plan.built = true;
}

void build_orvex(PairPlan& plan, const DumpData& d) {
  plan.pairs.clear();
  plan.start.assign(1, 0);
  for (int s = 1; s <= 88; ++s) {
    for (int i = std::max(1, s - 44); i <= std::min(s, 44); ++i) add_pair(plan, d, i, s - i + 48);
    close_spacing(plan);
  }
  plan.built = true;
}

// The phase-corrected sum of spacing k (1-based) and its pair count; with
// `debug`, one debug-table line per pair.
std::complex<float> corrected_sum(const PairPlan& plan, int k, const DumpData& d, std::span<const float> phases,
                                  int& count, bool debug) {
  std::complex<float> sum{0.0f, 0.0f};
  const std::size_t b = plan.start[static_cast<std::size_t>(k - 1)], e = plan.start[static_cast<std::size_t>(k)];
  for (std::size_t t = b; t < e; ++t) {
    const auto& pr = plan.pairs[t];
    const float phi_i = phases[static_cast<std::size_t>(pr.i - 1)], phi_j = phases[static_cast<std::size_t>(pr.j - 1)];
    std::complex<float> V = getvis(pr.index, d.vis);
    rotate_vis_(V, phi_i - phi_j);
    if (debug) {
      const std::complex<float> z = debug_value(V);
      *dbg_common_.table << talva::fmt_i(pr.i, 4) << talva::fmt_i(pr.j, 4) << talva::fmt_f(phi_j * kDebugDeg, 10, 1)
                         << talva::fmt_f(phi_i * kDebugDeg, 10, 1) << "   " << talva::fmt_f(std::abs(z), 10, 2)
                         << talva::fmt_f(phase(z) * kDebugDeg, 10, 2) << '\n';
    }
    sum += V;
  }
  count = static_cast<int>(e - b);
  return sum;
}

}  // namespace

void setup_mode(std::string_view mode, float unitx, int& nunit, int& nants, float cgap, int& imode) {
  const std::string text = mode_text20(mode);
  imode = find_mode(text);
  if (imode == kNoMode) talva::stop("unknown mode -: " + text);
  lay_out_mode(imode, unitx, nunit, nants, cgap);
  if (imode == kTalva1a) {
    // Antenna 49 - i mirrors 48 + i: 48 and 49 are the inner ends.
    auto& x = talva_common_.xpos;
    for (int i = 1; i <= 48; ++i) {
      const float p = static_cast<float>(i - 1) * talva_common_.dx + cgap / 2.0f + talva_common_.dx / 2.0f;
      x[static_cast<std::size_t>(48 + i - 1)] = p;
      x[static_cast<std::size_t>(49 - i - 1)] = -p;
    }
  }
}

void mode_talva1a(PairPlan& plan, float ha, double time, const DumpData& d, std::span<const float> phases,
                  std::int32_t& nrec, std::int32_t /*np*/) {
  if (!plan.built) build_talva1a(plan, d);
  const auto& tc = talva_common_;
  const float cH = std::cos(ha), sH = std::sin(ha);
  const float vfac = -sH * tc.sindec;
  auto xpos = [&](int k) { return tc.xpos[static_cast<std::size_t>(k - 1)]; };
  for (int k = 1; k <= 87; ++k) {
    int count = 0;
    const std::complex<float> sum = corrected_sum(plan, k, d, phases, count, false);
    std::complex<float> avg{0.0f, 0.0f};
    if (count > 0) {
      avg = sum / static_cast<float>(count);
      if (std::abs(avg) > kTalva1aLimit) avg = {0.0f, 0.0f};
    }
    // Geometry and baseline of the spacing's first pair: (1, n + 1) within
    // an arm, (1, 48 + C) across the gap.
    const bool within = k <= 43;
    const int n = within ? k : k - 43;
    const double L = within ? xpos(1 + n) - xpos(1) : xpos(48 + n) - xpos(1);
    const double baseline = within ? 67586.0 + (n - 1) : 67632.0 + n;
    const double x = static_cast<double>(cH) * L, y = static_cast<double>(vfac) * L;
    write_uv_record(x / tc.sfreq, y / tc.sfreq, time, baseline, avg, {ha, L, true});
    ++nrec;
    if (d.plot) d.plot->point(static_cast<float>(x), static_cast<float>(y));
  }
}

void mode_orvex(PairPlan& plan, float ha, double time, const DumpData& d, std::span<const float> phases,
                std::int32_t& nrec, std::int32_t /*np*/, float mdg) {
  if (!plan.built) build_orvex(plan, d);
  const auto& tc = talva_common_;
  const float cH = std::cos(ha), sH = std::sin(ha);
  for (int s = 1; s <= 88; ++s) {
    const bool debug = dbg_common_.dbgplt && dbg_common_.table && s == dbg_common_.blen;
    int count = 0;
    const std::complex<float> sum = corrected_sum(plan, s, d, phases, count, debug);
    std::complex<float> avg{0.0f, 0.0f};
    if (count > 0) {
      avg = sum * mdg / static_cast<float>(count);  // multiplied by the MD gain, not divided
      if (std::abs(avg) > kOrvexLimit) avg = {0.0f, 0.0f};
    }
    const int i0 = std::max(1, s - 44), j0 = s - i0 + 48;
    const double D = tc.xpos[static_cast<std::size_t>(i0 - 1)] - tc.xpos[static_cast<std::size_t>(j0 - 1)];
    const double x = static_cast<double>(cH) * D, y = static_cast<double>(sH * tc.sindec) * D;
    write_uv_record(x / tc.sfreq, y / tc.sfreq, time, 65536.0 + 2048.0 * i0 + j0, avg, {ha, D, true});
    ++nrec;
    if (d.plot) d.plot->point(static_cast<float>(x), static_cast<float>(y));
    if (debug) {
      const std::complex<float> z = debug_value(avg);
      *dbg_common_.table << talva::fmt_f(x, 10, 1) << talva::fmt_f(y, 10, 1) << "   "
                         << talva::fmt_f(std::abs(z), 10, 2) << talva::fmt_f(phase(z) * kDebugDeg, 10, 2) << '\n';
    }
  }
}

void LegacyModes::setup_mode(std::string_view mode, float unitx, int& nunit, int& nants, float cgap, int& imode) {
  legacy::setup_mode(mode, unitx, nunit, nants, cgap, imode);
}

void LegacyModes::talva1a(float ha, double time, const DumpData& d, const Calibration& cal, std::int32_t& nrec,
                          std::int32_t np, float /*mdg*/) {
  mode_talva1a(talva1a_plan_, ha, time, d, cal.phases, nrec, np);
}

void LegacyModes::orvex(float ha, double time, const DumpData& d, const Calibration& cal, std::int32_t& nrec,
                        std::int32_t np, float mdg) {
  mode_orvex(orvex_plan_, ha, time, d, cal.phases, nrec, np, mdg);
}

}  // namespace legacy
