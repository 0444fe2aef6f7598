#include "programs/talva2vis3/plot.h"

#include <cpgplot.h>

#include <cctype>

#include "util/fmt.h"

UvPlot::~UvPlot() { close(); }

namespace {
// The null device draws nothing: the plot is left out altogether.
bool null_device(const std::string& device) {
  const auto slash = device.rfind('/');
  if (slash == std::string::npos) return false;
  std::string type = device.substr(slash + 1);
  for (auto& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return type == "null";
}
}  // namespace

bool UvPlot::open(const std::string& device, bool labels) {
  if (null_device(device)) return false;
  if (cpgbeg(0, device.c_str(), 1, 1) != 1) {
    talva::put_line(" Warning: cannot open plot device " + device + "; going on without the (u,v) plot");
    open_ = false;
    return false;
  }
  open_ = true;
  cpgenv(-6000.0f, 6000.0f, -6000.0f, 6000.0f, 0, 0);
  if (labels) cpglab("u", "v", "Baselines Compressed:");
  return true;
}

void UvPlot::flush() {
  if (!xs_.empty()) {
    cpgpt(static_cast<int>(xs_.size()), xs_.data(), ys_.data(), 1);
    xs_.clear();
    ys_.clear();
  }
}

void UvPlot::colour(int ci) {
  if (!open_ || ci == colour_) return;
  flush();
  cpgsci(ci);
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
  cpgask(0);
}

void UvPlot::close() {
  if (open_) {
    flush();
    cpgend();
    open_ = false;
  }
}
