// The complete geometry end to end: a simulated 12-hour track of two point
// sources (one at the phase centre, one 20' east and 15' north) converted
// into a MeasurementSet and an interop uv dataset. WSClean must image both
// sources at their J2000 positions with their fluxes; casacore must read the
// set back whole; the uv dataset's (u, v, w) must follow from antpos, lst
// and the apparent place in obsra/obsdec.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "array/sky.h"
#include "msio/ms_reader.h"
#include "msio/ms_writer.h"
#include "test_conv_support.h"
#include "util/stop.h"

namespace {

using namespace conv_test;

constexpr double kDegPerRad = 57.2957763671875;  // the converters' constant
constexpr double kRa = 5.5 * 15.0 / kDegPerRad, kDec = -45.0 / kDegPerRad;

// The observation shared by the tests: 360 dumps of 120 s (12 hours), no
// noise, the simulator's gains applied by the converter.
class TwelveHours : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    simulate(*dir_, {"ndumps=360", "dt=120", "date=2026,3,20", "time=0,0,0", "ra=5.5", "dec=-45",
                     "sources=0,0,1.5,20,15,1.0", "gainsout=true.gains", "seed=5"});
    convert_ = convert("talva2vis3", *dir_,
                       {"gnsfile=true.gains", "uvfile=obs.uv", "msfile=obs.ms", "options=interop", "ra=5.5", "dec=-45",
                        "unitx=17.68", "cgap=15.24"});
  }
  static void TearDownTestSuite() { dir_.reset(); }
  static std::unique_ptr<TempDir> dir_;
  static RunResult convert_;
};
std::unique_ptr<TempDir> TwelveHours::dir_;
RunResult TwelveHours::convert_;

struct Peak {
  double flux = 0, east = 0, north = 0;
};

std::vector<Peak> peaks(const std::string& out) {
  std::vector<Peak> list;
  for (const auto& l : talva::test::lines(out)) {
    Peak p;
    if (std::sscanf(l.c_str(), "peak %lf Jy/beam at %lf' east %lf' north", &p.flux, &p.east, &p.north) == 3)
      list.push_back(p);
  }
  return list;
}

TEST_F(TwelveHours, WscleanImagesBothSourcesAtTheirJ2000PositionsWithTheirFluxes) {
  ASSERT_EQ(convert_.status, 0) << convert_.out << convert_.err;
  // 15" pixels; the sine projection about the set's J2000 phase centre, so an
  // offset (east, north) in the image is the source's J2000 offset.
  const RunResult w = talva::test::run(talva::test::on_path("wsclean"),
                                       {"-quiet", "-name", "img", "-size", "256", "256", "-scale", "15asec", "-niter",
                                        "2000", "-mgain", "0.8", "-threshold", "0.002", "-no-dirty", "obs.ms"},
                                       dir_->path().string());
  ASSERT_EQ(w.status, 0) << w.out << w.err;
  const RunResult s =
      talva::test::run(talva::test::bin("skyimage"), {"in=img-image.fits", "npeaks=2"}, dir_->path().string());
  ASSERT_EQ(s.status, 0) << s.out << s.err;
  EXPECT_TRUE(has_line(s.out, "phase centre J2000  RA 05:30:00.001  Dec -45:00:00.01")) << s.out;
  const auto p = peaks(s.out);
  ASSERT_EQ(p.size(), 2u) << s.out;
  constexpr double kPixel = 0.25;  // arcminutes
  EXPECT_NEAR(p[0].east, 0.0, kPixel) << s.out;
  EXPECT_NEAR(p[0].north, 0.0, kPixel) << s.out;
  EXPECT_NEAR(p[0].flux, 1.5, 0.05 * 1.5) << s.out;
  EXPECT_NEAR(p[1].east, 20.0, kPixel) << s.out;
  EXPECT_NEAR(p[1].north, 15.0, kPixel) << s.out;
  EXPECT_NEAR(p[1].flux, 1.0, 0.05) << s.out;
}

