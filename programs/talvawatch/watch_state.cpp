#include "programs/talvawatch/watch_state.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "programs/dumpscope/options.h"

using talva::array::kNumAntennas;
using talva::array::kNumClasses;

namespace talva::talvawatch {
namespace {

using nlohmann::json;
using talva::watch::Anomaly;
using talva::watch::Bin;

constexpr int kDefaultClasses[] = {1, 2, 3, 44, 45, 46};
constexpr std::size_t kMaxListed = 200;  // anomalies listed in one summary
constexpr float kDegPerRad = 57.29578f;

// A number rounded to `digits` significant digits (short JSON); non-finite: null.
json num(double v, int digits = 4) {
  if (!std::isfinite(v)) return nullptr;
  if (v == 0.0) return 0.0;
  const double scale = std::pow(10.0, digits - 1 - static_cast<int>(std::floor(std::log10(std::abs(v)))));
  return std::round(v * scale) / scale;
}

json anomaly_json(const Anomaly& a) {
  std::string name;
  switch (a.kind) {
    case Anomaly::Kind::Antenna:
      name = "antenna " + talva::watch::antenna_name(a.a);
      break;
    case Anomaly::Kind::Pair:
      name = "pair " + talva::watch::antenna_name(a.a) + "-" + talva::watch::antenna_name(a.b);
      break;
    case Anomaly::Kind::Data:
      name = "data";
      break;
  }
  json j = {{"kind", a.kind == Anomaly::Kind::Antenna ? "antenna"
                     : a.kind == Anomaly::Kind::Pair  ? "pair"
                                                      : "data"},
            {"name", name},
            {"what", a.what},
            {"began", a.began},
            {"value", num(a.value, 3)}};
  if (a.kind != Anomaly::Kind::Data) j["a"] = a.a;
  if (a.kind == Anomaly::Kind::Pair) j["b"] = a.b;
  if (a.ended != 0) j["ended"] = a.ended;
  return j;
}

// Amplitude (mean of the bin), its envelope, and phase in degrees, bin by bin.
json series_of(std::span<const Bin> bins, bool envelope) {
  json amp = json::array(), lo = json::array(), hi = json::array(), phase = json::array();
  for (const Bin& b : bins) {
    if (b.n == 0) {
      amp.push_back(nullptr);
      lo.push_back(nullptr);
      hi.push_back(nullptr);
      phase.push_back(nullptr);
      continue;
    }
    const std::complex<float> mean = b.sum / static_cast<float>(b.n);
    amp.push_back(num(std::abs(mean)));
    lo.push_back(num(b.min));
    hi.push_back(num(b.max));
    phase.push_back(num(std::arg(mean) * kDegPerRad, 4));
  }
  json j = {{"amp", amp}, {"phase", phase}};
  if (envelope) {
    j["min"] = lo;
    j["max"] = hi;
  }
  return j;
}

std::string two(int v) {
  char t[16];
  std::snprintf(t, sizeof t, "%02d", v);
  return t;
}

}  // namespace

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

WatchState::WatchState(std::string archive, talva::watch::MonitorSetup setup, int idle_minutes,
                       std::string default_pick)
    : archive_(std::move(archive)),
      idle_minutes_(idle_minutes),
      default_pick_(std::move(default_pick)),
      monitor_(std::move(setup)) {}

void WatchState::add(const talva::watch::DumpIn& d, std::int64_t arrival_ms) {
  {
    std::lock_guard lock(m_);
    monitor_.add(d);
    if (version_ == 0) first_arrival_ms_ = arrival_ms;
    last_arrival_ms_ = arrival_ms;
    ++version_;
  }
  cv_.notify_all();
}

std::uint64_t WatchState::version() const {
  std::lock_guard lock(m_);
  return version_;
}

std::uint64_t WatchState::wait_change(std::uint64_t seen, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_);
  cv_.wait_for(lock, timeout, [&] { return stopped_ || version_ != seen; });
  return version_;
}

