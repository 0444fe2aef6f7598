#pragma once
// The inspector's plot device (PGPLOT API): opened once for the run, closed
// at its end. A device that cannot be opened gives one warning and every
// drawing call is then skipped. Plot files are drawn aside and replace the
// earlier files only when the run ends with every page complete.
#include <array>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "util/plot_file.h"

namespace talva::dumpscope {

/// The runs [first, end) of points whose x and y are both finite, in order:
/// a polyline drawn run by run leaves a gap at a non-finite value.
std::vector<std::pair<std::size_t, std::size_t>> finite_runs(std::span<const float> x, std::span<const float> y);

/// The texts of one panel of a pass; a non-empty `note` says why the panel
/// holds no curve (drawn inside an empty box instead of the values).
struct PanelText {
  std::string x, y, title, note;
};

/// The four panels of a pass in the order drawn: meridian distance, MD gain,
/// amplitude, phase. Every axis names its quantity and unit; the x axis of
/// each is the dump number. Without `mdcorr` the meridian distance and its
/// gain are not computed, and their panels say so.
std::array<PanelText, 4> pass_panel_texts(const std::string& infile, const std::string& option_upper, int bay2,
                                          bool mdcorr);

class Plotter {
 public:
  /// pgbegin(0, device, nx, ny); panels below 1 are taken as 1.
  Plotter(const std::string& device, int nx, int ny);
  ~Plotter();
  Plotter(const Plotter&) = delete;
  Plotter& operator=(const Plotter&) = delete;

  bool is_open() const { return open_; }
  /// A new panel with the given ranges (independent scales, box with
  /// coordinate labels). Its margins leave room for the numbers, the labels
  /// and the title inside the panel; the character height is the one set
  /// with char_height, made smaller only where the panel is too small for it.
  /// Without `y_numbers` the y axis has neither ticks nor numbers.
  void env(float xmin, float xmax, float ymin, float ymax, bool y_numbers = true);
  /// A new panel over the x range whose box holds no curve, only `note` in
  /// its middle (a quantity that was not computed): the page keeps its layout.
  void empty_panel(float xmin, float xmax, const std::string& note);
  /// x label, y label and title of the panel; a text longer than its side of
  /// the panel is drawn smaller, so that it stays inside.
  void label(const std::string& x, const std::string& y, const std::string& title);
  /// A polyline through the points; a non-finite value leaves a gap.
  void line(std::span<const float> x, std::span<const float> y);
  void colour(int index);
  void set_colour(int index, float r, float g, float b);
  void char_height(float size);
  /// pgend; a plot file replaces the earlier one only when every page is
  /// complete (else a warning). Further calls draw nothing.
  void end();

 private:
  /// Width and height of one character height at the current size, in units
  /// of the panel.
  void char_size(float& xch, float& ych) const;
  /// Text `t` at `disp` character heights outside side "B", "L" or "T" of the
  /// box (inside when negative), centred, smaller when longer than the panel.
  void side_text(const char* side, float disp, const std::string& t);

  int nx_ = 1, ny_ = 1;
  bool open_ = false;
  float char_height_ = 1.0f;                 ///< the height asked for; a panel may use less
  std::unique_ptr<talva::PlotFiles> files_;  ///< where a file device's pages are drawn
};

}  // namespace talva::dumpscope
