// Per-antenna phase calibration file.
#include <algorithm>
#include <string>
#include <vector>

#include "calib/mdgain.h"
#include "util/constants.h"
#include "util/fmt.h"
#include "util/stop.h"
#include "util/textin.h"

namespace talva::calib {

namespace {
constexpr float kDegPerRad = talva::kTableDegPerRad;
constexpr std::size_t kRecordLength = 128;
}  // namespace

void load_phasecal_(const std::string& file, int nmax, std::span<float> phases, int& status, talva::Output& out) {
  status = 0;
  talva::TextInput in(talva::trim_right(file), "phase calibration");
  std::string title;
  if (!in.next_line(title, kRecordLength)) in.fail_file("empty file; line 1 must describe the data");
  out.line("Phase cal data derived from " + talva::trim_right(title));

  // The data lines are read whole first, so that a missing phase on the
  // last line can end the file normally, as an end of input would.
  struct Line {
    std::string text;
    int number;
  };
  std::vector<Line> lines;
  std::string text;
  while (in.next_line(text)) lines.push_back({text, in.line_number()});
  std::size_t last = lines.size();
  while (last > 0 && talva::FreeFormat(lines[last - 1].text, nullptr).at_end()) --last;

  const int limit = std::min(nmax, static_cast<int>(phases.size()));
  for (std::size_t k = 0; k < last; ++k) {
    talva::FreeFormat values(lines[k].text, nullptr);
    if (values.at_end()) continue;  // blank lines are skipped
    auto fail = [&](const std::string& why) {
      talva::stop(in.path() + ", line " + std::to_string(lines[k].number) + ": " + why);
    };
    std::int32_t a = 0;
    if (!talva::parse_int32(values.token(), a)) fail("expected an integer (antenna number)");
    if (k + 1 == last && values.at_end()) break;  // a missing number at the end of the file ends it
    float p = 0.0f;
    const std::string_view tok = values.token();
    if (!talva::parse_real32(tok, p)) fail("expected a number (phase, degrees), found '" + std::string(tok) + "'");
    p = p / kDegPerRad;
    if (a > limit || a < 1) {
      talva::stop("Invalid ant/phs at record " + talva::fmt_i(a, 4) + talva::fmt_f(p, 10, 1) +
                  talva::fmt_i(lines[k].number, 4));
    }
    phases[static_cast<std::size_t>(a - 1)] = p;
  }
}

}  // namespace talva::calib
