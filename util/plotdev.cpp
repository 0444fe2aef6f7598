#include "util/plotdev.h"

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

}  // namespace talva
