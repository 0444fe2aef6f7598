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

}  // namespace talva
