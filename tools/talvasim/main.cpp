// talvasim: writes a simulated correlator archive and its layout file.
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "miriad/key.h"
#include "realtime.h"
#include "simulate.h"
#include "util/stop.h"

int main(int argc, char** argv) {
  return talva::run_main([&] {
    talvasim::Settings s;
    miriad::keyini(argc, argv,
                   "writes a simulated correlator archive of point sources seen through antenna gains, and its "
                   "layout file",
                   "archive=cal.arc layout=lay.txt ndumps=50 seed=4 flux=10 noise=0.1");
    miriad::keya("archive", s.archive, "", miriad::required("the archive to write"));
    miriad::keya("layout", s.layout, "", miriad::required("the correlator layout file to write"));
    miriad::keyi("ndumps", s.ndumps, 10, "number of dumps");
    miriad::keyi("nant", s.nant, 96, "per-antenna records per dump (the header's nant), 0-100");
    miriad::keyd("flux", s.flux, 1.0, "flux of a source at the phase centre (without sources), correlator units");
    while (miriad::keyprsnt("sources", "point sources: offset east, offset north (arcminutes), flux; repeated")) {
      std::array<double, 3> src{};
      miriad::keyd("sources", src[0], 0.0);
      miriad::keyd("sources", src[1], 0.0);
      miriad::keyd("sources", src[2], 0.0);
      s.sources.push_back(src);
    }
    miriad::keya("gains", s.gains, "", "gains file to apply (as gainsolve writes it); none: seeded random gains");
    miriad::keyd("gainamp", s.gainamp, 0.1, "random gain amplitude 1 + A x uniform(-1, 1)");
    miriad::keyd("gainphs", s.gainphs, 180.0, "random gain phase uniform(-P, P), degrees");
    miriad::keya("gainsout", s.gainsout, "", "file to write the gains used to (i (re,im) amplitude phase)");
    miriad::keyd("noise", s.noise, 0.0, "Gaussian sigma added to the real and imaginary parts, correlator units");
    int seed = 1;
    miriad::keyi("seed", seed, 1, "seed of the random gains and of the noise");
    s.seed = static_cast<std::uint64_t>(static_cast<std::int64_t>(seed));
    const bool when_given = miriad::keyprsnt("date") || miriad::keyprsnt("time");
    miriad::keyi("date", s.date[0], 2006, "date of the first dump: year, month, day");
    miriad::keyi("date", s.date[1], 1);
    miriad::keyi("date", s.date[2], 1);
    miriad::keyi("time", s.time[0], 12, "time of the first dump: hours, minutes, seconds");
    miriad::keyi("time", s.time[1], 0);
    miriad::keyi("time", s.time[2], 0);
    miriad::keyd("dt", s.dt, 1.0, "time per dump, seconds");
    miriad::keyd("ra", s.ra, 0.0, "right ascension, hours");
    miriad::keyd("dec", s.dec, -45.0, "declination, degrees");
    // No default value: without ha= the hour angle follows from the time, so
    // the help lists "ha=" blank with how the hour angle is then found.
    s.ha_given = miriad::keyprsnt(
        "ha", "hour angle of the first dump, hours (not given: from date, time, ra and the site's longitude)");
    if (s.ha_given) miriad::keyd("ha", s.ha, 0.0);
    miriad::keyd("mdtilt", s.mdtilt, 0.0, "meridian-distance tilt of the first dump, degrees");
    miriad::keyd("mdrate", s.mdrate, 0.0, "added to the MD tilt per dump, degrees");
    miriad::keyd("tilts", s.tilts[0], 0.0, "north-south, East-arm and West-arm tilts, degrees");
    miriad::keyd("tilts", s.tilts[1], 0.0);
    miriad::keyd("tilts", s.tilts[2], 0.0);
    miriad::keyd("temp", s.temp, 20.0, "temperature, degrees Celsius");
    miriad::keyi("mode", s.mode, 1, "correlator mode byte of the dump headers, -128..255");
    miriad::keyi("talvatags", s.talvatags, 0, "every K-th dump tagged TALVA, without a header block (0: none)");
    miriad::keyi("hdrlen", s.hdrlen, 96, "dump header length, bytes (84-400)");
    int cut = 0;
    miriad::keyi("truncate", cut, 0, "bytes cut off the end of the archive (a damaged last dump)");
    s.truncate = cut;
    miriad::keya("pairs", s.pairs, "all", "all: the 4560 pairs of antennas 1-96; ew: the 2304 East-West pairs");
    miriad::keyi("nprod", s.nprod, 0, "product-table entries, padded with autocorrelations (0: pairs + 1)");
    miriad::keyd("gaindrift", s.gaindrift[0], 0.0,
                 "rms drift of each gain over hours: phase in degrees, amplitude fraction");
    miriad::keyd("gaindrift", s.gaindrift[1], 0.0);
    std::vector<std::string> bad;
    while (miriad::keyprsnt("badants", "bad antennas: dead or noisy, then antenna numbers (dead,5,noisy,60)")) {
      std::string item;
      miriad::keya("badants", item, "");
      bad.push_back(item);
    }
    s.badants = talvasim::parse_bad_antennas(bad);
    miriad::keya("truegains", s.truegains, "",
                 "gains table of every dump's true gains to write (gainsolve's gnstable form)");
    bool realtime = false;
    talvasim::Realtime rt;
    miriad::keyl("realtime", realtime, false,
                 "append the dumps as a correlator does: one per dump time, in pieces (date, time: now by default)");
    miriad::keyd("speed", rt.speed, 1.0, "with realtime: dumps come this many times faster than dt");
    miriad::keyi("pieces", rt.pieces, 4, "with realtime: each dump written in 1 to this many pieces");
    miriad::keyfin();
    if (realtime && !when_given) talvasim::start_now(s);

    const int nbsln = realtime ? talvasim::simulate_realtime(s, rt) : talvasim::simulate(s);
    std::printf("talvasim: %d dumps of %d products written to %s, layout %s\n", s.ndumps, nbsln, s.archive.c_str(),
                s.layout.c_str());
    return 0;
  });
}
