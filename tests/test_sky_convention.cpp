// One sky from the archive to every output. The archive is written here,
// byte by byte, from the correlator's convention alone: the pair oriented
// from antenna a to antenna b holds
//   g(a) conj(g(b)) sum F exp(-2 pi i (u l + v m + w (n - 1)))
// with (u, v, w) the projection of position(b) - position(a) and the East
// arm (antennas 1-48) at positive positions. Neither the simulator nor any
// writer of the project takes part in making it, so the converters cannot
// agree with a mirror of their own. Each MeasurementSet row and each uv
// record (as MIRIAD's own library reads it) must then carry the phase
// +2 pi (u l + v m + w (n - 1)) for its stored (u, v, w): the convention of
// both formats, uvw = position(antenna 2) - position(antenna 1) with
// data = sum F exp(+2 pi i (u l + v m + w (n - 1))). WSClean must image the
// source where it is.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "archive/fp.h"
#include "array/sky.h"
#include "convert/driver.h"
#include "convert/legacy_modes.h"
#include "msio/ms_reader.h"
#include "support/mirlib.h"
#include "test_conv_support.h"
#include "util/output.h"

using talva::archive::Byte_to_FP;
using talva::archive::FP_to_Byte;

using namespace talva::convert;

namespace {

using namespace conv_test;
using cdouble = std::complex<double>;
constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kWavelength = 0.356;  // metres: the array's baselines in wavelengths
constexpr double kSfreq = 0.843;       // GHz, the converters' default
constexpr double kRadPerArcmin = kPi / 10800.0;
constexpr double kDegPerRad = 57.2957763671875;  // the converters' keyword constant

// East-west position of antenna 1..96 in metres, East positive: bay b of the
// East arm is antenna b, of the West arm antenna 48 + b.
double position(int ant) {
  const int bay = ant > 48 ? ant - 48 : ant;
  return (17.68 * (bay - 1) + 16.46) * (ant > 48 ? -1.0 : 1.0);
}

// A gain per antenna, different in amplitude and phase.
cdouble gain(int ant) { return std::polar(1.0 + 0.004 * ant, 0.37 * ant); }

struct Dump {
  int year, month, day, hour, minute, second;
  double ha;  ///< radians
};

/// When and where the source is seen at a dump: the date and hour angle the
/// converter works with.
struct Seen {
  double jd, ha;
};

double julian_date(const Dump& d) {
  // days from 1970-01-01 (proleptic Gregorian), then JD
  int y = d.year - (d.month <= 2);
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (d.month + (d.month > 2 ? -3 : 9)) + 2) / 5 + d.day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long days = era * 146097L + doe - 719468L;
  return static_cast<double>(days) + 2440587.5 + (d.hour * 3600.0 + d.minute * 60.0 + d.second) / 86400.0;
}

// The observation: a J2000 phase centre and one source at offsets (l, m).
struct Sky {
  double ra, dec;     ///< phase centre, radians
  double l, m, flux;  ///< J2000 direction cosines about the centre
  talva::sky::Place source() const { return talva::sky::offset_position(l, m, ra, dec); }
};

// Phase of the source at a dump for an east-west baseline of one wavelength
// (east positive): the phase per wavelength of position(b) - position(a).
double phase_per_wavelength(const Sky& sky, double jd, double ha) {
  const talva::sky::Place centre = talva::sky::apparent_place(sky.ra, sky.dec, jd);
  const talva::sky::Place src = sky.source();
  const talva::sky::Place at = talva::sky::apparent_place(src.ra, src.dec, jd);
  const auto lmn = talva::sky::direction_cosines(at.ra, at.dec, centre.ra, centre.dec);
  const double u = std::cos(ha), v = std::sin(ha) * std::sin(centre.dec), w = -std::sin(ha) * std::cos(centre.dec);
  return u * lmn[0] + v * lmn[1] + w * (lmn[2] - 1.0);
}

void put(std::string& out, const void* p, std::size_t n) { out.append(static_cast<const char*>(p), n); }
void put_i32(std::string& out, std::int32_t v) { put(out, &v, 4); }

