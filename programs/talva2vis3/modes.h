#pragma once
// Correlator modes: recognising the mode name, laying out the antenna
// positions and the unique-baseline table of the compressed modes.
// Lengths are in wavelengths.
#include <string>
#include <string_view>

/// Mode numbers (imode).
enum ModeNumber : int {
  kNoMode = 0,
  kTalva1a = 1,
  kTalva1b = 2,
  kTalva1c = 3,
  kTalva1d = 4,
  kTalva2a = 5,
  kTalva2b = 6,
  kTalva3a = 7,
  kTalva3b = 8,
  kOrvex = 9,
};

/// The mode value as the 20-character text the set-up works on (cut or blank-padded).
std::string mode_text20(std::string_view mode);

/// Mode number of the first name (in the order orvex, talva1a .. talva3b)
/// found as a substring of `mode`; kNoMode when none is.
int find_mode(std::string_view mode);

/// Lays out talva_common_ for mode `imode`: xpos, dx, nelem, and per mode
/// fanstep, nbase, cblen, bcode, nred. Sets nunit (orvex, talva1a) and nants.
/// Prints nothing. A nunit that is negative or needs more elements or unique
/// baselines than the tables hold stops the program with a message.
void lay_out_mode(int imode, float unitx, int& nunit, int& nants, float cgap);

/// Prints the antenna index: the antennas of the mode in ascending position.
void print_antenna_index(int imode);

/// Mode set-up of talva2vis3: recognises `mode` (an unknown one stops the
/// program with "unknown mode -: <mode>"), lays the mode out, prints
/// "talva1a++" and the positions for talva1a, then the antenna index.
void setup_mode(std::string_view mode, float unitx, int& nunit, int& nants, float cgap, int& imode);
