#include "convert/modes.h"

#include <array>
#include <cmath>

#include "util/fmt.h"
#include "util/stop.h"

namespace talva::convert {

namespace {

struct ModeName {
  const char* name;
  int imode;
};
// Search order: the first name found decides.
constexpr std::array<ModeName, 9> kModeTable{{{"orvex", kOrvex},
                                              {"talva1a", kTalva1a},
                                              {"talva1b", kTalva1b},
                                              {"talva1c", kTalva1c},
                                              {"talva1d", kTalva1d},
                                              {"talva2a", kTalva2a},
                                              {"talva2b", kTalva2b},
                                              {"talva3a", kTalva3a},
                                              {"talva3b", kTalva3b}}};

double& xpos(ModeLayout& m, int k) { return m.xpos[static_cast<std::size_t>(k - 1)]; }

// Centre of element i counted outward from the gap.
float arm_offset(int i, float d, float cgap) { return static_cast<float>(i - 1) * d + cgap / 2.0f + d / 2.0f; }

// Basic arm layout: antennas 1 .. n run from the far end of the negative arm
// to the far end of the positive arm.
void basic_layout(ModeLayout& m, int n, float d, float cgap) {
  const int half = n / 2;
  for (int i = 1; i <= half; ++i) {
    const float p = arm_offset(i, d, cgap);
    xpos(m, half + i) = p;
    xpos(m, half + 1 - i) = -p;
  }
}

// Unique-baseline table of the compressed modes. Pseudo-pairs (a, b) run
// (1,2), (1,3) .. (1,nants), (2,3), ...
void unique_baselines(ModeLayout& tc, int nants, bool weighted, bool natwt) {
  const int nelem = tc.nelem;
  const int h = nelem / 2;
  int k = 0, a = 1, b = 2;
  auto add = [&](double len, int weight) {
    if (k >= kMaxBaselines)
      talva::stop("mode " + std::string(mode_name(weighted ? kTalva1d : kTalva2b)) + ": more than " +
                  std::to_string(kMaxBaselines) + " unique baselines");
    tc.cblen[static_cast<std::size_t>(k)] = len;
    tc.bcode[static_cast<std::size_t>(k)] = {a, b, false};
    if (weighted) tc.nred[static_cast<std::size_t>(k)] = natwt ? weight : 1;
    ++k;
    ++b;
    if (b > nants) {
      ++a;
      b = a + 1;
    }
  };
  for (int j = 2; j <= h; ++j) add(tc.x(j) - tc.x(1), 2 * (h - j + 1));        // within one arm
  for (int j = h + 1; j <= nelem; ++j) add(tc.x(j) - tc.x(1), nelem - j + 1);  // across the gap, long
  for (int j = h; j >= 2; --j) add(tc.x(h + 1) - tc.x(j), h - j + 1);          // across the gap, short
  tc.nbase = k;
}

// Elements the mode lays out for a requested nunit.
long long elements_for(int imode, long long nunit) {
  switch (imode) {
    case kOrvex:
      return 88;
    case kTalva1a:
      return 96;
    case kTalva1b:
    case kTalva1c:
    case kTalva1d:
      return 4 * nunit;
    case kTalva2a:
    case kTalva2b:
      return 2 * nunit;
    default:
      return nunit;
  }
}

}  // namespace

const char* mode_name(int imode) {
  for (const auto& m : kModeTable)
    if (m.imode == imode) return m.name;
  return "?";
}

std::string mode_text20(std::string_view mode) {
  std::string m(mode.substr(0, 20));
  m.resize(20, ' ');
  return m;
}

int find_mode(std::string_view mode) {
  for (const auto& m : kModeTable)
    if (mode.find(m.name) != std::string_view::npos) return m.imode;
  return kNoMode;
}

ModeLayout lay_out_mode(int imode, float unitx, int nunit, float cgap, bool natwt) {
  ModeLayout tc;
  tc.imode = imode;
  int& nants = tc.nants;
  if (imode != kOrvex && imode != kTalva1a) {
    if (nunit < 0) talva::stop("nunit must not be negative: " + std::to_string(nunit));
    const long long n = elements_for(imode, nunit);
    if (n > kMaxElements)
      talva::stop("nunit " + std::to_string(nunit) + " gives " + std::to_string(n) + " elements in mode " +
                  mode_name(imode) + ", more than the " + std::to_string(kMaxElements) + " the tables hold");
  }
  switch (imode) {
    case kOrvex: {
      nunit = 88;
      tc.nelem = 88;
      tc.dx = unitx;
      nants = 88;
      // Antennas 1-44: positive arm, 49-92: negative arm, outward from the
      // gap; slots 45-48 and 93-96 stay empty (0).
      for (int i = 1; i <= 44; ++i) {
        const float p = arm_offset(i, tc.dx, cgap);
        xpos(tc, i) = p;
        xpos(tc, 48 + i) = -p;
      }
      break;
    }
    case kTalva1a: {
      nunit = 96;
      tc.nelem = 96;
      tc.dx = unitx;
      nants = 96;
      // Antennas 1-48: negative arm, 49-96: positive arm, outward from the gap.
      for (int i = 1; i <= 48; ++i) {
        const float p = arm_offset(i, tc.dx, cgap);
        xpos(tc, 48 + i) = p;
        xpos(tc, i) = -p;
      }
      break;
    }
    case kTalva1b:
    case kTalva1c:
      tc.nelem = 4 * nunit;
      tc.dx = unitx / 4.0f;
      nants = nunit;
      tc.fanstep = 0.445f / (7.0f * tc.dx);
      basic_layout(tc, tc.nelem, tc.dx, cgap);
      break;
    case kTalva1d:
      tc.nelem = 4 * nunit;
      tc.dx = unitx / 4.0f;
      nants = static_cast<int>(std::sqrt(4.0f * static_cast<float>(tc.nelem)) + 1.0f);
      basic_layout(tc, tc.nelem, tc.dx, cgap);
      unique_baselines(tc, nants, true, natwt);
      break;
    case kTalva2a:
      tc.nelem = 2 * nunit;
      tc.dx = unitx / 2.0f;
      nants = 2 * nunit;
      basic_layout(tc, tc.nelem, tc.dx, cgap);
      break;
    case kTalva2b:
      tc.nelem = 2 * nunit;
      tc.dx = unitx / 2.0f;
      nants = static_cast<int>(std::sqrt(4.0f * static_cast<float>(tc.nelem)) + 1.0f);
      basic_layout(tc, tc.nelem, tc.dx, cgap);
      unique_baselines(tc, nants, false, false);
      break;
    case kTalva3a:
    case kTalva3b:
      tc.nelem = nunit;
      tc.dx = unitx;
      nants = nunit;
      tc.fanstep = 0.445f / tc.dx;
      basic_layout(tc, tc.nelem, tc.dx, cgap);
      break;
    default:
      talva::stop("unknown mode number " + std::to_string(imode));
  }
  tc.nunit = nunit;
  return tc;
}

void print_antenna_index(const ModeLayout& tc, talva::Output& out) {
  const int imode = tc.imode;
  std::array<int, kMaxElements> ants{};
  int n = 0;
  if (imode == kOrvex) {
    for (int k = 1; k <= 44; ++k) ants[static_cast<std::size_t>(n++)] = k;
    for (int k = 49; k <= 92; ++k) ants[static_cast<std::size_t>(n++)] = k;
  } else {
    for (int k = 1; k <= tc.nelem && k <= kMaxElements; ++k) ants[static_cast<std::size_t>(n++)] = k;
  }
  out.line("==================");
  out.line(" Antenna Indexing:");
  out.line("==================");
  // Repeated selection: the smallest position not below the bound, lowest
  // antenna number first on a tie; the bound then moves half a wavelength past it.
  double bound = -1.0e8;
  for (int line = 0; line < n; ++line) {
    int best = 0;
    for (int m = 0; m < n; ++m) {
      const int k = ants[static_cast<std::size_t>(m)];
      const double x = tc.xpos[static_cast<std::size_t>(k - 1)];
      if (x >= bound && (best == 0 || x < tc.xpos[static_cast<std::size_t>(best - 1)])) best = k;
    }
    if (best == 0) break;
    const double x = tc.xpos[static_cast<std::size_t>(best - 1)];
    out.line(talva::ListLine() << best << " : " << static_cast<float>(x));
    bound = x + 0.5;
  }
}

ModeLayout setup_mode(std::string_view mode, float unitx, int nunit, float cgap, bool natwt, talva::Output& out) {
  const std::string text = mode_text20(mode);
  const int imode = find_mode(text);
  if (imode == kNoMode) talva::stop("unknown mode -: " + text);
  if (imode == kTalva1a) out.line("talva1a++");
  ModeLayout layout = lay_out_mode(imode, unitx, nunit, cgap, natwt);
  if (imode == kTalva1a)
    for (int k = 1; k <= 96; ++k) out.line(talva::ListLine() << k << layout.x(k));
  print_antenna_index(layout, out);
  return layout;
}

}  // namespace talva::convert
