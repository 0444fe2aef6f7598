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
    talva::talvasim::Settings s;
    talva::miriad::keyini(argc, argv,
                          "writes a simulated correlator archive of point sources seen through antenna gains, and its "
                          "layout file",
                          "archive=cal.arc layout=lay.txt ndumps=50 seed=4 flux=10 noise=0.1");
    talva::miriad::keya("archive", s.archive, "", talva::miriad::required("the archive to write"));
    talva::miriad::keya("layout", s.layout, "", talva::miriad::required("the correlator layout file to write"));
    talva::miriad::keyi("ndumps", s.ndumps, 10, "number of dumps");
    talva::miriad::keyi("nant", s.nant, 96, "per-antenna records per dump (the header's nant), 0-100");
    talva::miriad::keyd("flux", s.flux, 1.0,
                        "flux of a source at the phase centre (without sources), correlator units");
    while (
        talva::miriad::keyprsnt("sources", "point sources: offset east, offset north (arcminutes), flux; repeated")) {
      std::array<double, 3> src{};
      talva::miriad::keyd("sources", src[0], 0.0);
      talva::miriad::keyd("sources", src[1], 0.0);
      talva::miriad::keyd("sources", src[2], 0.0);
      s.sources.push_back(src);
    }
    talva::miriad::keya("gains", s.gains, "",
                        "gains file to apply (as gainsolve writes it); none: seeded random gains");
    talva::miriad::keyd("gainamp", s.gainamp, 0.1, "random gain amplitude 1 + A x uniform(-1, 1)");
    talva::miriad::keyd("gainphs", s.gainphs, 180.0, "random gain phase uniform(-P, P), degrees");
    talva::miriad::keya("gainsout", s.gainsout, "", "file to write the gains used to (i (re,im) amplitude phase)");
    talva::miriad::keyd("noise", s.noise, 0.0,
                        "Gaussian sigma added to the real and imaginary parts, correlator units");
    int seed = 1;
    talva::miriad::keyi("seed", seed, 1, "seed of the random gains and of the noise");
    s.seed = static_cast<std::uint64_t>(static_cast<std::int64_t>(seed));
    const bool when_given = talva::miriad::keyprsnt("date") || talva::miriad::keyprsnt("time");
    talva::miriad::keyi("date", s.date[0], 2006, "date of the first dump: year, month, day");
    talva::miriad::keyi("date", s.date[1], 1);
    talva::miriad::keyi("date", s.date[2], 1);
    talva::miriad::keyi("time", s.time[0], 12, "time of the first dump: hours, minutes, seconds");
    talva::miriad::keyi("time", s.time[1], 0);
    talva::miriad::keyi("time", s.time[2], 0);
    talva::miriad::keyd("dt", s.dt, 1.0, "time per dump, seconds");
    talva::miriad::keyd("ra", s.ra, 0.0, "right ascension, hours");
    talva::miriad::keyd("dec", s.dec, -45.0, "declination, degrees");
    // No default value: without ha= the hour angle follows from the time, so
    // the help lists "ha=" blank with how the hour angle is then found.
    s.ha_given = talva::miriad::keyprsnt(
        "ha", "hour angle of the first dump, hours (not given: from date, time, ra and the site's longitude)");
    if (s.ha_given) talva::miriad::keyd("ha", s.ha, 0.0);
    talva::miriad::keyd("mdtilt", s.mdtilt, 0.0, "meridian-distance tilt of the first dump, degrees");
    talva::miriad::keyd("mdrate", s.mdrate, 0.0, "added to the MD tilt per dump, degrees");
    talva::miriad::keyd("tilts", s.tilts[0], 0.0, "north-south, East-arm and West-arm tilts, degrees");
    talva::miriad::keyd("tilts", s.tilts[1], 0.0);
    talva::miriad::keyd("tilts", s.tilts[2], 0.0);
    talva::miriad::keyd("temp", s.temp, 20.0, "temperature, degrees Celsius");
    talva::miriad::keyi("mode", s.mode, 1, "correlator mode byte of the dump headers, -128..255");
    talva::miriad::keyi("talvatags", s.talvatags, 0, "every K-th dump tagged TALVA, without a header block (0: none)");
    talva::miriad::keyi("hdrlen", s.hdrlen, 96, "dump header length, bytes (84-400)");
    int cut = 0;
    talva::miriad::keyi("truncate", cut, 0, "bytes cut off the end of the archive (a damaged last dump)");
    s.truncate = cut;
    talva::miriad::keya("pairs", s.pairs, "all", "all: the 4560 pairs of antennas 1-96; ew: the 2304 East-West pairs");
    talva::miriad::keyi("nprod", s.nprod, 0, "product-table entries, padded with autocorrelations (0: pairs + 1)");
    talva::miriad::keyd("gaindrift", s.gaindrift[0], 0.0,
                        "rms drift of each gain over hours: phase in degrees, amplitude fraction");
    talva::miriad::keyd("gaindrift", s.gaindrift[1], 0.0);
    std::vector<std::string> bad;
    while (talva::miriad::keyprsnt("badants", "bad antennas: dead or noisy, then antenna numbers (dead,5,noisy,60)")) {
      std::string item;
      talva::miriad::keya("badants", item, "");
      bad.push_back(item);
    }
    s.badants = talva::talvasim::parse_bad_antennas(bad);
    talva::miriad::keya("truegains", s.truegains, "",
                        "gains table of every dump's true gains to write (gainsolve's gnstable form)");
    bool realtime = false;
    talva::talvasim::Realtime rt;
    talva::miriad::keyl(
        "realtime", realtime, false,
        "append the dumps as a correlator does: one per dump time, in pieces (date, time: now by default)");
    talva::miriad::keyd("speed", rt.speed, 1.0, "with realtime: dumps come this many times faster than dt");
    talva::miriad::keyi("pieces", rt.pieces, 4, "with realtime: each dump written in 1 to this many pieces");
    talva::miriad::keyfin();
    if (realtime && !when_given) talva::talvasim::start_now(s);

    const int nbsln = realtime ? talva::talvasim::simulate_realtime(s, rt) : talva::talvasim::simulate(s);
    std::printf("talvasim: %d dumps of %d products written to %s, layout %s\n", s.ndumps, nbsln, s.archive.c_str(),
                s.layout.c_str());
    return 0;
  });
}
