#include "convert/legacy_modes.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "calib/cx2amp.h"
#include "calib/mdgain.h"
#include "convert/modes.h"
#include "convert/spacing_sums.h"
#include "util/constants.h"
#include "util/fmt.h"
#include "util/stop.h"

using talva::archive::DumpHeader;
using talva::array::c_layout_common_t;
using talva::array::getvis;
using talva::array::kNumAntennas;
using talva::calib::find_tilt_md_;
using talva::calib::load_phasecal_;
using talva::calib::rotate_vis_;
using talva::calib::rotation_of;
using talva::calib::Site;

namespace talva::convert::legacy {

namespace {

constexpr float kSiderealStep = 7.2722054e-05f;  // hour-angle step per dump, radians
using talva::kIntTime;
constexpr float kTalva1aLimit = 100.0f;
constexpr float kOrvexLimit = 5000.0f;

void add_pair(PairList& list, const DataInputs& d, int i, int j) {
  const std::int32_t p = usable_product(*d.products, i, j, *d.out);
  if (p == 0 || d.rejects.rejects(p, i, j)) return;
  list.pairs.push_back({p, i, j, 0.0f, 0.0f, {}});
}

void close_spacing(PairList& list) { list.start.push_back(list.pairs.size()); }

void list_talva1a(PairList& list, const DataInputs& d) {
  for (int n = 1; n <= 43; ++n) {  // within-arm spacings
    for (int g = 1; g <= 44 - n; ++g) add_pair(list, d, g, g + n);
    for (int g = 49; g <= 96 - n; ++g) add_pair(list, d, g, g + n);
    close_spacing(list);
  }
  for (int c = 1; c <= 44; ++c) {  // cross-gap spacings
    for (int g = 1; g <= 45 - c; ++g) add_pair(list, d, g, g + 47 + c);
    close_spacing(list);
  }
}

void list_orvex(PairList& list, const DataInputs& d) {
  for (int s = 1; s <= 88; ++s) {
    for (int i = std::max(1, s - 44); i <= std::min(s, 44); ++i) add_pair(list, d, i, s - i + 48);
    close_spacing(list);
  }
}

// The pairs of spacing k (1-based) with their phase-corrected correlations,
// for the debug table (the sums come from the plan's FactorSums).
void corrected_terms(const PairPlan& plan, int k, const c_layout_common_t& layout, std::span<const float> vis,
                     std::vector<PairTerm>& terms) {
  terms.clear();
  for (std::size_t t = plan.start[static_cast<std::size_t>(k - 1)]; t < plan.start[static_cast<std::size_t>(k)]; ++t) {
    const auto& pr = plan.pairs[t];
    std::complex<float> V = getvis(layout, pr.index, vis);
    rotate_vis_(V, pr.rotation);
    terms.push_back({pr.i, pr.j, pr.phase_i, pr.phase_j, V});
  }
}

}  // namespace

PairPlanner::PairPlanner(const DataInputs& in, Lister list) : in_(in), table_(in.gains_table) {
  DataInputs held = in;
  held.out = &setup_;
  list(usable_, held);
}

const PairPlan& PairPlanner::plan_for(double jd) {
  std::span<const float> phases = in_.phases;
  if (table_.active()) {
    if (!table_.covers(jd) && !noted_outside_) {
      // talva2vis dates its dumps from startmjd: a table of another night applies only its edge
      in_.out->line(" dump at JD " + talva::fmt_f(jd, 16, 8) +
                    " outside the gains table: the nearest interval's gains apply (startmjd= dates the dumps)");
      noted_outside_ = true;
    }
    table_.move_to(jd);
    phases_.resize(static_cast<std::size_t>(kNumAntennas));
    for (int a = 1; a <= kNumAntennas; ++a) phases_[static_cast<std::size_t>(a - 1)] = table_.phase_correction(a);
    phases = phases_;
    plan_.built = false;
  }
  if (plan_.built) return plan_;
  plan_.pairs.clear();
  plan_.start.assign(1, 0);
  for (std::size_t k = 1; k < usable_.start.size(); ++k) {
    for (std::size_t t = usable_.start[k - 1]; t < usable_.start[k]; ++t) {
      PairPlan::Pair pr = usable_.pairs[t];
      if (table_.left_out(pr.i, pr.j)) continue;
      pr.phase_i = phases[static_cast<std::size_t>(pr.i - 1)];
      pr.phase_j = phases[static_cast<std::size_t>(pr.j - 1)];
      pr.rotation = rotation_of(pr.phase_i - pr.phase_j);
      plan_.pairs.push_back(pr);
    }
    plan_.start.push_back(plan_.pairs.size());
  }
  // The rotation of a pair's correlation is its product with (cos, sin):
  // rotate_vis_'s (re cos - im sin, im cos + re sin) to the bit.
  std::vector<spacing_sums::FactorTerm> terms;
  terms.reserve(plan_.pairs.size());
  for (const PairPlan::Pair& pr : plan_.pairs)
    terms.push_back({2 * static_cast<std::uint32_t>(pr.index) - 2,
                     static_cast<float>(in_.corr_layout->lay_sign[static_cast<std::size_t>(pr.index - 1)]),
                     {pr.rotation.cs, pr.rotation.sn}});
  plan_.sums.build(std::move(terms), plan_.start);
  plan_.built = true;
  return plan_;
}

ModeLayout setup_mode(std::string_view mode, float unitx, int nunit, float cgap, bool natwt) {
  const std::string text = mode_text20(mode);
  const int imode = find_mode(text);
  if (imode == kNoMode) talva::stop("unknown mode -: " + text);
  ModeLayout layout = lay_out_mode(imode, unitx, nunit, cgap, natwt);
  if (imode == kTalva1a) {
    // Antenna 49 - i mirrors 48 + i: 48 and 49 are the inner ends.
    auto& x = layout.xpos;
    for (int i = 1; i <= 48; ++i) {
      const float p = static_cast<float>(i - 1) * layout.dx + cgap / 2.0f + layout.dx / 2.0f;
      x[static_cast<std::size_t>(48 + i - 1)] = p;
      x[static_cast<std::size_t>(49 - i - 1)] = -p;
    }
  }
  return layout;
}

Talva1aUnpacker::Talva1aUnpacker(const DataInputs& in) : in_(in), planner_(in, list_talva1a) {}

void Talva1aUnpacker::unpack(const DumpContext& dump, RecordSink& sink) {
  const PairPlan& plan = planner_.plan_for(dump.time);
  const ModeLayout& layout = *in_.layout;
  const float cH = std::cos(dump.ha), sH = std::sin(dump.ha);
  const float vfac = -sH * in_.sindec;
  std::array<std::complex<float>, 87> sums{};
  plan.sums.sum(dump.vis, sums);
  for (int k = 1; k <= 87; ++k) {
    const auto count = static_cast<int>(plan.sums.count(static_cast<std::size_t>(k - 1)));
    const std::complex<float> sum = sums[static_cast<std::size_t>(k - 1)];
    if (in_.pair_terms) corrected_terms(plan, k, *in_.corr_layout, dump.vis, terms_);
    std::complex<float> avg{0.0f, 0.0f};
    if (count > 0) {
      avg = sum / static_cast<float>(count);
      if (spacing_sums::above(avg, kTalva1aLimit)) avg = {0.0f, 0.0f};
    }
    // Geometry and baseline of the spacing's first pair: (1, n + 1) within
    // an arm, (1, 48 + C) across the gap.
    const bool within = k <= 43;
    const int n = within ? k : k - 43;
    const double L = within ? layout.x(1 + n) - layout.x(1) : layout.x(48 + n) - layout.x(1);
    const talva::miriad::Baseline antennas{1, within ? 1 + n : 48 + n};
    const double x = static_cast<double>(cH) * L, y = static_cast<double>(vfac) * L;
    UvRecord r = UvRecord::make(x, y, dump.time, antennas, avg, k);
    r.geometry(dump.ha, L, true);
    r.flagged = count == 0 && planner_.flags_empty();
    if (in_.pair_terms) r.pairs = terms_;
    sink.record(r);
  }
}

std::vector<double> Talva1aUnpacker::positions() const {
  return {in_.layout->xpos.begin(), in_.layout->xpos.begin() + kNumAntennas};
}

OrvexUnpacker::OrvexUnpacker(const DataInputs& in) : in_(in), planner_(in, list_orvex) {}

void OrvexUnpacker::unpack(const DumpContext& dump, RecordSink& sink) {
  const PairPlan& plan = planner_.plan_for(dump.time);
  const ModeLayout& layout = *in_.layout;
  const float cH = std::cos(dump.ha), sH = std::sin(dump.ha);
  std::array<std::complex<float>, 88> sums{};
  plan.sums.sum(dump.vis, sums);
  for (int s = 1; s <= 88; ++s) {
    const auto count = static_cast<int>(plan.sums.count(static_cast<std::size_t>(s - 1)));
    const std::complex<float> sum = sums[static_cast<std::size_t>(s - 1)];
    if (in_.pair_terms) corrected_terms(plan, s, *in_.corr_layout, dump.vis, terms_);
    std::complex<float> avg{0.0f, 0.0f};
    if (count > 0) {
      avg = sum * dump.mdg / static_cast<float>(count);  // multiplied by the MD gain, not divided
      if (spacing_sums::above(avg, kOrvexLimit)) avg = {0.0f, 0.0f};
    }
    const int i0 = std::max(1, s - 44), j0 = s - i0 + 48;
    const double D = layout.x(i0) - layout.x(j0);
    const double x = static_cast<double>(cH) * D, y = static_cast<double>(sH * in_.sindec) * D;
    UvRecord r = UvRecord::make(x, y, dump.time, {i0, j0}, avg, s);
    r.geometry(dump.ha, D, true);
    r.flagged = count == 0 && planner_.flags_empty();
    if (in_.pair_terms) r.pairs = terms_;
    sink.record(r);
  }
}

namespace {

// talva2vis's clock: the hour angle advances by one step per dump read from
// startha, the Julian date by one integration time per dump unpacked from
// startmjd; the meridian distance is that of the pointing, and a dump whose
// pointing is outside the site's limits is left out.
class StartValueClock final : public Clock {
 public:
  StartValueClock(const ConverterSettings& s, const Site& site, float dec)
      : start_ha_(s.startha * 15.0 / static_cast<double>(talva::kDegPerRad)),
        start_jd_(s.startmjd + talva::kMjdToJd),
        site_(site),
        dec_(dec) {}