// Writes the archive and its layout file: every pair (i, j), i < j, of the
// correlator's antennas (all 96, or the 88 of orvex: bays 1-44 of each arm;
// every fifth layout line names the larger antenna first), one dummy entry
// last; 96 per-antenna records per dump. `gains`: the antennas' gains, else 1.
void write_archive(const std::string& archive, const std::string& layout, const Sky& sky,
                   const std::vector<Dump>& dumps, const std::vector<Seen>& seen, bool gains, bool all96) {
  auto used = [all96](int a) { return all96 || (a - 1) % 48 < 44; };
  struct Product {
    int a, b;  ///< as the correlator formed it
  };
  std::vector<Product> table;
  for (int i = 1; i < 96; ++i)
    for (int j = i + 1; j <= 96; ++j)
      if (used(i) && used(j)) table.push_back(table.size() % 5 == 4 ? Product{j, i} : Product{i, j});
  table.push_back({1, 1});
  std::string lay;
  for (const auto& p : table) lay += std::to_string(p.a) + " " + std::to_string(p.b) + "\n";
  talva::test::write_file(layout, lay);

  std::string out;
  put_i32(out, 96);
  put_i32(out, static_cast<std::int32_t>(table.size()));
  for (const auto& p : table) put_i32(out, 256 * std::max(p.a, p.b) + std::min(p.a, p.b));
  for (std::size_t n = 0; n < dumps.size(); ++n) {
    const Dump& d = dumps[n];
    char key[8] = {'T', 'C', 'C', 0, 0, 0, 0, 0};
    put(out, key, 8);
    put_i32(out, 84);
    std::array<std::uint8_t, 84> h{};
    h[16] = static_cast<std::uint8_t>(d.second);
    h[17] = static_cast<std::uint8_t>(d.minute);
    h[18] = static_cast<std::uint8_t>(d.hour);
    h[28] = static_cast<std::uint8_t>(d.day);
    h[29] = static_cast<std::uint8_t>(d.month);
    h[30] = static_cast<std::uint8_t>(d.year - 1900);
    FP_to_Byte(sky.ra, std::span<std::uint8_t, 4>(h.data() + 32, 4));
    FP_to_Byte(sky.dec, std::span<std::uint8_t, 4>(h.data() + 36, 4));
    FP_to_Byte(d.ha, std::span<std::uint8_t, 4>(h.data() + 48, 4));
    put(out, h.data(), h.size());
    out.append(96 * 24, '\0');
    // the phase of each pair at the hour angle the converter works with
    const double k = phase_per_wavelength(sky, seen[n].jd, seen[n].ha);
    std::vector<float> items(2 * table.size(), 0.0f);  // item 1 stays (0, 0)
    for (std::size_t e = 0; e + 1 < table.size(); ++e) {
      const int i = std::min(table[e].a, table[e].b), j = std::max(table[e].a, table[e].b);
      const double b = (position(j) - position(i)) / kWavelength;
      const cdouble g = gains ? gain(i) * std::conj(gain(j)) : cdouble(1.0);
      const cdouble v = g * sky.flux * std::polar(1.0, -kTwoPi * b * k);
      const double sign = table[e].a > table[e].b ? -1.0 : 1.0;
      items[2 * (e + 1)] = static_cast<float>(sign * v.imag());
      items[2 * (e + 1) + 1] = static_cast<float>(v.real());
    }
    put(out, items.data(), items.size() * sizeof(float));  // nbsln items: the last entry's lies past the dump
  }
  talva::test::write_file(archive, out);
}

void write_gains(const std::string& path) {
  std::string text;
  char line[96];
  for (int a = 1; a <= 96; ++a) {
    const cdouble g = gain(a);
    std::snprintf(line, sizeof line, " %d (%.9g,%.9g)\n", a, g.real(), g.imag());
    text += line;
  }
  talva::test::write_file(path, text);
}

// The hour angle (radians) the current converter takes from a header value.
double header_ha(double ha) {
  std::array<std::uint8_t, 4> b{};
  FP_to_Byte(ha, b);
  const auto hours = static_cast<float>(Byte_to_FP(b) * 12.0 / kPi);
  return static_cast<double>(hours / 3.8197f);
}

// Difference of the phase of `z` from `phase`, wrapped into (-pi, pi].
double phase_error(std::complex<float> z, double phase) { return std::arg(cdouble(z) * std::polar(1.0, -phase)); }

