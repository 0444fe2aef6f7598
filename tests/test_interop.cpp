// Datasets for other readers (options=interop): simulated archives through
// both converters, read back with the project's reader. The positions in
// antpos must give every record's (u, v), lst must follow the record times
// at the sidereal rate, nants must cover every antenna number, and the
// option must add variables without changing a byte of what the default
// dataset holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_conv_support.h"

namespace {

using namespace conv_test;
using talva::test::read_bytes;

constexpr double kPi = 3.14159265358979323846;
constexpr double kLongitude = 2.607928991317749;     // site, radians
constexpr double kSiderealPerSolar = 1.00273790935;  // sidereal seconds per UT second
constexpr double kRadPerHour = kPi / 12.0;
constexpr double kSimRate = 7.2921159e-5;  // simulator's hour angle, rad per second
const std::set<std::string> kInteropVars{"altitude", "instrume", "antpos", "lst"};

// Local apparent sidereal time (radians) of a UT Julian date at the site:
// mean sidereal time from the polynomial in days since J2000.0, plus the
// equation of the equinoxes from the four largest nutation terms (good to
// about 0.5 arcsec, against its full size of up to 16 arcsec).
double last(double jd) {
  const double d = jd - 2451545.0, t = d / 36525.0, r = kPi / 180.0;
  const double gmst = 280.46061837 + 360.98564736629 * d + 0.000387933 * t * t - t * t * t / 38710000.0;
  const double om = (125.04452 - 1934.136261 * t) * r, l = (280.4665 + 36000.7698 * t) * r,
               lm = (218.3165 + 481267.8813 * t) * r;
  const double dpsi =
      -17.20 * std::sin(om) - 1.32 * std::sin(2 * l) - 0.23 * std::sin(2 * lm) + 0.21 * std::sin(2 * om);
  const double eqeq = dpsi * std::cos(23.4393 * r) / 3600.0;  // degrees
  return std::fmod(gmst + eqeq, 360.0) * r + kLongitude;
}

double wrap_pm_pi(double a) { return std::remainder(a, 2.0 * kPi); }

// Antennas of a baseline number: large form 65536 + 2048 a + b, else 256 a + b.
std::pair<int, int> antennas(double baseline) {
  long q = std::lround(baseline);
  if (q > 65536) return {static_cast<int>((q - 65536) / 2048), static_cast<int>((q - 65536) % 2048)};
  return {static_cast<int>(q / 256), static_cast<int>(q % 256)};
}

struct InteropRecord {
  talva::miriad::UvRecord rec;
  bool has_lst = false;
  double lst = 0;
};

struct InteropSet {
  int nants = 0;
  std::vector<double> antpos;  // 3 x nants: X..., Y..., Z...
  double sindec = 0;           // J2000
  double obsdec = 0;           // at the first record: the apparent place of date with the option
  std::vector<InteropRecord> records;
  std::vector<std::string> vartable;
  double altitude = -1;
  std::string instrume;
};

InteropSet read_set(const std::string& path) {
  InteropSet s;
  talva::miriad::UvReader r(path);
  for (const auto& v : r.variables()) s.vartable.push_back(v.name);
  InteropRecord x;
  while (r.read(x.rec)) {
    if (r.records_read() == 1) {
      s.nants = r.variable("nants")->ints().at(0);
      if (const auto* a = r.variable("antpos")) s.antpos = a->doubles();
      s.sindec = std::sin(r.variable("dec")->doubles().at(0));
      s.obsdec = r.variable("obsdec")->doubles().at(0);
      if (const auto* a = r.variable("altitude")) s.altitude = a->doubles().at(0);
      if (const auto* a = r.variable("instrume")) s.instrume = a->text();
    }
    const auto* lst = r.variable("lst");
    x.has_lst = lst && !lst->value.empty();
    x.lst = x.has_lst ? lst->doubles().at(0) : 0.0;
    s.records.push_back(x);
  }
  return s;
}

// Checks that every record's (u, v) is what its two antennas' east-west
// positions give: u = cos H dy, v = vsign sin H sin(dec) dy with one H per
// time, where dy = Y(b) - Y(a). `pairs_with_1_only`: only pairs (1, b) have
// such positions (compressed modes). Returns the hour angle of each time.
// Hour angles of successive times: `first`, then `step` more each time.
void expect_hour_angles(const std::map<double, double>& ha, double first, double step, double tol) {
  double expect = first;
  for (const auto& [time, h] : ha) {
    EXPECT_NEAR(wrap_pm_pi(h - expect), 0.0, tol) << "time " << time;
    expect += step;
  }
}

// `apparent`: a data mode, whose records carry u, v and w of the apparent
// frame (declination obsdec); else a simulation (J2000 declination, w = 0).
std::map<double, double> check_geometry(const InteropSet& s, double vsign, bool apparent,
                                        bool pairs_with_1_only = false) {
  std::map<double, double> ha;
  EXPECT_GT(s.nants, 0);
  EXPECT_EQ(s.antpos.size(), 3u * static_cast<std::size_t>(s.nants));
  if (s.antpos.size() != 3u * static_cast<std::size_t>(s.nants)) return ha;
  const std::size_t n = static_cast<std::size_t>(s.nants);
  for (double p : s.antpos) EXPECT_FALSE(p == 0.0 && std::signbit(p)) << "-0 in antpos";
  for (std::size_t k = 0; k < n; ++k) {
    EXPECT_EQ(s.antpos[k], 0.0) << "X of antenna " << k + 1;          // east-west array:
    EXPECT_EQ(s.antpos[2 * n + k], 0.0) << "Z of antenna " << k + 1;  // Y only
  }
  int checked = 0;
  for (const auto& x : s.records) {
    const auto [a, b] = antennas(x.rec.baseline);
    EXPECT_GE(a, 1);
    EXPECT_LT(a, b);
    EXPECT_LE(b, s.nants) << "baseline " << x.rec.baseline;
    if (a < 1 || b > s.nants || a >= b) continue;
    if (pairs_with_1_only && a != 1) continue;
    const double dy = s.antpos[n + static_cast<std::size_t>(b - 1)] - s.antpos[n + static_cast<std::size_t>(a - 1)];
    EXPECT_NE(dy, 0.0) << "baseline " << x.rec.baseline;
    if (dy == 0.0) continue;
    const double sindec = apparent ? std::sin(s.obsdec) : s.sindec;
    const double c = x.rec.u / dy, sn = x.rec.v / (vsign * dy * sindec);
    EXPECT_NEAR(c * c + sn * sn, 1.0, 1e-4) << "baseline " << x.rec.baseline;
    const double h = std::atan2(sn, c);
    // w = -sin H cos(dec) dy in the data modes; the simulations' flat model has none.
    EXPECT_NEAR(x.rec.w, apparent ? -std::sin(h) * std::cos(s.obsdec) * dy : 0.0, 1e-4 * std::abs(dy))
        << "baseline " << x.rec.baseline;
    auto [it, fresh] = ha.emplace(x.rec.time, h);
    if (!fresh) {
      EXPECT_NEAR(wrap_pm_pi(h - it->second), 0.0, 1e-4) << "baseline " << x.rec.baseline;
    }
    ++checked;
  }
  EXPECT_GT(checked, 0);
  return ha;
}

// lst on every record: constant within a time, following the record time at
// the sidereal rate, and the local apparent sidereal time of that time.
void check_lst(const InteropSet& s) {
  ASSERT_FALSE(s.records.empty());
  const InteropRecord* prev = nullptr;
  for (const auto& x : s.records) {
    if (::testing::Test::HasFailure()) return;  // one report, not one per record
    ASSERT_TRUE(x.has_lst) << "record at " << x.rec.time;
    EXPECT_GE(x.lst, 0.0);
    EXPECT_LT(x.lst, 2.0 * kPi);
    EXPECT_NEAR(wrap_pm_pi(x.lst - last(x.rec.time)), 0.0, 1e-5) << "time " << x.rec.time;
    if (prev) {
      const double dt = (x.rec.time - prev->rec.time) * 86400.0;
      const double expect = dt * kSiderealPerSolar * 2.0 * kPi / 86400.0;
      EXPECT_NEAR(wrap_pm_pi(x.lst - prev->lst - expect), 0.0, 1e-7) << "time " << x.rec.time;
    }
    prev = &x;
  }
}

// The option's records: the default's, with the complete geometry of the
// data modes (u agrees, v takes the declination of date, w is added).
void expect_same_records(const std::vector<talva::miriad::UvRecord>& a, const InteropSet& b) {
  ASSERT_EQ(a.size(), b.records.size());
  for (std::size_t k = 0; k < a.size(); ++k) {
    const auto& y = b.records[k].rec;
    EXPECT_NEAR(a[k].u, y.u, 1e-5 * std::abs(y.u) + 1e-9);
    EXPECT_NEAR(a[k].v, y.v, 1e-2 * std::abs(y.v) + 1e-9);
    EXPECT_EQ(a[k].w, 0.0);
    EXPECT_EQ(a[k].time, y.time);
    EXPECT_EQ(a[k].baseline, y.baseline);
    EXPECT_EQ(a[k].data, y.data);
    EXPECT_EQ(a[k].flags, y.flags);
  }
}

// The variable stream of a dataset as (variable name, record bytes without
// the index byte), with the variables in `drop` left out.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> stream(const std::string& path,
                                                                      const std::set<std::string>& drop) {
  talva::miriad::UvReader r(path);
  std::vector<std::string> names;
  std::vector<std::size_t> esize;
  for (const auto& v : r.variables()) {
    names.push_back(v.name);
    esize.push_back(v.type == 'a' ? 1 : v.type == 'j' ? 2 : (v.type == 'd' || v.type == 'c') ? 8 : 4);
  }
  std::vector<std::uint8_t> vis;
  EXPECT_TRUE(r.item_bytes("visdata", vis));
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> out;
  std::vector<std::size_t> len(names.size(), 0);
  std::size_t off = 0;
  while (off + 4 <= vis.size()) {
    const std::size_t idx = vis[off];
    const int code = vis[off + 2];
    std::size_t next = off + 8;
    std::string name = "EOR";
    if (code != 2) {
      if (idx >= names.size()) {
        ADD_FAILURE() << "index " << idx << " at " << off;
        break;
      }
      name = names[idx];
      if (code == 0) {
        len[idx] = static_cast<std::size_t>(vis[off + 4]) << 24 | static_cast<std::size_t>(vis[off + 5]) << 16 |
                   static_cast<std::size_t>(vis[off + 6]) << 8 | vis[off + 7];
      } else {
        const std::size_t start = off + std::max<std::size_t>(4, esize[idx]);
        next = (start + len[idx] + 7) / 8 * 8;
      }
    }
    if (!drop.count(name)) {
      std::vector<std::uint8_t> bytes(vis.begin() + static_cast<std::ptrdiff_t>(off + 1),
                                      vis.begin() + static_cast<std::ptrdiff_t>(std::min(next, vis.size())));
      out.emplace_back(name, bytes);
    }
    off = next;
  }
  return out;
}