TEST_F(TwelveHours, CasacoreReadsTheSetBackRowForRecord) {
  ASSERT_EQ(convert_.status, 0) << convert_.out << convert_.err;
  EXPECT_TRUE(has_line(convert_.out, " vis records written :    46800")) << convert_.out;
  EXPECT_TRUE(has_line(convert_.out, " MeasurementSet rows :    46800")) << convert_.out;
  const talva::msio::Contents ms = talva::msio::read_ms(dir_->file("obs.ms"));
  const auto uv = records(dir_->file("obs.uv"));
  ASSERT_EQ(ms.rows, uv.size());
  ASSERT_EQ(ms.rows, 46800u);  // 130 classes x 360 dumps
  for (const char* t :
       {"ANTENNA", "FIELD", "SPECTRAL_WINDOW", "POLARIZATION", "DATA_DESCRIPTION", "FEED", "OBSERVATION", "HISTORY"})
    EXPECT_NE(std::find(ms.subtables.begin(), ms.subtables.end(), t), ms.subtables.end()) << t;
  EXPECT_EQ(ms.data_shape, (std::vector<long>{1, 1}));
  EXPECT_EQ(ms.flag_shape, (std::vector<long>{1, 1}));
  EXPECT_EQ(ms.uvw_shape, (std::vector<long>{3}));
  EXPECT_EQ(ms.weight_shape, (std::vector<long>{1}));
  EXPECT_EQ(ms.sigma_shape, (std::vector<long>{1}));
  EXPECT_EQ(ms.field_name, "TALVA");
  EXPECT_NEAR(ms.phase_dir[0], kRa, 1e-12);
  EXPECT_NEAR(ms.phase_dir[1], kDec, 1e-12);
  EXPECT_EQ(ms.phase_dir_ref, "J2000");
  EXPECT_EQ(ms.corr_type, (std::vector<int>{1}));  // Stokes I
  EXPECT_EQ(ms.chan_freq, (std::vector<double>{843e6}));
  EXPECT_EQ(ms.chan_width, (std::vector<double>{3e6}));
  EXPECT_EQ(ms.telescope, "TALVA");
  EXPECT_EQ(ms.data_descriptions, 1u);
  EXPECT_NE(std::find(ms.history_cli.begin(), ms.history_cli.end(), "msfile=obs.ms"), ms.history_cli.end());
  // Pseudo-antennas 1..131 of talva1a, on the east-west line through the site.
  ASSERT_EQ(ms.antenna_names.size(), 131u);
  EXPECT_EQ(ms.feeds, 131u);
  EXPECT_EQ(ms.antenna_names[0], "A1");
  const auto site = talva::sky::itrf_position(0.0);
  for (int k = 0; k < 3; ++k)
    EXPECT_NEAR(ms.antenna_positions[0][static_cast<std::size_t>(k)], site[static_cast<std::size_t>(k)], 1e-6);
  EXPECT_NEAR(std::hypot(site[0], site[1], site[2]), 6.3715e6, 0.01e6);  // on the earth's surface

  auto dist = [](const std::array<double, 3>& a, const std::array<double, 3>& b) {
    return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
  };
  // Row for record: time, antennas, the same visibility (the set's sign of
  // the phase is the records'), and a J2000 UVW whose length is the baseline's
  // in the ANTENNA table and the record's (u, v, w) in metres.
  for (std::size_t k = 0; k < ms.rows; k += 97) {
    const auto& r = uv[k];
    EXPECT_NEAR(ms.time[k], (r.time - 2400000.5) * 86400.0, 1e-4) << k;
    EXPECT_EQ(ms.time_centroid[k], ms.time[k]);
    EXPECT_NEAR(ms.interval[k], 120.0, 1e-3);
    EXPECT_EQ(ms.exposure[k], ms.interval[k]);
    const long q = std::lround(r.baseline);
    EXPECT_EQ(ms.antenna1[k], (q - 65536) / 2048 - 1) << k;
    EXPECT_EQ(ms.antenna2[k], (q - 65536) % 2048 - 1) << k;
    EXPECT_EQ(ms.data[k], r.data.at(0)) << k;
    EXPECT_FALSE(ms.flag[k]);
    const double len = std::hypot(ms.uvw[k][0], ms.uvw[k][1], ms.uvw[k][2]);
    EXPECT_NEAR(len, std::hypot(r.u, r.v, r.w) * talva::sky::kMetresPerNanosecond, 1e-9 * len) << k;
    const double base = dist(ms.antenna_positions[static_cast<std::size_t>(ms.antenna1[k])],
                             ms.antenna_positions[static_cast<std::size_t>(ms.antenna2[k])]);
    EXPECT_NEAR(len, base, 1e-6 * base) << k;
  }
  EXPECT_NEAR(ms.time_range[0], ms.time.front() - 60.0, 1e-3);
  EXPECT_NEAR(ms.time_range[1], ms.time.back() + 60.0, 1e-3);
}

