#pragma once
// The archive simulator's core: writes a correlator layout file and an
// archive of a point source seen through antenna gains, with seeded noise.
// The same settings give the same bytes.
#include <array>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "drift.h"

namespace talva::talvasim {

inline constexpr int kAntennas = 96;
inline constexpr double kSiderealRate = 7.2921159e-5;  ///< radians of hour angle per second

struct Settings {
  std::string archive;  ///< archive to write (required)
  std::string layout;   ///< layout file to write (required)
  int ndumps = 10;
  int nant = 96;      ///< per-antenna records per dump (0..100)
  double flux = 1.0;  ///< point-source flux at the phase centre (when `sources` is empty)
  /// Point sources (offset east, offset north in arcminutes: direction
  /// cosines about the J2000 phase centre; flux); non-empty: they replace `flux`.
  std::vector<std::array<double, 3>> sources;
  std::string gains;     ///< gains file to read; empty: seeded random gains
  double gainamp = 0.1;  ///< random gain amplitude 1 + gainamp * uniform(-1, 1)
  double gainphs = 180;  ///< random gain phase uniform(-gainphs, gainphs), degrees
  std::string gainsout;  ///< gains file to write (empty: none)
  double noise = 0;      ///< Gaussian sigma per real and imaginary part
  std::uint64_t seed = 1;
  std::array<int, 3> date{2006, 1, 1};  ///< year, month, day of the first dump
  std::array<int, 3> time{12, 0, 0};    ///< hours, minutes, seconds of the first dump
  double dt = 1;                        ///< seconds per dump
  double ra = 0;                        ///< hours
  double dec = -45;                     ///< degrees
  double ha = 0;                        ///< hours, first dump; advances at the sidereal rate (with `ha_given`)
  bool ha_given = false;  ///< false: the hour angle is the local apparent sidereal time minus the apparent RA
  double mdtilt = 0;      ///< degrees, first dump (written as its sine)
  double mdrate = 0;      ///< degrees added per dump
  std::array<double, 3> tilts{0, 0, 0};   ///< north-south, East arm, West arm tilts, degrees
  double temp = 20;                       ///< degrees Celsius
  int mode = 1;                           ///< mode byte (-128..255)
  int talvatags = 0;                      ///< every K-th dump carries the tag "TALVA" (0: none)
  int hdrlen = 96;                        ///< header block length, 84..400
  long long truncate = 0;                 ///< bytes cut off the end of the archive
  std::string pairs = "all";              ///< "all" cross pairs of 1..96, or "ew": East-West pairs only
  int nprod = 0;                          ///< product-table entries in all (0: pairs + 1); pads with autocorrelations
  std::array<double, 2> gaindrift{0, 0};  ///< rms gain drift: phase in degrees, amplitude fraction (drift.h)
  std::vector<BadAntenna> badants;        ///< dead or noisy antennas (drift.h)
  std::string truegains;  ///< time-variable gains table of every dump's true gains to write (empty: none)
};

/// One product of the table: the antennas in the order the correlator forms them.
struct Product {
  int a = 0, b = 0;
};

/// The product table in correlator order: the cross pairs (every 7th line
/// with the larger antenna first), autocorrelation padding up to `nprod`, and
/// the dummy "1 1" last, whose item lies past the dump.
std::vector<Product> product_table(const Settings& s);

/// Complex gains of antennas 1..96 ([i-1]): read from s.gains, or seeded random.
std::vector<std::complex<float>> antenna_gains(const Settings& s);

/// A portable generator (xoshiro256** seeded through splitmix64): the same
/// seed gives the same numbers on every platform and C library.
class Random {
 public:
  explicit Random(std::uint64_t seed);
  std::uint64_t next();
  /// Uniform in [0, 1).
  double uniform();
  /// Standard normal deviate (Box-Muller, both values of a pair used).
  double gauss();

 private:
  std::array<std::uint64_t, 4> s_{};
  bool have_spare_ = false;
  double spare_ = 0;
};

/// Calendar arithmetic: days since 1970-01-01 and back (proleptic Gregorian).
long long days_from_civil(int y, int m, int d);
void civil_from_days(long long z, int& y, int& m, int& d);

/// UTC Julian date of dump `n` (0-based): its header date and time (whole seconds).
double dump_jd(const Settings& s, int n);

/// Hour angle of dump `n` (radians, in [-pi, pi)): `ha` advancing at the
/// sidereal rate when given, else the local apparent sidereal time at the
/// site minus the apparent right ascension of date of the phase centre.
double hour_angle(const Settings& s, int n);

/// East-west position of antenna 1..96 in metres, East positive: the East
/// arm, antennas 1..48, on the positive side (the archive's convention).
double east_position(int ant);

/// The header block of dump `n` (0-based), `s.hdrlen` bytes.
std::vector<std::uint8_t> header_block(const Settings& s, int n);

/// Checks the settings; a bad value stops the program with a message.
void check(const Settings& s);

/// Writes the layout file, the archive and (when asked) the gains file.
/// Returns the number of products in the table.
int simulate(const Settings& s);

}  // namespace talva::talvasim
