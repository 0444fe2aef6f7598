// talvasim: writes a simulated correlator archive and its layout file.
#include <array>
#include <cstdio>

#include "miriad/key.h"
#include "simulate.h"
#include "util/stop.h"

int main(int argc, char** argv) {
  return talva::run_main([&] {
    talvasim::Settings s;
    miriad::keyini(argc, argv);
    miriad::keya("archive", s.archive, "");
    miriad::keya("layout", s.layout, "");
    miriad::keyi("ndumps", s.ndumps, 10);
    miriad::keyi("nant", s.nant, 96);
    miriad::keyd("flux", s.flux, 1.0);
    while (miriad::keyprsnt("sources")) {  // offset east, offset north (arcminutes), flux
      std::array<double, 3> src{};
      miriad::keyd("sources", src[0], 0.0);
      miriad::keyd("sources", src[1], 0.0);
      miriad::keyd("sources", src[2], 0.0);
      s.sources.push_back(src);
    }
    miriad::keya("gains", s.gains, "");
    miriad::keyd("gainamp", s.gainamp, 0.1);
    miriad::keyd("gainphs", s.gainphs, 180.0);
    miriad::keya("gainsout", s.gainsout, "");
    miriad::keyd("noise", s.noise, 0.0);
    int seed = 1;
    miriad::keyi("seed", seed, 1);
    s.seed = static_cast<std::uint64_t>(static_cast<std::int64_t>(seed));
    miriad::keyi("date", s.date[0], 2006);
    miriad::keyi("date", s.date[1], 1);
    miriad::keyi("date", s.date[2], 1);
    miriad::keyi("time", s.time[0], 12);
    miriad::keyi("time", s.time[1], 0);
    miriad::keyi("time", s.time[2], 0);
    miriad::keyd("dt", s.dt, 1.0);
    miriad::keyd("ra", s.ra, 0.0);
    miriad::keyd("dec", s.dec, -45.0);
    s.ha_given = miriad::keyprsnt("ha");
    miriad::keyd("ha", s.ha, 0.0);
    miriad::keyd("mdtilt", s.mdtilt, 0.0);
    miriad::keyd("mdrate", s.mdrate, 0.0);
    miriad::keyd("tilts", s.tilts[0], 0.0);
    miriad::keyd("tilts", s.tilts[1], 0.0);
    miriad::keyd("tilts", s.tilts[2], 0.0);
    miriad::keyd("temp", s.temp, 20.0);
    miriad::keyi("mode", s.mode, 1);
    miriad::keyi("talvatags", s.talvatags, 0);
    miriad::keyi("hdrlen", s.hdrlen, 96);
    int cut = 0;
    miriad::keyi("truncate", cut, 0);
    s.truncate = cut;
    miriad::keya("pairs", s.pairs, "all");
    miriad::keyi("nprod", s.nprod, 0);
    miriad::keyfin();

    const int nbsln = talvasim::simulate(s);
    std::printf("talvasim: %d dumps of %d products written to %s, layout %s\n", s.ndumps, nbsln, s.archive.c_str(),
                s.layout.c_str());
    return 0;
  });
}
