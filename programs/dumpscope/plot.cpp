#include "programs/dumpscope/plot.h"

#include <cpgplot.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "util/fmt.h"
#include "util/plotdev.h"

namespace dumpscope {

namespace {

// The null device ("/null", "/NULL") draws nothing: the plot is not opened
// at all, which leaves every printed line as it is and skips the drawing work.
bool null_device(const std::string& device) {
  const auto slash = device.rfind('/');
  if (slash == std::string::npos) return false;
  std::string type = device.substr(slash + 1);
  for (auto& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return type == "null";
}

}  // namespace

Plotter::Plotter(const std::string& device_keyword, int nx, int ny) {
  const std::optional<std::string> device = talva::choose_plot_device(device_keyword, stdin, [] { cpgldev(); });
  if (!device || null_device(*device)) return;
  open_ = cpgbeg(0, device->c_str(), std::max(nx, 1), std::max(ny, 1)) == 1;
  if (!open_) talva::put_line(" cannot open plot device " + *device + ": no plots are drawn");
}

Plotter::~Plotter() { end(); }

void Plotter::env(float xmin, float xmax, float ymin, float ymax) {
  if (open_) cpgenv(xmin, xmax, ymin, ymax, 0, 0);
}

void Plotter::label(const std::string& x, const std::string& y, const std::string& title) {
  if (open_) cpglab(x.c_str(), y.c_str(), title.c_str());
}

void Plotter::line(std::span<const float> x, std::span<const float> y) {
  if (open_) cpgline(static_cast<int>(std::min(x.size(), y.size())), x.data(), y.data());
}

void Plotter::colour(int index) {
  if (open_) cpgsci(index);
}

void Plotter::set_colour(int index, float r, float g, float b) {
  if (open_) cpgscr(index, r, g, b);
}

void Plotter::char_height(float size) {
  if (open_) cpgsch(size);
}

void Plotter::end() {
  if (open_) cpgend();
  open_ = false;
}

}  // namespace dumpscope
