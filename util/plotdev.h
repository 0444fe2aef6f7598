#pragma once
// The plot-device decision shared by the programs that plot.
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace talva {

/// The device to open for the keyword value `device`: the value itself, or
/// for "?" the answer to the prompt "Graphics device/type (? to see list,
/// default /xw): " read from `in` (an empty answer is "/xw"; "?" calls
/// `list_devices` and asks again). At the end of `in` the prompt gives up:
/// one warning, and no device (the run goes on without the plot).
std::optional<std::string> choose_plot_device(const std::string& device, std::FILE* in,
                                              const std::function<void()>& list_devices);

/// The device type of a device text: what follows its last '/', in lower
/// case (empty when there is no '/').
std::string plot_device_type(const std::string& device);

/// True for the null device ("/null"): nothing is drawn, no plot is opened.
bool null_plot_device(const std::string& device);

/// For a device that draws on an X display ("/xs", "/xw", "/xwindow",
/// "/xserve") when `display` (the value of DISPLAY, or null) names none:
/// the one warning line to print instead of opening it; the run then goes
/// on without the plot. Empty for every other device.
std::string no_display_warning(const std::string& device, const char* display);

/// The same, for the display of this process's environment.
std::string no_display_warning(const std::string& device);

}  // namespace talva