TEST_F(TwelveHours, InteropUvwFollowFromAntposLstAndTheApparentPlace) {
  ASSERT_EQ(convert_.status, 0) << convert_.out << convert_.err;
  talva::miriad::UvReader r(dir_->file("obs.uv"));
  talva::miriad::UvRecord rec;
  std::vector<double> antpos;
  double obsra = 0, obsdec = 0;
  std::size_t n = 0, checked = 0;
  double worst = 0;
  while (r.read(rec)) {
    if (r.records_read() == 1) {
      antpos = r.variable("antpos")->doubles();
      obsra = r.variable("obsra")->doubles().at(0);
      obsdec = r.variable("obsdec")->doubles().at(0);
      n = antpos.size() / 3;
      // ra/dec stay J2000; obsra/obsdec are the apparent place of date
      // (precession since J2000 alone moves it by minutes of arc by 2026).
      EXPECT_EQ(r.variable("ra")->doubles().at(0), kRa);
      EXPECT_EQ(r.variable("dec")->doubles().at(0), kDec);
      const auto app = talva::sky::apparent_place(kRa, kDec, rec.time);
      EXPECT_NEAR(obsra, app.ra, 1e-9);
      EXPECT_NEAR(obsdec, app.dec, 1e-9);
      EXPECT_GT(std::abs(obsra - kRa), 1e-3);
    }
    const double lst = r.variable("lst")->doubles().at(0);
    const long q = std::lround(rec.baseline);
    const std::size_t a = static_cast<std::size_t>((q - 65536) / 2048),
                      b = static_cast<std::size_t>((q - 65536) % 2048);
    ASSERT_LE(b, n);
    const double dy = antpos[n + b - 1] - antpos[n + a - 1];
    const talva::sky::Uvw e = talva::sky::east_west_uvw(lst - obsra, obsdec, dy);
    const double err = std::max({std::abs(rec.u - e.u), std::abs(rec.v - e.v), std::abs(rec.w - e.w)}) / std::abs(dy);
    worst = std::max(worst, err);
    ++checked;
  }
  EXPECT_EQ(checked, 46800u);
  EXPECT_LT(worst, 1e-4);
}

