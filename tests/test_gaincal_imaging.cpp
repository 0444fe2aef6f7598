// Self-calibration that follows drifting gains, end to end: a calibrator,
// then a 12-hour target track whose gains drift; gainsolve solves the
// target interval by interval (redundant model referenced to the
// calibrator); talva2vis3 applies the table; WSClean images it. Against the
// calibrator's static gains the image must be cleaner.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/testsupport.h"

namespace {

using talva::test::RunResult;
using talva::test::TempDir;

using talva::test::on_path;

struct Image {
  double peak = 0, east = 0, north = 0, second_east = 0, second_north = 0, dr = 0;
  int peaks = 0;
};

Image image(const TempDir& dir, const std::string& name, const std::string& gains) {
  const std::string cwd = dir.path().string();
  const RunResult c =
      talva::test::run(talva::test::bin("talva2vis3"),
                       {"infile=target.arc", "corlfile=lay.txt", gains, "uvfile=" + name + ".uv",
                        "msfile=" + name + ".ms", "ra=5.5", "dec=-30", "unitx=17.68", "cgap=15.24", "device=/null"},
                       cwd);
  EXPECT_EQ(c.status, 0) << c.out << c.err;
  const RunResult w = talva::test::run(on_path("wsclean"),
                                       {"-quiet", "-name", name, "-size", "256", "256", "-scale", "15asec", "-niter",
                                        "2000", "-mgain", "0.8", "-auto-threshold", "3", "-no-dirty", name + ".ms"},
                                       cwd);
  EXPECT_EQ(w.status, 0) << w.out << w.err;
  const RunResult s = talva::test::run(talva::test::bin("skyimage"), {"in=" + name + "-image.fits", "npeaks=2"}, cwd);
  EXPECT_EQ(s.status, 0) << s.out << s.err;
  Image im;
  for (const auto& l : talva::test::lines(s.out)) {
    double f = 0, e = 0, n = 0;
    if (std::sscanf(l.c_str(), "peak %lf Jy/beam at %lf' east %lf' north", &f, &e, &n) == 3) {
      if (im.peaks++ == 0)
        im.peak = f, im.east = e, im.north = n;
      else
        im.second_east = e, im.second_north = n;
    }
    std::sscanf(l.c_str(), "rms %*f Jy/beam off the sources (beyond %*f pixels of each peak); dynamic range %lf",
                &im.dr);
  }
  return im;
}

TEST(GaincalImaging, PerIntervalSelfCalibrationCleansTheDriftingTrack) {
  TempDir dir;
  const std::string cwd = dir.path().string();
  const std::vector<std::string> common{"seed=11",  "gaindrift=20,0.1", "badants=dead,17,noisy,60",
                                        "ra=5.5",   "dec=-30",          "date=2006,3,5",
                                        "mdtilt=3", "layout=lay.txt"};
  auto sim = [&](std::vector<std::string> args) {
    args.insert(args.end(), common.begin(), common.end());
    const RunResult r = talva::test::run(talva::test::bin("talvasim"), args, cwd);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  };
  sim({"archive=cal.arc", "ndumps=30", "dt=10", "flux=10", "noise=0.2", "time=11,50,0"});
  sim({"archive=target.arc", "ndumps=144", "dt=300", "sources=0,0,2.5,20,15,1.0", "noise=0.05", "time=12,0,0"});
  const RunResult cal = talva::test::run(talva::test::bin("gainsolve"),
                                         {"infile=cal.arc", "corlfile=lay.txt", "gnsfile=cal.gains", "calflx=10"}, cwd);
  ASSERT_EQ(cal.status, 0) << cal.out << cal.err;
  const RunResult self =
      talva::test::run(talva::test::bin("gainsolve"),
                       {"infile=target.arc", "corlfile=lay.txt", "gnsfile=self.gains", "model=redundant", "interval=30",
                        "refgains=cal.gains", "gnstable=self.table"},
                       cwd);
  ASSERT_EQ(self.status, 0) << self.out << self.err;
  // both bad antennas named and left out (nearly) everywhere; with 5-minute
  // dumps the sky's change between dumps enters the noise estimate, so the
  // noisy antenna stands out less than on a calibrator
  for (const char* ant : {" antenna 17 flagged in %d of %d", " antenna 60 flagged in %d of %d"}) {
    int n = 0, of = 0;
    for (const auto& l : talva::test::lines(self.out))
      if (std::sscanf(l.c_str(), ant, &n, &of) == 2) break;
    EXPECT_EQ(of, 24) << ant << "\n" << self.out;
    EXPECT_GE(n, 20) << ant;
  }

  const Image stat = image(dir, "static", "gnsfile=cal.gains");
  const Image cald = image(dir, "self", "gnstable=self.table");
  ASSERT_EQ(cald.peaks, 2);
  constexpr double kPixel = 0.25;  // arcminutes
  EXPECT_NEAR(cald.east, 0.0, kPixel);
  EXPECT_NEAR(cald.north, 0.0, kPixel);
  EXPECT_NEAR(cald.second_east, 20.0, kPixel);
  EXPECT_NEAR(cald.second_north, 15.0, kPixel);
  EXPECT_NEAR(cald.peak, 2.5, 0.1 * 2.5);
  EXPECT_GT(cald.dr, 2.0 * stat.dr) << "self " << cald.dr << ", static " << stat.dr;
  RecordProperty("dynamic_range_self", std::to_string(cald.dr));
  RecordProperty("dynamic_range_static", std::to_string(stat.dr));
  // the dataset's history names the table
  EXPECT_NE(talva::test::read_file(dir.file("self.uv/history"))
                .find("gains interpolated in time from the gains table self.table"),
            std::string::npos);
}

}  // namespace
