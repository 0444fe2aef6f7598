#pragma once
// The (u, v) coverage plot of the converters (PGPLOT API, giza). When the
// device cannot be opened the run goes on without a plot: every call is then
// a no-op. Plotting never changes the numbers. Points are drawn in runs of
// one colour (one call per run), in the order they were given.
#include <memory>
#include <string>
#include <vector>

#include "convert/record.h"
#include "util/output.h"
#include "util/plot_file.h"

namespace talva::convert {

class UvPlot {
 public:
  /// Warnings go to `out`.
  explicit UvPlot(talva::Output& out) : out_(out) {}
  ~UvPlot();
  UvPlot(const UvPlot&) = delete;
  UvPlot& operator=(const UvPlot&) = delete;

  /// Opens `device` (one panel) with x and y from -6000 to 6000 and
  /// labels the axes "u (wavelengths)", "v (wavelengths)"; with `labels`
  /// also the title "Baselines Compressed:".
  /// On failure prints one warning. The null device ("/null") opens
  /// nothing. Returns whether the plot is open.
  bool open(const std::string& device, bool labels);
  bool is_open() const { return open_; }
  void colour(int ci);
  void point(float x, float y);
  void ask_off();
  /// Ends the plot; a plot file that is not complete stops the run.
  void close();
  /// Ends the plot (as close) and moves a plot file over an earlier one.
  void publish();
  /// Ends the plot and drops a plot file; the earlier one stays.
  void drop() noexcept;

 private:
  void flush();
  talva::Output& out_;
  bool open_ = false;
  std::unique_ptr<talva::PlotFiles> files_;  // where a file device draws (null: not open)
  int colour_ = -1;                          // colour of the pending run (-1: the device's current one)
  std::vector<float> xs_, ys_;
};

/// What the (u, v) plot of a run shows.
struct UvPlotChoices {
  bool title = true;     ///< the title "Baselines Compressed:" (talva2vis3)
  bool points = true;    ///< a point for every record (the data modes; the simulations draw none)
  bool classes = false;  ///< within-arm classes (1-43) in colour 5, the others in colour 1, and
                         ///< the page prompt turned off after each dump (talva2vis3's talva1a)
};

/// The (u, v) plot as a sink: a point (u, v in wavelengths) for every record
/// when `choices.points`, drawn as `choices` say.
class UvPlotSink final : public RecordSink {
 public:
  /// Warnings go to `out`.
  UvPlotSink(std::string device, UvPlotChoices choices, talva::Output& out)
      : device_(std::move(device)), choices_(choices), plot_(out) {}
  /// Opens the device (a warning, and no plot, when it cannot be opened).
  void begin_run(const RunSetup& setup) override;
  void record(const UvRecord& r) override;
  void end_dump() override;
  /// Ends the plot: a plot file not complete stops the run.
  void end_run() override { plot_.close(); }
  /// A plot file replaces an earlier one.
  void publish() override { plot_.publish(); }
  /// An interrupted run writes no plot.
  void interrupted(const std::string& /*note*/) override { plot_.drop(); }
  std::string abandon() noexcept override {
    plot_.drop();
    return {};
  }

 private:
  std::string device_;
  UvPlotChoices choices_;
  bool draws_ = false;  // the plot is open and draws the records
  UvPlot plot_;
};

}  // namespace talva::convert