void WatchState::stop() {
  {
    std::lock_guard lock(m_);
    stopped_ = true;
  }
  cv_.notify_all();
}

bool WatchState::stopped() const {
  std::lock_guard lock(m_);
  return stopped_;
}

std::string WatchState::summary_json(std::int64_t now) const {
  std::lock_guard lock(m_);
  const auto& mon = monitor_;
  const auto& d = mon.last();
  json obs = {{"archive", archive_},      {"products", mon.setup().nbsln}, {"gains", mon.has_gains()},
              {"dumps", mon.dumps()},     {"version", version_},           {"server_ms", now},
              {"idle_min", idle_minutes_}};
  if (mon.dumps() > 0) {
    obs["ra_h"] = num(d.ra_hours, 7);
    obs["dec_deg"] = num(d.dec_deg, 7);
    obs["ha_h"] = num(d.ha_hours, 6);
    obs["date"] = std::to_string(d.year) + "-" + two(d.mon) + "-" + two(d.day);
    obs["time"] = two(d.hr) + ":" + two(d.mins) + ":" + two(d.sec);
    obs["mode"] = d.mode;
    obs["unix_time"] = d.unix_time;
    obs["last_ms"] = last_arrival_ms_;
    obs["first_ms"] = first_arrival_ms_;
    const auto times = mon.time_bins();
    if (mon.dumps() > 1) {
      // seconds per dump from the headers' times, and dumps per second as they arrived
      obs["dump_seconds"] = num((times.back().t_last - times.front().t_first) / (mon.dumps() - 1), 4);
      if (last_arrival_ms_ > first_arrival_ms_)
        obs["arrival_rate"] =
            num(1000.0 * (mon.dumps() - 1) / static_cast<double>(last_arrival_ms_ - first_arrival_ms_), 3);
    }
  }
  json amp = json::array(), phase = json::array();
  for (float v : mon.antenna_amp()) amp.push_back(num(v, 3));
  for (float v : mon.antenna_phase()) phase.push_back(mon.has_gains() ? num(v, 3) : json(nullptr));
  const auto current = mon.current();
  json now_list = json::array(), ended = json::array();
  for (std::size_t i = 0; i < current.size() && i < kMaxListed; ++i) now_list.push_back(anomaly_json(current[i]));
  for (const Anomaly& a : mon.ended()) ended.push_back(anomaly_json(a));
  const json j = {{"obs", obs},
                  {"standing", {{"amp", amp}, {"phase", phase}}},
                  {"anomalies", now_list},
                  {"anomaly_count", current.size()},
                  {"ended", ended}};
  return j.dump();
}