constexpr double kRa = 5.5 * 15.0 / kDegPerRad, kDec = -45.0 / kDegPerRad;
const Sky kSky{kRa, kDec, 20.0 * kRadPerArcmin, -15.0 * kRadPerArcmin, 1.0};

ConverterSettings settings(Flavour flavour, const std::string& mode, const talva::test::TempDir& dir) {
  ConverterSettings s;
  s.flavour = flavour;
  s.infile = dir.file("sky.arc");
  s.corlfile = dir.file("lay.txt");
  s.gnsfile = dir.file("sky.gains");
  s.skmode = mode;
  s.ra = 5.5;
  s.dec = -45.0;
  s.unitx = 17.68f;
  s.cgap = 15.24f;
  s.device = "/null";
  s.options = "interop";
  s.uvfile = dir.file("sky.uv");
  s.msfile = dir.file("sky.ms");
  return s;
}

// Every MeasurementSet row: the phase for its UVW at 843 MHz and the J2000
// offsets of the source; the amplitude the source's flux.
// `empty`: rows of spacings without a pair (0 + 0i).
void expect_ms_follows_the_sky(const std::string& path, const Sky& sky, std::size_t rows, std::size_t empty) {
  const talva::msio::Contents ms = talva::msio::read_ms(path);
  ASSERT_EQ(ms.rows, rows);
  const double n1 = std::sqrt(1.0 - sky.l * sky.l - sky.m * sky.m) - 1.0;
  const double per_metre = kSfreq / talva::sky::kMetresPerNanosecond;
  double worst = 0, total = 0;
  std::size_t zeros = 0;
  for (std::size_t k = 0; k < ms.rows; ++k) {
    if (ms.data[k] == std::complex<float>{}) {
      ++zeros;
      continue;
    }
    const auto& q = ms.uvw[k];
    const double phase = kTwoPi * per_metre * (q[0] * sky.l + q[1] * sky.m + q[2] * n1);
    const double e = std::abs(phase_error(ms.data[k], phase));
    worst = std::max(worst, e);
    total += std::abs(kTwoPi * per_metre * (q[0] * sky.l + q[1] * sky.m));
    EXPECT_NEAR(std::abs(ms.data[k]), sky.flux, 2e-3) << "row " << k;
  }
  EXPECT_EQ(zeros, empty);
  EXPECT_LT(worst, 0.02) << path;
  EXPECT_GT(total / static_cast<double>(ms.rows), 10.0);  // phases a mirror could not pass
}

// Every uv record as MIRIAD reads it: the phase for its stored (u, v, w)
// (the apparent frame of date with options=interop) and the apparent offsets.
void expect_uv_follows_the_sky(const std::string& path, const Sky& sky, std::size_t records, std::size_t empty) {
  talva::test::mir::Reader reader(path);
  talva::test::mir::Record rec;
  const talva::sky::Place src = sky.source();
  std::size_t n = 0, zeros = 0;
  double worst = 0;
  while (reader.next(rec)) {
    ASSERT_EQ(rec.data.size(), 1u);
    ++n;
    if (rec.data[0] == std::complex<float>{}) {
      ++zeros;
      continue;
    }
    const double jd = rec.preamble[3];
    const talva::sky::Place centre = talva::sky::apparent_place(sky.ra, sky.dec, jd);
    const talva::sky::Place at = talva::sky::apparent_place(src.ra, src.dec, jd);
    const auto lmn = talva::sky::direction_cosines(at.ra, at.dec, centre.ra, centre.dec);
    const double phase =
        kTwoPi * kSfreq * (rec.preamble[0] * lmn[0] + rec.preamble[1] * lmn[1] + rec.preamble[2] * (lmn[2] - 1.0));
    worst = std::max(worst, std::abs(phase_error(rec.data[0], phase)));
    EXPECT_NEAR(std::abs(rec.data[0]), sky.flux, 2e-3) << "record " << n;
  }
  EXPECT_FALSE(reader.refused()) << reader.fatal();
  EXPECT_EQ(n, records);
  EXPECT_EQ(zeros, empty);
  EXPECT_LT(worst, 0.02) << path;
}

