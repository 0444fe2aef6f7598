// The archive simulator's core.
#include "simulate.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "archive/archiv_util.h"
#include "archive/fp.h"
#include "array/sky.h"
#include "util/constants.h"
#include "util/fmt.h"
#include "util/interrupt.h"
#include "util/output_file.h"
#include "util/stop.h"
#include "util/textin.h"

using talva::archive::FP_to_Byte;
using talva::archive::kMaxAntennaRecords;
using talva::archive::kMaxHeaderLength;
using talva::archive::kMinHeaderLength;

static_assert(std::endian::native == std::endian::little, "the archive is written little-endian");

namespace talva::talvasim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegToRad = kPi / 180.0;
constexpr double kHourToRad = kPi / 12.0;
constexpr float kDegreesPerRadian = talva::kTableDegPerRad;  // the gains file's phase column
constexpr int kMaxLayoutLines = 4608;
constexpr char kHeaderKey[] = "TCC";
constexpr char kRepeatKey[] = "TALVA";
constexpr double kWavelength = 0.356;  // metres: baselines in wavelengths, as the converters count them
constexpr double kRadPerArcmin = kPi / 10800.0;

// Antenna positions along the east-west line written into the per-antenna
// records, metres (the East arm, antennas 1-48, positive).
double antenna_x(int ant) {
  const int bay = ant > 48 ? ant - 48 : ant;
  const double side = ant > 48 ? -1.0 : 1.0;
  return (17.68 * (bay - 1) + 16.46) * side;
}