bool WatchState::series_json(std::string_view classes, std::string_view pick, std::string& out,
                             std::string& error) const {
  // The class list, checked before the lock is taken.
  std::vector<int> wanted;
  bool all = classes == "all";
  if (classes.empty()) {
    wanted.assign(std::begin(kDefaultClasses), std::end(kDefaultClasses));
  } else if (!all) {
    std::size_t pos = 0;
    while (pos <= classes.size()) {
      const std::size_t comma = std::min(classes.find(',', pos), classes.size());
      const std::string_view item = classes.substr(pos, comma - pos);
      int k = 0;
      bool ok = !item.empty() && item.size() <= 3;
      for (char c : item) ok = ok && c >= '0' && c <= '9';
      if (ok) k = std::stoi(std::string(item));
      if (!ok || k < 1 || k > kNumClasses) {
        error = "classes: give class numbers 1 to 130, separated by commas";
        return false;
      }
      if (wanted.size() >= static_cast<std::size_t>(kNumClasses)) {
        error = "classes: at most 130";
        return false;
      }
      wanted.push_back(k);
      pos = comma + 1;
    }
  }
  if (pick.size() > kMaxPickLength) {
    error = "pick: at most 80 characters";
    return false;
  }
  const std::string pick_text(pick.empty() ? std::string_view(default_pick_) : pick);

  std::lock_guard lock(m_);
  const auto& mon = monitor_;
  if (all) {
    for (int k = 1; k <= kNumClasses; ++k)
      if (mon.class_pairs()[static_cast<std::size_t>(k - 1)] > 0) wanted.push_back(k);
  }
  const auto times = mon.time_bins();
  json t = json::array(), first = json::array(), last = json::array(), ha = json::array();
  for (const auto& b : times) {
    t.push_back(b.n > 0 ? 0.5 * (b.t_first + b.t_last) : 0.0);
    first.push_back(b.first);
    last.push_back(b.last);
    ha.push_back(num(b.n > 0 ? b.ha_sum / b.n : 0.0, 5));
  }
  json cls = json::object();
  for (int k : wanted) {
    json c = series_of(mon.class_series(k), true);
    c["pairs"] = mon.class_pairs()[static_cast<std::size_t>(k - 1)];
    cls[std::to_string(k)] = c;
  }
  // Heat map: antenna by antenna, the bins' mean standings.
  json heat_amp = json::array(), heat_phase = json::array();
  for (int a = 1; a <= kNumAntennas; ++a) {
    json ra = json::array(), rp = json::array();
    for (const Bin& b : mon.antenna_series(a)) {
      if (b.n == 0) {
        ra.push_back(nullptr);
        rp.push_back(nullptr);
        continue;
      }
      const std::complex<float> m = b.sum / static_cast<float>(b.n);
      ra.push_back(num(std::abs(m), 3));
      rp.push_back(mon.has_gains() ? num(std::arg(m) * kDegPerRad, 3) : json(nullptr));
    }
    heat_amp.push_back(ra);
    heat_phase.push_back(rp);
  }
  // The pick, as dumpscope selects it: the sum of its pairs' correlations.
  json pj = {{"option", pick_text}};
  talva::dumpscope::OptionRecord opt;
  std::vector<std::string> messages;
  talva::dumpscope::decode_option(pick_text, opt, messages);
  talva::dumpscope::Selection sel;
  if (opt.error == 0) {
    sel = talva::dumpscope::select_products(mon.setup().nbsln, mon.setup().antnum, opt, mon.setup().layout->lay_count);
    messages.insert(messages.end(), sel.messages.begin(), sel.messages.end());
  }
  if (opt.error != 0 || sel.error != 0) {
    pj["error"] = messages;
  } else {
    std::vector<Bin> sum(times.size());
    for (std::int32_t p : sel.sel) {
      const auto s = mon.product_series(p);
      for (std::size_t b = 0; b < s.size() && b < sum.size(); ++b) {
        if (sel.sel.size() == 1) {
          sum[b] = s[b];
        } else {  // the sum of the pairs' means; no envelope
          sum[b].sum += s[b].n > 0 ? s[b].sum / static_cast<float>(s[b].n) : std::complex<float>(0.0f, 0.0f);
          sum[b].n = 1;
        }
      }
    }
    pj.update(series_of(sum, sel.sel.size() == 1));
    pj["pairs"] = sel.sel.size();
  }
  json lengths = json::array();
  for (int k = 1; k <= kNumClasses; ++k)
    lengths.push_back(mon.class_pairs()[static_cast<std::size_t>(k - 1)] > 0 ? num(mon.class_length(k), 5) : json(0));
  const json j = {{"width", mon.width()},
                  {"t", t},
                  {"first", first},
                  {"last", last},
                  {"ha", ha},
                  {"classes", cls},
                  {"heat", {{"amp", heat_amp}, {"phase", heat_phase}}},
                  {"pick", pj},
                  {"uv", {{"lengths_m", lengths}, {"dec_deg", num(mon.last().dec_deg, 6)}}}};
  out = j.dump();
  return true;
}

}  // namespace talva::talvawatch
