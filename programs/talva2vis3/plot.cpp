#include "programs/talva2vis3/plot.h"

#include <cpgplot.h>

#include "util/fmt.h"

UvPlot::~UvPlot() { close(); }

bool UvPlot::open(const std::string& device, bool labels) {
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

void UvPlot::colour(int ci) {
  if (open_) cpgsci(ci);
}

void UvPlot::point(float x, float y) {
  if (open_) cpgpt1(x, y, 1);
}

void UvPlot::ask_off() {
  if (open_) cpgask(0);
}

void UvPlot::close() {
  if (open_) {
    cpgend();
    open_ = false;
  }
}