// A few dumps at hour angles on both sides of the meridian, hours apart.
std::vector<Dump> few_dumps() {
  return {{2026, 3, 20, 1, 0, 0, -4.5 * kPi / 12.0},
          {2026, 3, 20, 3, 30, 0, -2.0 * kPi / 12.0},
          {2026, 3, 20, 5, 0, 0, -0.5 * kPi / 12.0},
          {2026, 3, 20, 6, 30, 0, 1.0 * kPi / 12.0},
          {2026, 3, 20, 10, 0, 0, 4.5 * kPi / 12.0}};
}

// As the current converter sees them: the header's date and hour angle.
std::vector<Seen> seen_in_headers(const std::vector<Dump>& dumps) {
  std::vector<Seen> seen;
  for (const auto& d : dumps) seen.push_back({julian_date(d), header_ha(d.ha)});
  return seen;
}

// talva2vis3, both data modes: every class of talva1a (pairs within each arm
// and across the gap), every spacing of orvex (across the gap).
TEST(SkyConvention, Talva2vis3RowsAndRecordsCarryTheArchivesSky) {
  // orvex: the correlator's 88 antennas; its spacing 1 has no pair of them
  struct Case {
    const char* mode;
    bool all96;
    std::size_t per_dump, empty_per_dump;
  };
  for (const Case c : {Case{"talva1a", true, 130, 0}, Case{"orvex", false, 88, 1}}) {
    SCOPED_TRACE(c.mode);
    talva::test::TempDir dir;
    const auto dumps = few_dumps();
    write_archive(dir.file("sky.arc"), dir.file("lay.txt"), kSky, dumps, seen_in_headers(dumps), true, c.all96);
    write_gains(dir.file("sky.gains"));
    CurrentModes modes;
    talva::StringOutput out;
    ASSERT_EQ(run_converter(settings(Flavour::Current, c.mode, dir), modes, out), 0) << out.text();
    const std::size_t n = dumps.size();
    expect_ms_follows_the_sky(dir.file("sky.ms"), kSky, c.per_dump * n, c.empty_per_dump * n);
    expect_uv_follows_the_sky(dir.file("sky.uv"), kSky, c.per_dump * n, c.empty_per_dump * n);
  }
}

// A talva2vis run over an archive of few_dumps()' headers, which it does not
// read: its hour angles and dates follow from startha (hours) and startmjd,
// one sidereal step and one integration time per dump; no phase correction
// (unit gains in the archive).
RunResult legacy_run(const talva::test::TempDir& dir, const char* mode, double start_ha, double start_mjd, bool all96,
                     talva::StringOutput& out) {
  const std::vector<Dump> headers = few_dumps();
  std::vector<Seen> seen;
  for (std::size_t n = 0; n < headers.size(); ++n) {
    const auto ha =
        static_cast<float>(start_ha * 15.0 / kDegPerRad + static_cast<double>(n) * static_cast<double>(7.2722054e-05f));
    seen.push_back({start_mjd + 2400000.5 + static_cast<double>(n + 1) * static_cast<double>(0.99999994f) / 86400.0,
                    static_cast<double>(ha)});
  }
  write_archive(dir.file("sky.arc"), dir.file("lay.txt"), kSky, headers, seen, false, all96);
  ConverterSettings s = settings(Flavour::Legacy, mode, dir);
  s.startha = start_ha;
  s.startmjd = start_mjd;
  s.phasefil = dir.file("zero.phases");
  talva::test::write_file(s.phasefil, "no correction\n 1 0.0\n");
  legacy::LegacyModes modes;
  RunResult r;
  r.status = run_converter(s, modes, out);
  return r;
}

// talva2vis's orvex: the same pairs and geometry as talva2vis3's.
TEST(SkyConvention, Talva2visOrvexRowsAndRecordsCarryTheArchivesSky) {
  talva::test::TempDir dir;
  talva::StringOutput out;
  ASSERT_EQ(legacy_run(dir, "orvex", -3.0, 61119.25, false, out).status, 0) << out.text();
  const std::size_t n = few_dumps().size();
  expect_ms_follows_the_sky(dir.file("sky.ms"), kSky, 88 * n, n);
  expect_uv_follows_the_sky(dir.file("sky.uv"), kSky, 88 * n, n);
}