// The streams agree record by record (the first difference is reported).
void expect_same_stream(const std::string& def, const std::string& io, const std::set<std::string>& also_drop) {
  std::set<std::string> drop = kInteropVars;
  drop.insert(also_drop.begin(), also_drop.end());
  const auto a = stream(def, also_drop), b = stream(io, drop);
  EXPECT_EQ(a.size(), b.size());
  for (std::size_t k = 0; k < std::min(a.size(), b.size()); ++k)
    if (a[k] != b[k]) {
      ADD_FAILURE() << "stream record " << k << ": " << a[k].first << " / " << b[k].first;
      return;
    }
}

const std::vector<std::string> kDefaultVartable{
    "epoch",   "nants",    "veldop",  "vsource",  "source", "ra",     "obsra",  "dec",     "obsdec", "latitud",
    "longitu", "telescop", "inttime", "nchan",    "ischan", "nschan", "nspect", "sfreq",   "sdf",    "npol",
    "pol",     "jyperk",   "systemp", "restfreq", "corr",   "coord",  "time",   "baseline"};

TEST(InteropTalva2vis3, Talva1aPseudoPairsLstAndAnUnchangedDefault) {
  TempDir dir;
  // A date when the equation of the equinoxes is near its largest.
  simulate(dir, {"ndumps=3", "dt=60", "ha=-2", "seed=3", "noise=0.01", "date=2011,2,1"});
  write_uniform_gains(dir.file("unit.gains"), {1.0f, 0.0f});
  const RunResult d = convert("talva2vis3", dir, {"gnsfile=unit.gains", "uvfile=def.uv"});
  ASSERT_EQ(d.status, 0) << d.out << d.err;
  const RunResult r = convert("talva2vis3", dir, {"gnsfile=unit.gains", "uvfile=io.uv", "options=interop"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, d.out);

  // The default dataset: exactly its 24 variables and the record variables;
  // the option adds its four variables, counts the pseudo-antennas in nants
  // and changes no other byte of the stream.
  const InteropSet def = read_set(dir.file("def.uv"));
  EXPECT_EQ(def.vartable, kDefaultVartable);
  EXPECT_EQ(def.nants, 96);
  EXPECT_TRUE(def.antpos.empty());
  EXPECT_FALSE(def.records.at(0).has_lst);
  expect_same_stream(dir.file("def.uv"), dir.file("io.uv"), {"nants", "coord", "obsra", "obsdec"});
  EXPECT_GT(stream(dir.file("def.uv"), {}).size(), 390u * 4);

  const InteropSet io = read_set(dir.file("io.uv"));
  ASSERT_EQ(io.records.size(), 390u);
  expect_same_records(records(dir.file("def.uv")), io);
  EXPECT_EQ(io.nants, 131);  // pseudo-pairs (1, s + 1) up to class 130
  EXPECT_EQ(io.altitude, 0.0);
  EXPECT_EQ(io.instrume, "TALVA");
  for (const auto& v : kInteropVars) EXPECT_EQ(std::count(io.vartable.begin(), io.vartable.end(), v), 1) << v;

  // The hour angle the positions imply is the dump's: -2 h, then 60 s later.
  const auto ha = check_geometry(io, +1.0, true);
  ASSERT_EQ(ha.size(), 3u);
  expect_hour_angles(ha, -2.0 * kRadPerHour, 60.0 * kSimRate, 2e-4);
  check_lst(io);
}

TEST(InteropTalva2vis3, OrvexSimulationsAndCompressedModes) {
  TempDir dir;
  simulate(dir, {"ndumps=2", "dt=300", "ha=1.5", "seed=4"});
  write_uniform_gains(dir.file("unit.gains"), {1.0f, 0.0f});
  {  // orvex: antennas up to 92 though the mode has 88
    const RunResult r =
        convert("talva2vis3", dir, {"gnsfile=unit.gains", "uvfile=orvex.uv", "skmode=orvex", "options=interop"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const InteropSet s = read_set(dir.file("orvex.uv"));
    ASSERT_EQ(s.records.size(), 176u);
    EXPECT_EQ(s.nants, 92);
    const auto ha = check_geometry(s, +1.0, true);
    ASSERT_EQ(ha.size(), 2u);
    expect_hour_angles(ha, 1.5 * kRadPerHour, 300.0 * kSimRate, 2e-4);
    check_lst(s);
  }
  {  // element pairs of a simulation: the mode's nants counts units, the records elements
    const RunResult r = convert(
        "talva2vis3", dir,
        {"gnsfile=unit.gains", "uvfile=c.uv", "skmode=talva1c", "nunit=3", "ampscale=1", "options=interop,nat"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const InteropSet s = read_set(dir.file("c.uv"));
    ASSERT_EQ(s.records.size(), 2u * 66);
    EXPECT_EQ(s.nants, 12);
    // The simulations write v with the sign opposite to the data modes': u
    // agrees with the positions, v is its mirror.
    expect_hour_angles(check_geometry(s, -1.0, false), 1.5 * kRadPerHour, 300.0 * kSimRate, 2e-4);
    check_lst(s);
  }
  {  // fan-beam units
    const RunResult r = convert("talva2vis3", dir,
                                {"gnsfile=unit.gains", "uvfile=b.uv", "skmode=talva1b", "nunit=5", "options=interop"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const InteropSet s = read_set(dir.file("b.uv"));
    ASSERT_EQ(s.records.size(), 2u * 10);
    EXPECT_EQ(s.nants, 5);
    expect_hour_angles(check_geometry(s, -1.0, false), 1.5 * kRadPerHour, 300.0 * kSimRate, 2e-4);
  }
  {  // compressed: pseudo-pairs (a, b); only the pairs (1, b) can agree
    const RunResult r = convert("talva2vis3", dir,
                                {"gnsfile=unit.gains", "uvfile=2b.uv", "skmode=talva2b", "nunit=8", "options=interop"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const InteropSet s = read_set(dir.file("2b.uv"));
    ASSERT_EQ(s.records.size(), 2u * 22);  // 3 nelem / 2 - 2 unique baselines of 16 elements
    EXPECT_EQ(s.nants, 9);                 // trunc(sqrt(64) + 1)
    int with1 = 0;
    for (const auto& x : s.records) with1 += antennas(x.rec.baseline).first == 1;
    EXPECT_EQ(with1, 2 * 8);
    expect_hour_angles(check_geometry(s, -1.0, false, true), 1.5 * kRadPerHour, 300.0 * kSimRate, 2e-4);
  }
}

TEST(InteropTalva2vis, LegacyTalva1aAndOrvex) {
  TempDir dir;
  simulate(dir, {"ndumps=3", "seed=6"});
  talva::test::write_file(dir.file("zero.pha"), "no phase corrections\n");
  {
    const RunResult d = convert("talva2vis", dir, {"phasefil=zero.pha", "uvfile=def.uv", "startha=-1"});
    ASSERT_EQ(d.status, 0) << d.out << d.err;
    const RunResult r =
        convert("talva2vis", dir, {"phasefil=zero.pha", "uvfile=io.uv", "startha=-1", "options=interop"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    expect_same_stream(dir.file("def.uv"), dir.file("io.uv"), {"coord", "obsra", "obsdec"});
    const InteropSet s = read_set(dir.file("io.uv"));
    ASSERT_EQ(s.records.size(), 3u * 87);
    EXPECT_EQ(s.nants, 96);
    // Legacy talva1a writes v = -sin H sin(dec) L by default; with the
    // option its records carry the geometry of its positions (+sin H).
    const auto ha = check_geometry(s, +1.0, true);
    ASSERT_EQ(ha.size(), 3u);
    expect_hour_angles(ha, -1.0 * 15.0 / 57.2957763671875, 7.2722054e-05, 1e-5);  // startha, one step a dump
    check_lst(s);
  }
  {
    const RunResult r = convert(
        "talva2vis", dir, {"phasefil=zero.pha", "uvfile=orvex.uv", "startha=-1", "skmode=orvex", "options=interop"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const InteropSet s = read_set(dir.file("orvex.uv"));
    ASSERT_EQ(s.records.size(), 3u * 88);
    EXPECT_EQ(s.nants, 92);
    expect_hour_angles(check_geometry(s, +1.0, true), -1.0 * 15.0 / 57.2957763671875, 7.2722054e-05, 1e-5);
  }
}

}  // namespace