// Either output alone; an existing set is refused before anything is
// written, and of two runs writing one set the second to finish stops.
TEST(MeasurementSetOutput, AloneAndNeverOverAnExistingSet) {
  TempDir dir;
  simulate(dir, {"ndumps=2", "dt=60", "seed=2"});
  write_uniform_gains(dir.file("unit.gains"), {1.0f, 0.0f});
  const RunResult r = convert("talva2vis3", dir, {"gnsfile=unit.gains", "msfile=only.ms"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, " MeasurementSet rows :      260")) << r.out;
  EXPECT_EQ(talva::msio::read_ms(dir.file("only.ms")).rows, 260u);
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_NE(e.path().filename().string()[0], '.') << "left behind: " << e.path();

  const RunResult again = convert("talva2vis3", dir, {"gnsfile=unit.gains", "uvfile=new.uv", "msfile=only.ms"});
  EXPECT_EQ(again.status, 1);
  EXPECT_TRUE(has_line(again.out, "MeasurementSet only.ms exists; it is not replaced")) << again.out;
  EXPECT_FALSE(std::filesystem::exists(dir.file("new.uv")));
  EXPECT_EQ(talva::msio::read_ms(dir.file("only.ms")).rows, 260u);

  // Two writers on one name (both passed the check) and a private directory
  // a killed run left: the first to close makes the set, the second stops
  // and leaves nothing, the killed run's directory goes.
  std::filesystem::create_directory(dir.file(".two.ms.tmp-KilledRun012"));
  talva::test::write_file(dir.file(".two.ms.tmp-KilledRun012/table.dat"), "cut short");
  {
    talva::msio::Setup setup;
    setup.application = "test";
    talva::msio::Writer first(dir.file("two.ms"), setup), second(dir.file("two.ms"), setup);
    const std::vector<talva::msio::Antenna> antennas{{"A1", {}, 1.0}, {"A2", {}, 1.0}};
    first.set_antennas(antennas);
    second.set_antennas(antennas);
    first.add(talva::msio::Row{1.0, 0, 1, {}, {}, false});
    for (int k = 0; k < 2; ++k) second.add(talva::msio::Row{2.0, 0, 1, {}, {}, false});
    first.close();
    EXPECT_THROW(second.close(), talva::Stop);
  }
  EXPECT_EQ(talva::msio::read_ms(dir.file("two.ms")).rows, 1u);
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_NE(e.path().filename().string()[0], '.') << "left behind: " << e.path();

  // The legacy converter writes one too (orvex: 88 records a dump, antennas up to 92).
  talva::test::write_file(dir.file("zero.pha"), "no phase corrections\n");
  const RunResult legacy =
      convert("talva2vis", dir, {"phasefil=zero.pha", "skmode=orvex", "uvfile=old.uv", "msfile=old.ms"});
  ASSERT_EQ(legacy.status, 0) << legacy.out << legacy.err;
  const talva::msio::Contents old = talva::msio::read_ms(dir.file("old.ms"));
  EXPECT_EQ(old.rows, 176u);
  EXPECT_EQ(old.antenna_names.size(), 92u);
  EXPECT_EQ(records(dir.file("old.uv")).size(), 176u);

  // A program without its writer module stops naming the module's file and
  // writes neither output; without msfile= it does not need the module.
  const std::filesystem::path alone = dir.path() / "alone" / "bin";
  std::filesystem::create_directories(alone);
  std::filesystem::copy_file(talva::test::bin("talva2vis3"), alone / "talva2vis3");
  const std::string module = (dir.path() / "alone" / "lib" / "talva" / "libtalva_ms_writer.so").string();
  std::vector<std::string> args{"infile=a.arc", "corlfile=lay.txt", "device=/null", "gnsfile=unit.gains"};
  args.insert(args.end(), {"uvfile=lost.uv", "msfile=lost.ms"});
  const RunResult lost = talva::test::run((alone / "talva2vis3").string(), args, dir.path().string());
  EXPECT_EQ(lost.status, 1);
  EXPECT_NE(lost.out.find("cannot load the MeasurementSet writer " + module + ": "), std::string::npos) << lost.out;
  EXPECT_FALSE(std::filesystem::exists(dir.file("lost.uv")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("lost.ms")) || std::filesystem::exists(dir.file("lost.ms.part")));
  args.pop_back();
  EXPECT_EQ(talva::test::run((alone / "talva2vis3").string(), args, dir.path().string()).status, 0);
}

}  // namespace

// The kept sines and cosines give east_west_uvw's values to the bit, for
// a new hour angle, a new declination, and both again after another.
TEST(EastWestUvw, TheSameValuesAsEastWestUvw) {
  talva::sky::EastWestUvw kept;
  const std::vector<std::array<double, 3>> calls = {{0.3, -0.7, 120.0}, {0.3, -0.7, -35.5}, {0.31, -0.7, 120.0},
                                                    {0.31, 0.2, 120.0}, {0.3, -0.7, 7.25},  {-2.9, -0.7, 1e4},
                                                    {-2.9, -0.7, 0.0},  {0.0, 0.0, 50.0}};
  for (const auto& [ha, dec, b] : calls) {
    const talva::sky::Uvw want = talva::sky::east_west_uvw(ha, dec, b), got = kept(ha, dec, b);
    EXPECT_EQ(got.u, want.u) << ha << " " << dec << " " << b;
    EXPECT_EQ(got.v, want.v) << ha << " " << dec << " " << b;
    EXPECT_EQ(got.w, want.w) << ha << " " << dec << " " << b;
  }
}
