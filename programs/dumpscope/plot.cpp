#include "programs/dumpscope/plot.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "util/fmt.h"
#include "util/pgplot.h"
#include "util/plot_file.h"
#include "util/plotdev.h"

namespace pg = talva::pgplot;

namespace talva::dumpscope {

namespace {

// Panel margins, in character heights: room for the numbers and the label
// of each axis (the x label 3.2 heights below the box, the y label 2.2 left
// of it) and for the title (2 heights above the box).
constexpr float kMarginLeft = 4.0f;
constexpr float kMarginRight = 1.5f;
constexpr float kMarginBottom = 4.5f;
constexpr float kMarginTop = 3.2f;
// The margins may take at most this fraction of a panel's width or height;
// beyond it the character height is reduced.
constexpr float kMaxMarginFraction = 0.45f;
constexpr float kMinCharHeight = 0.3f;
// A label or title may take at most this fraction of the panel's side.
constexpr float kMaxTextFraction = 0.96f;

}  // namespace

std::array<PanelText, 4> pass_panel_texts(const std::string& infile, const std::string& option_upper, int bay2,
                                          bool mdcorr) {
  const std::string x = "dump number (rec #)";
  const std::string not_computed = mdcorr ? "" : "not computed: mdcorr=f";
  return {{
      {x, "md (degrees)", "meridian distance", not_computed},
      {x, "mdgain (factor)", "meridian distance gain", not_computed},
      {x, "amplitude (correlator units)", " AMP - " + infile, ""},
      {x, "phase (degrees)", " PHASE - " + option_upper + "  bay2 : " + talva::fmt_i(bay2, 3), ""},
  }};
}

Plotter::Plotter(const std::string& device_keyword, int nx, int ny) : nx_(std::max(nx, 1)), ny_(std::max(ny, 1)) {
  const std::optional<std::string> device = talva::choose_plot_device(device_keyword, stdin, [] { pg::ldev(); });
  // The null device ("/null", "/NULL") draws nothing: the plot is not opened
  // at all, which leaves every printed line as it is and skips the drawing work.
  if (!device || talva::null_plot_device(*device)) return;
  if (const std::string warning = talva::no_display_warning(*device); !warning.empty()) {
    talva::put_line(warning);
    return;
  }
  std::string problem;
  files_ = std::make_unique<talva::PlotFiles>(*device, problem);
  open_ = !files_->device().empty() && pg::beg(0, files_->device().c_str(), nx_, ny_) == 1;
  if (!open_) {
    talva::put_line(" cannot open plot device " + *device + (problem.empty() ? "" : " (" + problem + ")") +
                    ": no plots are drawn");
    files_.reset();
  }
}

Plotter::~Plotter() {
  // Not ended by the run (a stop on the way): the pages drawn so far go.
  if (open_) pg::end();
  open_ = false;
}

void Plotter::char_size(float& xch, float& ych) const {
  // The plot library gives character sizes in units of the whole page, while
  // viewports are set in units of the panel.
  pg::qcs(0, &xch, &ych);
  xch *= static_cast<float>(nx_);
  ych *= static_cast<float>(ny_);
}

void Plotter::env(float xmin, float xmax, float ymin, float ymax, bool y_numbers) {
  if (!open_) return;
  pg::page();
  // Largest height up to the one asked for whose margins fit the panel.
  float ch = char_height_;
  float xch = 0, ych = 0;
  for (;;) {
    pg::sch(ch);
    char_size(xch, ych);

    const bool fits = (kMarginLeft + kMarginRight) * xch <= kMaxMarginFraction &&
                      (kMarginBottom + kMarginTop) * ych <= kMaxMarginFraction;
    if (fits || ch <= kMinCharHeight) break;
    ch = std::max(ch * 0.9f, kMinCharHeight);
  }
  pg::svp(kMarginLeft * xch, 1.0f - kMarginRight * xch, kMarginBottom * ych, 1.0f - kMarginTop * ych);
  if (xmin == xmax) xmax = xmin + 1.0f;
  if (ymin == ymax) ymax = ymin + 1.0f;
  pg::swin(xmin, xmax, ymin, ymax);
  pg::box("BCNST", 0.0f, 0, y_numbers ? "BCNST" : "BC", 0.0f, 0);
}

void Plotter::label(const std::string& x, const std::string& y, const std::string& title) {
  if (!open_) return;
  side_text("B", 3.2f, x);
  side_text("L", 2.2f, y);
  side_text("T", 2.0f, title);
}

void Plotter::side_text(const char* side, float disp, const std::string& t) {
  if (t.empty()) return;
  float ch = 0, xch = 0, ych = 0;
  pg::qch(&ch);
  char_size(xch, ych);
  // Room along each side: the box's extent and as much again on both ends
  // as the narrower margin gives (the texts are centred on the box).
  float vx1 = 0, vx2 = 0, vy1 = 0, vy2 = 0;
  pg::qvp(0, &vx1, &vx2, &vy1, &vy2);
  const float room_x = kMaxTextFraction * ((vx2 - vx1) + 2.0f * std::min(vx1, 1.0f - vx2));
  const float room_y = kMaxTextFraction * ((vy2 - vy1) + 2.0f * std::min(vy1, 1.0f - vy2));
  // A text at `disp` character heights outside side B (bottom), L (left) or
  // T (top) of the box (inside for a negative `disp`), centred; drawn
  // smaller when it is longer than the panel along that side (vertical on
  // side L), at the same distance.
  float xl = 0, yl = 0;
  pg::len(0, t.c_str(), &xl, &yl);
  xl *= static_cast<float>(nx_);  // of the page -> of the panel
  const bool left = side[0] == 'L';
  const float length = left ? xl * ych / xch : xl;  // in the panel's units along that side
  const float room = left ? room_y : room_x;
  const float size = length > room ? ch * room / length : ch;
  pg::sch(size);
  pg::mtxt(side, disp * ch / size, 0.5f, 0.5f, t.c_str());
  pg::sch(ch);
}

void Plotter::empty_panel(float xmin, float xmax, const std::string& note) {
  if (!open_) return;
  env(xmin, xmax, 0.0f, 1.0f, false);
  float xch = 0, ych = 0, vx1 = 0, vx2 = 0, vy1 = 0, vy2 = 0;
  char_size(xch, ych);
  pg::qvp(0, &vx1, &vx2, &vy1, &vy2);
  // Half the box's height down from its top, in character heights; the
  // text's baseline a third of a character below the middle.
  side_text("T", -(0.5f * (vy2 - vy1) / ych + 0.33f), note);
}

std::vector<std::pair<std::size_t, std::size_t>> finite_runs(std::span<const float> x, std::span<const float> y) {
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  const std::size_t n = std::min(x.size(), y.size());
  for (std::size_t i = 0; i < n;) {
    while (i < n && !(std::isfinite(x[i]) && std::isfinite(y[i]))) ++i;
    const std::size_t first = i;
    while (i < n && std::isfinite(x[i]) && std::isfinite(y[i])) ++i;
    if (i > first) runs.emplace_back(first, i);
  }
  return runs;
}

void Plotter::line(std::span<const float> x, std::span<const float> y) {
  if (!open_) return;
  for (const auto& [first, end] : finite_runs(x, y))
    pg::line(static_cast<int>(end - first), x.data() + first, y.data() + first);
}

void Plotter::colour(int index) {
  if (open_) pg::sci(index);
}

void Plotter::set_colour(int index, float r, float g, float b) {
  if (open_) pg::scr(index, r, g, b);
}

void Plotter::char_height(float size) {
  char_height_ = size;
  if (open_) pg::sch(size);
}

void Plotter::end() {
  if (!open_) return;
  pg::end();
  open_ = false;
  std::string problem;
  if (!files_->publish(problem)) talva::put_line(" Warning: " + problem + "; the earlier plot files are kept");
  files_.reset();
}

}  // namespace talva::dumpscope
