#pragma once
// The converter driver shared by talva2vis3 and the legacy talva2vis.
//
// Data flow of one run (run_converter): keywords -> settings; the output
// names claimed; the phase centre; layout, rejection lists, MD table, the
// archive's file header, the calibration; the mode set-up -> an unpacker
// and its antenna positions; the sinks (MeasurementSet, uv dataset, (u, v)
// plot, debug table) begun; then for every dump in the range: the archive
// reader -> the Clock (hour angle, meridian distance, or the dump left out)
// -> MD gain -> Julian date -> the unpacker -> records -> the sinks.
//
// The legacy converter differs in what its ConverterModes object gives the
// driver: the phase centre (J2000 without an epoch keyword or precession),
// the calibration (a per-antenna phase table, or the phases of a gains
// table, instead of complex gains), the clock (hour angle and Julian date
// counted from start values instead of read from the dump headers; the
// meridian distance from find_tilt_md_, dumps outside the site limits
// skipped; no MD progress line), and its mode set-up and data unpackers. Its
// plot has no labels.
#include <array>
#include <complex>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "calib/gains_table.h"
#include "convert/record.h"
#include "convert/unpackers.h"
#include "util/output.h"

namespace talva::archive {
struct DumpHeader;
class UndatedDumps;
}  // namespace talva::archive
namespace talva::calib {
struct Site;
}  // namespace talva::calib

namespace talva::convert {

/// Keyword values of one run (lengths in metres, angles in degrees/hours, as given).
struct ConverterSettings {
  Flavour flavour = Flavour::Current;
  std::string infile, corlfile, gnsfile, phasefil, rejects, antrejct, uvfile;
  std::string gnstable;  ///< time-variable gains table (instead of gnsfile; talva2vis: of phasefil)
  std::array<int, 2> reclim{1, -1};
  double ra = 0.0, dec = -45.0;
  std::string epoch = "J2000.0 ";             ///< 8 characters (talva2vis3)
  double startha = -6.0, startmjd = 53974.0;  ///< talva2vis
  std::string skmode = "talva1a";
  std::string mdfile;
  bool mdcorr = false;
  float cgap = 25.0f, unitx = 17.6f, unity = 11.0f;
  int nunit = 88;
  std::array<float, 2> freq{843.0f, 3.0f};
  float dhr = 0.0f, ddec = 0.0f, tltmin = 15.0f, mdmax = 60.0f;
  bool dbgplt = false;
  int blen = 10;
  std::string device = "/xs";
  std::array<int, 2> nxy{1, 1};
  std::string options;  ///< "nat" in it: natural weighting; "interop": variables for pyuvdata and CASA
  float ampscale = 0.0f, srcang = 0.0f, noiselev = 0.0f;
  std::string msfile;  ///< MeasurementSet to write (empty: none)
};

/// Reads the keywords of the flavour in their order (keyini must have been
/// called), then closes keyword input.
ConverterSettings read_converter_keywords(Flavour flavour);

/// The phase centre of a run, J2000, radians.
struct PhaseCentre {
  double ra = 0, dec = 0;
};

/// What the data unpackers apply: complex gains (talva2vis3's gnsfile), a
/// gains table interpolated per dump (gnstable; talva2vis applies only the
/// phases of its gains) or a phase per antenna (talva2vis's phasefil).
struct Calibration {
  std::vector<std::complex<float>> gains = std::vector<std::complex<float>>(kGainsCapacity);
  std::vector<float> phases = std::vector<float>(kPhaseCapacity, 0.0f);
  std::optional<talva::calib::GainsTable> gains_table;
  std::string history_note;  ///< a line for the dataset's history (empty: none)
};

/// Places each dump read on the sky and in time: its hour angle and
/// meridian distance, and the Julian date of the records unpacked from it.
class Clock {
 public:
  virtual ~Clock() = default;
  /// Sets dump.ha and dump.md (radians) for the dump `record` (counted from
  /// 1) whose header is `header`; false: the dump is left out (said so on
  /// `out`, or counted).
  virtual bool place(int record, const talva::archive::DumpHeader& header, DumpContext& dump, talva::Output& out) = 0;
  /// Julian date of the records of the `np`-th dump unpacked, whose header is `header`.
  virtual double julian_date(int np, const talva::archive::DumpHeader& header) const = 0;
  /// The progress line after " np : " (none by default).
  virtual void progress(const DumpContext& /*dump*/, talva::Output& /*out*/) const {}
  /// The dumps left out for an impossible date or time in their header
  /// (none: the clock does not read the headers' dates).
  virtual const talva::archive::UndatedDumps* undated() const { return nullptr; }
  /// How many those are.
  int bad_time() const;
  /// Dumps left out for a damaged meridian distance (no MD gain to divide by).
  virtual int damaged_md() const { return 0; }
};

/// The converter's own choices behind the shared driver: the phase centre,
/// the calibration, the clock, the mode set-up and the data unpackers.
class ConverterModes {
 public:
  virtual ~ConverterModes() = default;
  /// The phase centre of the keywords (prints what it takes from them).
  virtual PhaseCentre phase_centre(const ConverterSettings& s, talva::Output& out) = 0;
  /// The gains, gains table or phases of the run; `nant`: antennas in the archive's header.
  virtual Calibration load_calibration(const ConverterSettings& s, int nant, talva::Output& out) = 0;
  /// The clock of the run's dumps (`dec`: the phase centre's declination, radians).
  virtual std::unique_ptr<Clock> clock(const ConverterSettings& s, const talva::calib::Site& site, float dec) = 0;
  /// Recognises the mode and lays it out (an unknown mode stops the program).
  virtual ModeLayout setup_mode(std::string_view mode, float unitx, int nunit, float cgap, bool natwt,
                                talva::Output& out) = 0;
  /// The unpacker of a data mode (talva1a or orvex, from in.layout).
  virtual std::unique_ptr<Unpacker> data_unpacker(const DataInputs& in) = 0;
};

/// talva2vis3's modes: the phase centre of any epoch, complex gains or a
/// gains table, hour angle, meridian distance and date from each dump's
/// header, setup_mode, the talva1a and orvex unpackers.
class CurrentModes final : public ConverterModes {
 public:
  PhaseCentre phase_centre(const ConverterSettings& s, talva::Output& out) override;
  Calibration load_calibration(const ConverterSettings& s, int nant, talva::Output& out) override;
  std::unique_ptr<Clock> clock(const ConverterSettings& s, const talva::calib::Site& site, float dec) override;
  ModeLayout setup_mode(std::string_view mode, float unitx, int nunit, float cgap, bool natwt,
                        talva::Output& out) override;
  std::unique_ptr<Unpacker> data_unpacker(const DataInputs& in) override;
};

/// The phase centre of ra (hours) and dec (degrees) as given, radians.
PhaseCentre phase_centre_as_given(const ConverterSettings& s);

/// Reads the gains table of gnstable= (antennas 1-96) and says so on `out`
/// (" gains table NAME: N intervals").
talva::calib::GainsTable load_gains_table(const std::string& path, talva::Output& out);

/// Whether the option text asks for the variables of other readers ("interop").
bool interop_requested(const std::string& options);

/// One conversion: set-up, dump loop, close, totals on `out`. Returns 0;
/// fatal conditions stop the program (talva::Stop). `extra` sinks (may be
/// empty) get the records after the dataset, the plot and the debug table.
int run_converter(const ConverterSettings& s, ConverterModes& modes, talva::Output& out,
                  std::span<RecordSink* const> extra = {});

}  // namespace talva::convert
