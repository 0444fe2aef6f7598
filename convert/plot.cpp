#include "convert/plot.h"

#include <optional>

#include "util/fmt.h"
#include "util/pgplot.h"
#include "util/plot_file.h"
#include "util/plotdev.h"
#include "util/stop.h"

namespace talva::convert {

namespace pg = talva::pgplot;

UvPlot::~UvPlot() {
  // Not closed by the run: a stop on the way. The pages drawn so far go.
  if (open_) {
    xs_.clear();
    ys_.clear();
    pg::end();
    open_ = false;
  }
}

bool UvPlot::open(const std::string& device_keyword, bool labels) {
  const std::optional<std::string> chosen = talva::choose_plot_device(device_keyword, stdin, [] { pg::ldev(); });
  if (!chosen) return false;
  const std::string& device = *chosen;
  if (talva::null_plot_device(device)) return false;  // the null device draws nothing: no plot at all
  if (const std::string warning = talva::no_display_warning(device); !warning.empty()) {
    out_.line(warning);
    return false;
  }
  // A plot file is drawn aside and replaces an earlier one when complete.
  std::string problem;
  files_ = std::make_unique<talva::PlotFiles>(device, problem);
  if (files_->device().empty() || pg::beg(0, files_->device().c_str(), 1, 1) != 1) {
    out_.line(" Warning: cannot open plot device " + device + (problem.empty() ? "" : " (" + problem + ")") +
              "; going on without the (u,v) plot");
    files_.reset();
    open_ = false;
    return false;
  }
  open_ = true;
  pg::env(-6000.0f, 6000.0f, -6000.0f, 6000.0f, 0, 0);
  // Both converters label the axes with their unit; the title is
  // talva2vis3's alone.
  pg::lab("u (wavelengths)", "v (wavelengths)", labels ? "Baselines Compressed:" : "");
  return true;
}

void UvPlot::flush() {
  if (!xs_.empty()) {
    pg::pt(static_cast<int>(xs_.size()), xs_.data(), ys_.data(), 1);
    xs_.clear();
    ys_.clear();
  }
}

void UvPlot::colour(int ci) {
  if (!open_ || ci == colour_) return;
  flush();
  pg::sci(ci);
  colour_ = ci;
}

void UvPlot::point(float x, float y) {
  if (!open_) return;
  xs_.push_back(x);
  ys_.push_back(y);
  if (xs_.size() >= 4096) flush();
}

void UvPlot::ask_off() {
  if (!open_) return;
  flush();
  pg::ask(0);
}

void UvPlot::close() {
  if (!open_) return;
  flush();
  pg::end();
  open_ = false;
  std::string problem;
  // A plot cut short (a full disk) fails the run: no output of it is published.
  if (!files_->complete(problem)) talva::stop(problem + "; the earlier plot file is kept");
}

void UvPlot::publish() {
  close();
  std::string problem;
  if (files_ && !files_->publish(problem)) talva::stop(problem + "; the earlier plot file is kept");
  files_.reset();
}

void UvPlot::drop() noexcept {
  if (open_) {
    xs_.clear();
    ys_.clear();
    pg::end();
    open_ = false;
  }
  files_.reset();
}

void UvPlotSink::begin_run(const RunSetup& /*setup*/) {
  const bool open = plot_.open(device_, choices_.title);
  draws_ = open && choices_.points;  // no plot open (/null): the records pass by
}

void UvPlotSink::record(const UvRecord& r) {
  if (!draws_) return;
  if (choices_.classes) plot_.colour(r.spacing <= 43 ? 5 : 1);
  plot_.point(static_cast<float>(r.x), static_cast<float>(r.y));
}

void UvPlotSink::end_dump() {
  if (choices_.classes) plot_.ask_off();
}

}  // namespace talva::convert
