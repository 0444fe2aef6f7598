// Data unpackers of talva2vis3: talva1a and orvex.
#include <algorithm>
#include <cmath>
#include <string>

#include "array/rejections.h"
#include "programs/talva2vis3/gains.h"
#include "programs/talva2vis3/plot.h"
#include "programs/talva2vis3/records.h"
#include "programs/talva2vis3/unpackers.h"
#include "programs/talva2vis3/uv_output.h"
#include "util/fmt.h"

namespace {

constexpr float kTalva1aLimit = 100.0f;   // larger averages are written as 0
constexpr float kOrvexLimit = 5000.0f;
constexpr float kDebugDeg = 57.2958f;

bool rejected(const RejectLists& r, std::int32_t index, std::int32_t a, std::int32_t b) {
  return reject_(r.nrej, r.rejlist, index) || reject_(r.nbadant, r.badlist, a) || reject_(r.nbadant, r.badlist, b);
}

// avg = acc / (wsum * mdg), each part divided; 0 when the divisor is 0.
std::complex<float> weighted_mean(std::complex<float> acc, float wsum, float mdg) {
  const float d = wsum * mdg;
  if (d == 0.0f) return {0.0f, 0.0f};
  return {acc.real() / d, acc.imag() / d};
}

void build_talva1a3(Talva1a3Run& run, const DumpData& d, std::span<const std::complex<float>> gains) {
  auto g = [&](int a) { return gains[static_cast<std::size_t>(a - 1)]; };
  std::span<std::complex<float>> G(talva1a_gainsarray_.g);
  for (int b = 1; b <= kNumAntennas; ++b)
    for (int a = 1; a <= kNumAntennas; ++a) mat(G, kNumAntennas, a, b) = g(a) * std::conj(g(b));
  talva::put_line("Gain Product Array Initialised");

  std::span<std::int32_t> S(talva1a_smatrix_.s);
  setup_s_matrix_(S, kNumAntennas, run.nclass);
  run.nclass = std::clamp(run.nclass, 0, kNumClasses);
  setup_s_lengths_(S, kNumAntennas, run.nclass,
                   std::span<const double>(talva_common_.xpos).first(kNumAntennas),
                   std::span<float>(run.lengths).first(static_cast<std::size_t>(run.nclass)));
  const ProductTable& table = *d.products;
  for (int i = 1; i <= kNumAntennas; ++i)
    for (int j = 1; j <= kNumAntennas; ++j) {
      if (i == j || mat(S, kNumAntennas, i, j) == 0) continue;
      const std::int32_t p = table.index_of(set_antnum_(i, j));
      if (rejected(d.rejects, p, i, j) || rejected_bsln_(p) || rejected_ant_(i) || rejected_ant_(j))
        mat(S, kNumAntennas, i, j) = 0;
    }
  talva::put_line("S matrix defined");

  // Pairs of each class in the order of the pair loops (i outer, j inner).
  std::array<std::vector<Talva1a3Run::Term>, kNumClasses> per_class;
  std::span<const std::complex<float>> Gc(talva1a_gainsarray_.g);
  run.wsum.fill(0.0f);
  for (int i = 1; i <= kNumAntennas; ++i)
    for (int j = 1; j <= kNumAntennas; ++j) {
      const int s = mat(S, kNumAntennas, i, j);
      if (s < 1 || s > run.nclass) continue;
      const std::int32_t p = usable_product(table, i, j);
      if (p == 0) continue;
      per_class[static_cast<std::size_t>(s - 1)].push_back({p, i > j, mat(Gc, kNumAntennas, j, i)});
      run.wsum[static_cast<std::size_t>(s - 1)] +=
          mat(Gc, kNumAntennas, i, i).real() * mat(Gc, kNumAntennas, j, j).real();
    }
  run.terms.clear();
  run.start[0] = 0;
  for (int s = 1; s <= kNumClasses; ++s) {
    const auto& list = per_class[static_cast<std::size_t>(s - 1)];
    run.terms.insert(run.terms.end(), list.begin(), list.end());
    run.start[static_cast<std::size_t>(s)] = run.terms.size();
  }
}

void build_orvex(OrvexRun& run, const DumpData& d, std::span<const std::complex<float>> gains) {
  auto g = [&](int a) { return gains[static_cast<std::size_t>(a - 1)]; };
  run.terms.clear();
  run.start[0] = 0;
  for (int s = 1; s <= 88; ++s) {
    float wsum = 0.0f;
    for (int i = std::max(1, s - 44); i <= std::min(s, 44); ++i) {
      const int j = s - i + 48;
      const std::int32_t p = usable_product(*d.products, i, j);
      if (p == 0 || rejected(d.rejects, p, i, j)) continue;
      run.terms.push_back({p, std::conj(g(i)), g(j)});
      const float a = std::abs(g(i)) * std::abs(g(j));
      wsum += a * a;
    }
    run.wsum[static_cast<std::size_t>(s - 1)] = wsum;
    run.start[static_cast<std::size_t>(s)] = run.terms.size();
  }
  run.built = true;
}

}  // namespace

