#pragma once
// What the watcher serves: the monitor of the archive behind a lock, with a
// version that grows with every dump, and its views as JSON for the page.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "watch/monitor.h"

namespace talva::talvawatch {

/// Longest pair option accepted from the page (as dumpscope's option text).
inline constexpr std::size_t kMaxPickLength = 80;

class WatchState {
 public:
  /// `archive` is the name shown; `idle_minutes` the quiet time after which
  /// the page says "no new dump for N min".
  WatchState(std::string archive, talva::watch::MonitorSetup setup, int idle_minutes, std::string default_pick);

  /// Takes a dump that arrived at `arrival_ms` (milliseconds since 1970) and wakes the waiting streams.
  void add(const talva::watch::DumpIn& d, std::int64_t arrival_ms);

  /// The observation, the latest standings and what looks wrong now.
  std::string summary_json(std::int64_t now_ms) const;
  /// Series for the plots: the classes listed ("1,2,44"; empty: a default
  /// set; "all": every class that has pairs), the pair option `pick`
  /// (dumpscope's syntax; empty: the default pick), the heat map and the
  /// (u, v) coverage. Returns false with a message in `error` for a list
  /// that cannot be read.
  bool series_json(std::string_view classes, std::string_view pick, std::string& json, std::string& error) const;

  /// Dumps taken so far (grows by one per add()).
  std::uint64_t version() const;
  /// Waits until the version differs from `seen`, stop() is called, or the
  /// timeout passes; returns the version.
  std::uint64_t wait_change(std::uint64_t seen, std::chrono::milliseconds timeout) const;
  /// Ends every wait, now and later.
  void stop();
  bool stopped() const;

  const std::string& default_pick() const { return default_pick_; }

 private:
  std::string archive_;
  int idle_minutes_;
  std::string default_pick_;
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  talva::watch::Monitor monitor_;
  std::uint64_t version_ = 0;
  std::int64_t first_arrival_ms_ = 0, last_arrival_ms_ = 0;
  bool stopped_ = false;
};

/// Current time, milliseconds since 1970.
std::int64_t now_ms();

}  // namespace talva::talvawatch