  bool place(int record, const DumpHeader& /*header*/, DumpContext& dump, talva::Output& out) override {
    dump.ha = static_cast<float>(start_ha_ + static_cast<double>(record - 1) * static_cast<double>(kSiderealStep));
    float az = 0.0f, el = 0.0f, tilt = 0.0f;
    int err = 0;
    // dump.md carries over: a tilt out of limits leaves (and reports) the previous dump's value.
    find_tilt_md_(site_, dump.ha, dec_, az, el, tilt, dump.md, err, out);
    if (err != 0) {
      out.line("** find_tilt err at h = " + talva::fmt_f(dump.ha, 10, 5));
      return false;
    }
    return true;
  }
  double julian_date(int np, const DumpHeader& /*header*/) const override {
    // In extended precision.
    return static_cast<double>(static_cast<long double>(start_jd_) +
                               static_cast<long double>(kIntTime) * np / 86400.0L);
  }

 private:
  double start_ha_, start_jd_;
  Site site_;
  float dec_;
};

}  // namespace

PhaseCentre LegacyModes::phase_centre(const ConverterSettings& s, talva::Output& /*out*/) {
  return phase_centre_as_given(s);
}

Calibration LegacyModes::load_calibration(const ConverterSettings& s, int nant, talva::Output& out) {
  Calibration cal;
  if (!s.gnstable.empty()) {
    cal.gains_table = load_gains_table(s.gnstable, out);
    cal.history_note =
        "phases of the gains interpolated in time from the gains table " + s.gnstable + " (amplitudes not applied)";
    return cal;
  }
  int status = 0;
  load_phasecal_(s.phasefil, std::min(nant, kPhaseCapacity), cal.phases, status, out);
  return cal;
}

std::unique_ptr<Clock> LegacyModes::clock(const ConverterSettings& s, const Site& site, float dec) {
  return std::make_unique<StartValueClock>(s, site, dec);
}

ModeLayout LegacyModes::setup_mode(std::string_view mode, float unitx, int nunit, float cgap, bool natwt,
                                   talva::Output& /*out*/) {
  return legacy::setup_mode(mode, unitx, nunit, cgap, natwt);
}

std::unique_ptr<Unpacker> LegacyModes::data_unpacker(const DataInputs& in) {
  if (in.layout->imode == kOrvex) return std::make_unique<OrvexUnpacker>(in);
  return std::make_unique<Talva1aUnpacker>(in);
}

}  // namespace talva::convert::legacy