std::uint64_t splitmix64(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

/// Writes `size` bytes of `data` to `out`.
void put_bytes(talva::OutputFile& out, const void* data, std::size_t size) {
  out.write(std::string_view(static_cast<const char*>(data), size));
}

void put_i32(std::vector<std::uint8_t>& out, std::int32_t v) {
  std::uint8_t b[4];
  std::memcpy(b, &v, 4);
  out.insert(out.end(), b, b + 4);
}

void put_fp(std::vector<std::uint8_t>& block, std::size_t offset, double v) {
  FP_to_Byte(v, std::span<std::uint8_t, 4>(block.data() + offset, 4));
}

int days_in_month(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

/// Date and time of dump n (0-based).
struct Stamp {
  int year, mon, day, hr, mins, sec;
};

Stamp stamp(const Settings& s, int n) {
  const double start = s.time[0] * 3600.0 + s.time[1] * 60.0 + s.time[2];
  const double t = start + n * s.dt;
  const double days = std::floor(t / 86400.0);
  const auto of_day = static_cast<long long>(std::floor(t - days * 86400.0));
  Stamp st{};
  civil_from_days(days_from_civil(s.date[0], s.date[1], s.date[2]) + static_cast<long long>(days), st.year, st.mon,
                  st.day);
  st.hr = static_cast<int>(of_day / 3600);
  st.mins = static_cast<int>(of_day / 60 % 60);
  st.sec = static_cast<int>(of_day % 60);
  return st;
}

/// Hour angle in radians, wrapped into [-pi, pi).
double wrap_angle(double a) {
  double w = std::fmod(a + kPi, 2 * kPi);
  if (w < 0) w += 2 * kPi;
  return w - kPi;
}

}  // namespace

Random::Random(std::uint64_t seed) {
  std::uint64_t x = seed;
  for (auto& w : s_) w = splitmix64(x);
}

std::uint64_t Random::next() {
  const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

double Random::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

double Random::gauss() {
  if (have_spare_) {
    have_spare_ = false;
    return spare_;
  }
  const double u1 = 1.0 - uniform();  // (0, 1]: the logarithm stays finite
  const double u2 = uniform();
  const double r = std::sqrt(-2.0 * std::log(u1));
  spare_ = r * std::sin(2 * kPi * u2);
  have_spare_ = true;
  return r * std::cos(2 * kPi * u2);
}

long long days_from_civil(int y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * static_cast<unsigned>(m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civil_from_days(long long z, int& y, int& m, int& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2));
}

std::vector<Product> product_table(const Settings& s) {
  std::vector<Product> table;
  for (int i = 1; i < kAntennas; ++i)
    for (int j = i + 1; j <= kAntennas; ++j) {
      if (s.pairs == "ew" && !(i <= 48 && j > 48)) continue;
      const int line = static_cast<int>(table.size()) + 1;
      // every 7th line names the larger antenna first: the correlator formed
      // that product in descending order and its value is stored conjugated
      table.push_back(line % 7 == 0 ? Product{j, i} : Product{i, j});
    }
  for (int a = 2; static_cast<int>(table.size()) + 1 < s.nprod; ++a) table.push_back({a, a});
  table.push_back({1, 1});  // the last entry's item lies past the dump
  return table;
}

std::vector<std::complex<float>> antenna_gains(const Settings& s) {
  std::vector<std::complex<float>> g(kAntennas);
  if (!s.gains.empty()) {
    // as the converter reads a gains file: antennas not named keep (0, 0)
    talva::TextInput in(s.gains, "gains");
    std::string line;
    while (in.next_line(line)) {
      talva::FreeFormat ff(line, &in);
      if (ff.at_end()) continue;
      const double x = ff.real64("antenna number");
      const std::complex<float> gain = ff.complex32("gain");
      if (x >= 1 && x < kAntennas + 1) g[static_cast<std::size_t>(x) - 1] = gain;
    }
    return g;
  }
  Random rng(s.seed);
  for (auto& gi : g) {
    const double amp = 1.0 + s.gainamp * (2 * rng.uniform() - 1);
    const double phs = s.gainphs * (2 * rng.uniform() - 1) * kDegToRad;
    gi = std::complex<float>(static_cast<float>(amp * std::cos(phs)), static_cast<float>(amp * std::sin(phs)));
  }
  return g;
}

double dump_jd(const Settings& s, int n) {
  const Stamp st = stamp(s, n);
  return static_cast<double>(days_from_civil(st.year, st.mon, st.day)) + 2440587.5 +
         (st.hr * 3600.0 + st.mins * 60.0 + st.sec) / 86400.0;
}

double hour_angle(const Settings& s, int n) {
  if (s.ha_given) return wrap_angle(s.ha * kHourToRad + n * s.dt * kSiderealRate);
  const double jd = dump_jd(s, n);
  const talva::sky::Place centre = talva::sky::apparent_place(s.ra * kHourToRad, s.dec * kDegToRad, jd);
  talva::sky::SiderealClock clock;
  return wrap_angle(clock.last(jd) - centre.ra);
}

double east_position(int ant) { return antenna_x(ant); }

std::vector<std::uint8_t> header_block(const Settings& s, int n) {
  std::vector<std::uint8_t> b(static_cast<std::size_t>(s.hdrlen), 0);
  const Stamp st = stamp(s, n);
  b[7] = static_cast<std::uint8_t>(s.mode & 0xFF);
  b[16] = static_cast<std::uint8_t>(st.sec);
  b[17] = static_cast<std::uint8_t>(st.mins);
  b[18] = static_cast<std::uint8_t>(st.hr);
  b[28] = static_cast<std::uint8_t>(st.day);
  b[29] = static_cast<std::uint8_t>(st.mon);
  b[30] = static_cast<std::uint8_t>(st.year - 1900);
  put_fp(b, 32, s.ra * kHourToRad);
  put_fp(b, 36, s.dec * kDegToRad);
  put_fp(b, 48, hour_angle(s, n));
  put_fp(b, 52, s.tilts[0] * kDegToRad);
  put_fp(b, 56, std::sin((s.mdtilt + n * s.mdrate) * kDegToRad));
  put_fp(b, 60, s.tilts[1] * kDegToRad);
  put_fp(b, 64, s.tilts[2] * kDegToRad);
  put_fp(b, 80, s.temp);
  return b;
}

void check(const Settings& s) {
  auto bad = [](const std::string& what) { talva::stop("talvasim: " + what); };
  if (s.archive.empty()) bad("archive= is required");
  if (s.layout.empty()) bad("layout= is required");
  if (s.ndumps < 0) bad("ndumps must be 0 or more");
  if (s.nant < 0 || s.nant > kMaxAntennaRecords) bad("nant must be 0 to 100");
  if (s.hdrlen < kMinHeaderLength || s.hdrlen > kMaxHeaderLength) bad("hdrlen must be 84 to 400");
  if (s.talvatags < 0) bad("talvatags must be 0 or more");
  if (s.truncate < 0) bad("truncate must be 0 or more");
  if (s.noise < 0 || !std::isfinite(s.noise)) bad("noise must be 0 or more");
  if (!(s.dt >= 0) || !std::isfinite(s.dt)) bad("dt must be 0 or more");
  if (s.mode < -128 || s.mode > 255) bad("mode must be -128 to 255");
  if (s.pairs != "all" && s.pairs != "ew") bad("pairs must be all or ew");
  for (const auto& src : s.sources) {
    const double l = src[0] * kRadPerArcmin, m = src[1] * kRadPerArcmin;
    if (!std::isfinite(l) || !std::isfinite(m) || !std::isfinite(src[2]) || l * l + m * m >= 1.0)
      bad("sources: each offset must lie within 90 degrees of the phase centre and each value be finite");
  }
  const int natural = s.pairs == "ew" ? 48 * 48 + 1 : kAntennas * (kAntennas - 1) / 2 + 1;
  if (s.nprod != 0 && (s.nprod < natural || s.nprod > kMaxLayoutLines))
    bad("nprod must be " + std::to_string(natural) + " to " + std::to_string(kMaxLayoutLines));
  const auto& d = s.date;
  if (d[1] < 1 || d[1] > 12 || d[2] < 1 || d[2] > days_in_month(d[0], d[1])) bad("date is not a calendar date");
  const auto& t = s.time;
  if (t[0] < 0 || t[0] > 23 || t[1] < 0 || t[1] > 59 || t[2] < 0 || t[2] > 59) bad("time must be H,M,S of one day");
  constexpr double kSpanLimit = 256.0 * 366 * 86400;  // more than the header's years 1900-2155
  if (s.dt * std::max(s.ndumps - 1, 0) > kSpanLimit) bad("the dump dates must lie in the years 1900 to 2155");
  const Stamp first = stamp(s, 0);
  const Stamp last = stamp(s, s.ndumps > 0 ? s.ndumps - 1 : 0);
  if (first.year < 1900 || last.year > 2155) bad("the dump dates must lie in the years 1900 to 2155");
}

namespace {

// Visibilities of the point sources of `sources` at each dump, with the
// geometry of the telescope's phase tracking: the apparent places of date of
// the phase centre and of every source, and the hour angle of the dump.
class SkyModel {
 public:
  SkyModel(const Settings& s, const std::vector<Product>& table, const std::vector<std::complex<float>>& g)
      : table_(table), g_(g) {
    for (const auto& src : s.sources)
      sources_.push_back({talva::sky::offset_position(src[0] * kRadPerArcmin, src[1] * kRadPerArcmin, s.ra * kHourToRad,
                                                      s.dec * kDegToRad),
                          src[2]});
    for (int a = 1; a <= kAntennas; ++a) y_[static_cast<std::size_t>(a - 1)] = east_position(a) / kWavelength;
  }

  // model[k]: the value of table entry k oriented from the smaller to the
  // larger antenna, g(i) conj(g(j)) sum F p(i) conj(p(j)), where
  // p(a) = exp(2 pi i k y(a)) and k y(b) - k y(a) = u l + v m + w (n - 1)
  // for the baseline y(b) - y(a) (wavelengths).
  void dump(const Settings& s, int n, std::vector<std::complex<double>>& model) {
    const double jd = dump_jd(s, n);
    const talva::sky::Place centre = talva::sky::apparent_place(s.ra * kHourToRad, s.dec * kDegToRad, jd);
    const double h = hour_angle(s, n);
    const talva::sky::Uvw unit = talva::sky::east_west_uvw(h, centre.dec, 1.0);
    std::vector<std::array<std::complex<double>, kAntennas>> p(sources_.size());
    for (std::size_t q = 0; q < sources_.size(); ++q) {
      const talva::sky::Place at = talva::sky::apparent_place(sources_[q].place.ra, sources_[q].place.dec, jd);
      const auto lmn = talva::sky::direction_cosines(at.ra, at.dec, centre.ra, centre.dec);
      const double k = unit.u * lmn[0] + unit.v * lmn[1] + unit.w * (lmn[2] - 1.0);
      for (std::size_t a = 0; a < kAntennas; ++a) p[q][a] = std::polar(1.0, 2.0 * kPi * k * y_[a]);
    }
    for (std::size_t k = 0; k < model.size(); ++k) {
      const auto i = static_cast<std::size_t>(std::min(table_[k].a, table_[k].b) - 1);
      const auto j = static_cast<std::size_t>(std::max(table_[k].a, table_[k].b) - 1);
      std::complex<double> sum{0.0, 0.0};
      for (std::size_t q = 0; q < sources_.size(); ++q) sum += sources_[q].flux * p[q][i] * std::conj(p[q][j]);
      model[k] = std::complex<double>(g_[i]) * sum * std::conj(std::complex<double>(g_[j]));
    }
  }

 private:
  struct Source {
    talva::sky::Place place;  // J2000
    double flux;
  };
  const std::vector<Product>& table_;
  const std::vector<std::complex<float>>& g_;
  std::vector<Source> sources_;
  std::array<double, kAntennas> y_{};
};

}  // namespace

int simulate(const Settings& s) {
  check(s);
  const std::vector<Product> table = product_table(s);
  const std::vector<std::complex<float>> base = antenna_gains(s);
  std::vector<std::complex<float>> g = base;  // the gains of the dump (drift.h)
  const GainDrift drift(s, base);
  talva::calib::GainsTable truth;
  truth.nant = kAntennas;
  truth.comments.push_back("talvasim: the true gains of every dump");
  const auto nbsln = static_cast<int>(table.size());

  // The archive, its layout and the gains are one set: written in full,
  // then they replace earlier files together.
  talva::OutputSet outputs;
  outputs.input(s.gains);
  talva::OutputFile& arch = outputs.add(s.archive);
  talva::OutputFile& layout = outputs.add(s.layout);
  talva::OutputFile* gains_out = s.gainsout.empty() ? nullptr : &outputs.add(s.gainsout);
  talva::OutputFile* truth_out = s.truegains.empty() ? nullptr : &outputs.add(s.truegains);

  // the layout: line k describes product index k + 1
  for (const auto& p : table) layout.line(std::to_string(p.a) + " " + std::to_string(p.b));

  if (gains_out != nullptr) {
    for (int i = 1; i <= kAntennas; ++i) {
      const std::complex<float> gi = g[static_cast<std::size_t>(i) - 1];
      talva::ListLine line;
      line << i << gi << std::abs(gi) << std::atan2(gi.imag(), gi.real()) * kDegreesPerRadian;
      gains_out->line(line.str());
    }
  }

  // noiseless values, oriented from the smaller to the larger antenna
  std::vector<std::complex<double>> model(table.size() - 1);
  point_model(table, g, s.flux, model);

  std::vector<std::uint8_t> head;
  put_i32(head, s.nant);
  put_i32(head, nbsln);
  for (const auto& p : table) put_i32(head, 256 * std::max(p.a, p.b) + std::min(p.a, p.b));
  put_bytes(arch, head.data(), head.size());

  std::vector<double> antennas(static_cast<std::size_t>(s.nant) * 3, 0.0);
  for (int a = 1; a <= s.nant; ++a) antennas[static_cast<std::size_t>(a - 1) * 3] = a <= kAntennas ? antenna_x(a) : 0;

  Random noise(s.seed ^ 0x6A09E667F3BCC909ull);  // a stream of its own: gains from a file do not shift it
  std::vector<float> items(2 * static_cast<std::size_t>(nbsln), 0.0f);  // item 1 stays (0, 0)
  SkyModel sky(s, table, g);
  for (int n = 0; n < s.ndumps; ++n) {
    talva::stop_if_interrupted(": no file written");
    if (drift.active()) {
      drift.gains(s, n, g);
      if (s.sources.empty()) point_model(table, g, s.flux, model);
      if (truth_out != nullptr) drift.record(dump_jd(s, n), g, truth);
    }
    if (!s.sources.empty()) sky.dump(s, n, model);
    const bool repeat = s.talvatags > 0 && (n + 1) % s.talvatags == 0;
    char key[8] = {};
    std::memcpy(key, repeat ? kRepeatKey : kHeaderKey, std::strlen(repeat ? kRepeatKey : kHeaderKey));
    std::vector<std::uint8_t> tag(key, key + 8);
    put_i32(tag, repeat ? 0 : s.hdrlen);
    put_bytes(arch, tag.data(), tag.size());
    if (!repeat) {
      const auto block = header_block(s, n);
      put_bytes(arch, block.data(), block.size());
    }
    put_bytes(arch, antennas.data(), antennas.size() * sizeof(double));
    for (std::size_t k = 0; k < model.size(); ++k) {
      std::complex<double> v = model[k];
      if (s.noise > 0) {
        const double sigma = drift.active() ? s.noise * drift.noise_factor(table[k].a, table[k].b) : s.noise;
        const double re = noise.gauss() * sigma;
        const double im = noise.gauss() * sigma;
        v += std::complex<double>(re, im);
      }
      const double sign = table[k].a > table[k].b ? -1.0 : 1.0;
      // item k + 2: word 1 = imaginary part times the layout's sign, word 2 = real part
      items[2 * (k + 1)] = static_cast<float>(sign * v.imag());
      items[2 * (k + 1) + 1] = static_cast<float>(v.real());
    }
    put_bytes(arch, items.data(), items.size() * sizeof(float));
  }
  if (static_cast<std::uint64_t>(s.truncate) > arch.size())
    talva::stop("talvasim: truncate exceeds the archive's size");
  arch.cut(static_cast<std::uint64_t>(s.truncate));
  if (truth_out != nullptr) {
    if (!drift.active()) drift.record(dump_jd(s, 0), g, truth);  // constant gains: one block
    for (const std::string& line : talva::calib::gains_table_lines(truth)) truth_out->line(line);
  }
  talva::stop_if_interrupted(": no file written");
  outputs.commit();
  return nbsln;
}

}  // namespace talva::talvasim
