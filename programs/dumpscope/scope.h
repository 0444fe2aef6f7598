#pragma once
// The inspector's passes: the dump loop, the fringe model and corrections,
// the running mean, the statistics, the dump parameter block and the plots.
#include <complex>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "archive/archiv_util.h"
#include "array/layout.h"
#include "programs/dumpscope/options.h"
#include "util/constants.h"

namespace talva::dumpscope {

using talva::kDegPerRad;
inline constexpr float kOmega = 7.292124E-05f;                        ///< hour-angle step per record, radians
inline constexpr double kTwoPi = static_cast<double>(talva::kTwoPi);  ///< 2 pi of the fringe model (the float value)
using talva::kPi;
inline constexpr float kSiteLatitude = talva::kLatitude;  ///< radians
inline constexpr int kPasses = 44;                        ///< second bays paged through without "oneshot"
inline constexpr std::size_t kNameLength = 128;           ///< file names
inline constexpr std::size_t kDeviceLength = 80;          ///< plot device

/// The keywords, after the conversions made right after reading them
/// (angles in radians, r1 and navrg at least 1).
struct Settings {
  std::string infile;  ///< archive, without trailing blanks
  int r1 = 1;
  int r2 = -1;  ///< 1 or less: no upper limit
  int navrg = 1;
  bool mdcorr = false;
  std::string mdfile;
  float tltmin = 0.0f;
  float mdmax = 0.0f;
  bool phstrk = false;
  float dec = 0.0f;
  float ra = 0.0f;
  float startha = 0.0f;
  float phsoff = 0.0f;
  bool pltfrng = false;
  bool pltfft = false;
  std::string option = "ap(1e,1w)";
  bool oneshot = false;
  std::string device = "/xs";
  int nx = 1;
  int ny = 1;
  float scale = 1.0f;
  std::string corrfile = "../data/corr_layout.file";
  std::string layout_keyword = "corrfile";  ///< the keyword that named it (corrfile or corlfile)
  bool verbose = false;
};

/// Reads the keywords (MIRIAD keyword input) in their fixed order and converts them.
Settings read_settings();

/// The per-record arrays, entry i for record i + 1. They hold the records
/// of the longest pass so far (at most kMaxEntries) and start at zero;
/// an entry keeps its value from pass to pass unless a pass sets it (only
/// yp and zp are cleared at the start of a pass).
struct Records {
  std::vector<std::complex<float>> vsel;
  std::vector<float> phi;
  std::vector<float> mdval;
  std::vector<float> mdgn;
  std::vector<float> xp;
  std::vector<float> yp;
  std::vector<float> zp;
  /// Room for records 1..n in every array, new entries zero.
  void hold(int n);
};

/// The meridian-distance gain table (pairs md in degrees, gain).
struct MdTable {
  int count = 0;
  std::vector<float> table;
};

/// The fringe-model hour angles of records 1..n (radians) and their sines:
/// h starts at startha + r1 * omega and grows by omega per record, accumulated
/// in single precision (record i: startha + (r1 + i) * omega). The same in
/// every pass.
struct HourAngles {
  std::vector<float> h;
  std::vector<float> sin_h;
};
HourAngles hour_angles(const Settings& s, int n);

/// Fringe model and corrections of records 1..n: phi, and with "phstrk" the
/// rotation of vsel; with "mdcorr" mdval, mdgn and the division by the gain.
/// `md` is the meridian distance last computed (kept across records and passes).
void fringe_and_corrections(const Settings& s, float b, const MdTable& md_table, const HourAngles& angles, Records& rec,
                            int n, float& md);

/// Running mean of vsel over navrg records into xp (dump numbers), yp
/// (amplitude) and zp (phase, degrees).
void running_mean(Records& rec, int n, int navrg, int r1);

/// Mean and rms of the real parts, imaginary parts and moduli of vsel[0..n-1],
/// printed on standard output.
void get_stats_r_(int capacity, std::span<const std::complex<float>> vsel, int n);

/// The dump parameter block of dump number `rec`, from its decoded header
/// (one list-directed line each).
std::vector<std::string> dump_parameter_block(const talva::archive::DumpHeader& header, int rec);

/// What one read of the archive keeps for every pass: the output of the
/// dump loop (parameter blocks, progress dots, the reader's own lines), the
/// number of records stored and, per distinct selection, the summed
/// correlation of every record.
struct ArchivePass {
  std::string loop_output;
  int n = 0;
  std::vector<std::vector<std::int32_t>> selections;
  std::vector<std::vector<std::complex<float>>> sums;
};

/// Runs the dump loop over an opened archive (header read), printing what
/// the loop prints, and sums each selection per stored record.
void read_dumps(talva::archive::ArchiveReader& reader, const talva::array::c_layout_common_t& layout, int r1, int r2,
                ArchivePass& pass);

/// The option of pass i (1..kPasses): the decoded option with i as the
/// second bay (unchanged with `oneshot`), and whether the pass is made at
/// all. Only AP selects by the second bay: BS, BM and FX select the same
/// pairs in every pass.
bool pass_option(const OptionRecord& decoded, bool oneshot, int i, OptionRecord& opt);

/// Passes a run makes with the option `decoded`: one with `oneshot`, else
/// one per second bay 1..kPasses but a pass that would pair an antenna with itself.
int pass_count(const OptionRecord& decoded, bool oneshot);

/// The whole program after the keywords.
int run(const Settings& s);

}  // namespace talva::dumpscope
