#include "util/plotdev.h"

#include <cctype>
#include <cstdlib>

#include "util/fmt.h"
#include "util/textin.h"

namespace talva {

std::optional<std::string> choose_plot_device(const std::string& device, std::FILE* in,
                                              const std::function<void()>& list_devices) {
  if (trim_right(device) != "?") return device;
  for (;;) {
    std::fputs("Graphics device/type (? to see list, default /xw): ", stdout);
    std::fflush(stdout);
    std::string answer;
    if (read_line(in, answer) != LineRead::Line) {
      std::fputs("\n", stdout);
      put_line(" Warning: no answer to the plot device prompt (end of input); going on without the plot");
      return std::nullopt;
    }
    answer = trim_right(answer);
    const std::size_t start = answer.find_first_not_of(' ');
    answer = start == std::string::npos ? std::string() : answer.substr(start);
    if (answer.empty()) return std::string("/xw");
    if (answer != "?") return answer;
    list_devices();
  }
}

std::string plot_device_type(const std::string& device) {
  const auto slash = device.rfind('/');
  if (slash == std::string::npos) return {};
  std::string type = trim_right(device.substr(slash + 1));
  for (auto& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return type;
}

bool null_plot_device(const std::string& device) { return plot_device_type(device) == "null"; }

std::string no_display_warning(const std::string& device, const char* display) {
  const std::string type = plot_device_type(device);
  const bool x_device = type == "xs" || type == "xw" || type == "xwindow" || type == "xserve";
  if (!x_device || (display != nullptr && *display != '\0')) return {};
  return " Warning: no display for plot device " + trim_right(device) +
         " (DISPLAY is not set): no plot; device=NAME.png/png draws it into a file";
}

std::string no_display_warning(const std::string& device) { return no_display_warning(device, std::getenv("DISPLAY")); }

}  // namespace talva