// A 12-hour track (hour angle -6 h to +6 h, a dump every 5 minutes) of the
// archive's source, converted by talva2vis3 into a MeasurementSet alone and
// imaged by WSClean: the source where it is, with its flux.
TEST(SkyConvention, WscleanImagesTheArchivesSourceWhereItIs) {
  talva::test::TempDir dir;
  std::vector<Dump> dumps;
  for (int n = 0; n <= 144; ++n) {
    const int minutes = 5 * n;
    dumps.push_back({2026, 3, 20, minutes / 60, minutes % 60, 0, (-6.0 + minutes / 60.0 * 1.0027379) * kPi / 12.0});
  }
  write_archive(dir.file("sky.arc"), dir.file("lay.txt"), kSky, dumps, seen_in_headers(dumps), true, true);
  write_gains(dir.file("sky.gains"));
  ConverterSettings s = settings(Flavour::Current, "talva1a", dir);
  s.uvfile.clear();
  s.options.clear();
  CurrentModes modes;
  talva::StringOutput out;
  ASSERT_EQ(run_converter(s, modes, out), 0) << out.text();
  ASSERT_FALSE(std::filesystem::exists(dir.file("sky.uv")));
  const RunResult w = talva::test::run(talva::test::on_path("wsclean"),
                                       {"-quiet", "-name", "img", "-size", "256", "256", "-scale", "15asec", "-niter",
                                        "2000", "-mgain", "0.8", "-threshold", "0.002", "-no-dirty", "sky.ms"},
                                       dir.path().string());
  ASSERT_EQ(w.status, 0) << w.out << w.err;
  const RunResult p = talva::test::run(talva::test::bin("skyimage"), {"in=img-image.fits"}, dir.path().string());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  double flux = 0, east = 0, north = 0;
  bool found = false;
  for (const auto& l : talva::test::lines(p.out))
    found = found || std::sscanf(l.c_str(), "peak %lf Jy/beam at %lf' east %lf' north", &flux, &east, &north) == 3;
  ASSERT_TRUE(found) << p.out;
  constexpr double kArcsecPerRad = 180.0 * 3600.0 / kPi;
  const double offset = std::hypot(east * 60.0 - kSky.l * kArcsecPerRad, north * 60.0 - kSky.m * kArcsecPerRad);
  EXPECT_LT(offset, 15.0) << p.out;  // arcseconds
  EXPECT_NEAR(flux, kSky.flux, 0.05 * kSky.flux) << p.out;
  std::printf("WSClean: peak %.4f Jy/beam, %.1f\" from the source (%.3f' east, %.3f' north)\n", flux, offset, east,
              north);
}

}  // namespace

namespace {

// talva2vis's talva1a numbers its arms otherwise than the array (antenna 1
// at the far end of its arm), so its records average pairs of different
// spacings in the array; its MeasurementSet holds a row per pair instead,
// each with the pair's own uvw: the sky again.
TEST(SkyConvention, Talva2visTalva1aRowsArePairsThatCarryTheArchivesSky) {
  talva::test::TempDir dir;
  talva::StringOutput out;
  ASSERT_EQ(legacy_run(dir, "talva1a", 2.5, 61119.5, true, out).status, 0) << out.text();
  const std::vector<Dump> headers = few_dumps();
  // 43 + 42 ... within the arms (bays 1-44 and antennas 49-96), 44 + 43 ... across
  constexpr std::size_t kPairs = 2064 + 990;
  char rows[64];
  std::snprintf(rows, sizeof rows, " MeasurementSet rows : %8zu", kPairs * headers.size());
  EXPECT_TRUE(has_line(out.text(), rows)) << out.text();
  expect_ms_follows_the_sky(dir.file("sky.ms"), kSky, kPairs * headers.size(), 0);
  const talva::msio::Contents ms = talva::msio::read_ms(dir.file("sky.ms"));
  ASSERT_EQ(ms.antenna_positions.size(), 96u);
  // Rows of pairs: (1, 2) first, (49, 50) after the East arm's spacing 1.
  EXPECT_EQ(ms.antenna1[0], 0);
  EXPECT_EQ(ms.antenna2[0], 1);
  EXPECT_EQ(ms.antenna1[43], 48);
  EXPECT_EQ(ms.antenna2[43], 49);
}

}  // namespace