std::int32_t usable_product(const ProductTable& table, std::int32_t a, std::int32_t b) {
  const std::int32_t p = table.usable_index(a, b);
  if (p != 0) return p;
  const std::int32_t code = set_antnum_(a, b);
  if (table.index_of(code) == 0)
    talva::put_line(talva::fmt_i(code, 6) + " not found in antenna number set");
  else
    talva::put_line(talva::fmt_i(code, 6) + " has no correlation in the dump (product index " +
                    std::to_string(table.index_of(code)) + "); pair left out");
  return 0;
}

void mode_talva1a3(Talva1a3Run& run, float ha, double time, const DumpData& d,
                   std::span<const std::complex<float>> gains, std::int32_t& nrec, std::int32_t /*np*/, float mdg,
                   std::int32_t& first) {
  if (first != 0) {
    first = 0;
    build_talva1a3(run, d, gains);
  }
  if (run.nclass < 1) {
    if (d.plot) d.plot->ask_off();
    return;
  }
  const auto& tc = talva_common_;
  const float cH = std::cos(ha), sH = std::sin(ha);
  for (int s = 1; s <= run.nclass; ++s) {
    const std::size_t b = run.start[static_cast<std::size_t>(s - 1)], e = run.start[static_cast<std::size_t>(s)];
    if (b == e) continue;  // no pair of this class: no record
    std::complex<float> acc{0.0f, 0.0f};
    for (std::size_t t = b; t < e; ++t) {
      const auto& term = run.terms[t];
      std::complex<float> V = getvis(term.index, d.vis);
      if (term.conjugate) V = std::conj(V);
      acc += V * term.gain;
    }
    std::complex<float> avg = weighted_mean(acc, run.wsum[static_cast<std::size_t>(s - 1)], mdg);
    if (std::abs(avg) > kTalva1aLimit) avg = {0.0f, 0.0f};
    const float L = run.lengths[static_cast<std::size_t>(s - 1)];
    const float x = cH * L, y = sH * tc.sindec * L;
    write_uv_record(static_cast<double>(x) / tc.sfreq, static_cast<double>(y) / tc.sfreq, time, 67585.0 + s, avg);
    ++nrec;
    if (d.plot) {
      d.plot->colour(s <= 43 ? 5 : 1);
      d.plot->point(x, y);
    }
  }
  if (d.plot) d.plot->ask_off();
}

void mode_orvex(OrvexRun& run, float ha, double time, const DumpData& d, std::span<const std::complex<float>> gains,
                std::int32_t& nrec, std::int32_t /*np*/, float mdg) {
  if (!run.built) build_orvex(run, d, gains);
  const auto& tc = talva_common_;
  const float cH = std::cos(ha), sH = std::sin(ha);
  for (int s = 1; s <= 88; ++s) {
    const std::size_t b = run.start[static_cast<std::size_t>(s - 1)], e = run.start[static_cast<std::size_t>(s)];
    std::complex<float> avg{0.0f, 0.0f};
    if (b != e) {
      std::complex<float> acc{0.0f, 0.0f};
      for (std::size_t t = b; t < e; ++t) {
        const auto& term = run.terms[t];
        acc += getvis(term.index, d.vis) * term.gi_conj * term.gj;
      }
      avg = weighted_mean(acc, run.wsum[static_cast<std::size_t>(s - 1)], mdg);
      if (std::abs(avg) > kOrvexLimit) avg = {0.0f, 0.0f};
    }
    // Geometry and baseline of the spacing's first pair, whatever was rejected.
    const int i0 = std::max(1, s - 44), j0 = s - i0 + 48;
    const double D = tc.xpos[static_cast<std::size_t>(i0 - 1)] - tc.xpos[static_cast<std::size_t>(j0 - 1)];
    const double x = static_cast<double>(cH) * D, y = static_cast<double>(sH * tc.sindec) * D;
    write_uv_record(x / tc.sfreq, y / tc.sfreq, time, 65536.0 + 2048.0 * i0 + j0, avg);
    ++nrec;
    if (d.plot) d.plot->point(static_cast<float>(x), static_cast<float>(y));
    if (dbg_common_.dbgplt && dbg_common_.table && s == dbg_common_.blen)
      *dbg_common_.table << talva::fmt_f(x, 10, 1) << talva::fmt_f(y, 10, 1) << "   "
                         << talva::fmt_f(std::abs(avg), 10, 2) << talva::fmt_f(z2phase_(avg) * kDebugDeg, 10, 2)
                         << '\n';
  }
}
