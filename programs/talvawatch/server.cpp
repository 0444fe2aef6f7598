#include "programs/talvawatch/server.h"

#include <httplib.h>
#include <signal.h>

#include <cstring>

namespace talva::talvawatch {

// The built-in files, generated at build time from page/ and the vendored
// uPlot (assets_data.cpp).
struct AssetEntry {
  const char* path;
  const unsigned char* data;
  std::size_t size;
  const char* type;
};
extern const AssetEntry kAssetTable[];
extern const std::size_t kAssetCount;

namespace {

constexpr std::size_t kMaxPayload = 1024;  // no request of the page has a body
constexpr auto kStreamPing = std::chrono::seconds(10);
constexpr auto kStreamCoalesce = std::chrono::milliseconds(100);  // a burst of dumps makes one event

const std::vector<Asset>& assets() {
  static const std::vector<Asset> table = [] {
    std::vector<Asset> t;
    for (std::size_t i = 0; i < kAssetCount; ++i)
      t.push_back({std::string_view(reinterpret_cast<const char*>(kAssetTable[i].data), kAssetTable[i].size),
                   kAssetTable[i].type});
    return t;
  }();
  return table;
}

std::string error_json(const std::string& message) {
  std::string quoted;
  for (char c : message) {
    if (c == '"' || c == '\\') quoted.push_back('\\');
    if (static_cast<unsigned char>(c) >= 0x20) quoted.push_back(c);
  }
  return "{\"error\":\"" + quoted + "\"}";
}

// Replaces the first `from` in `text` with `to`.
void replace_once(std::string& text, std::string_view from, std::string_view to) {
  const auto at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
}

// "</" inside an inline script would end it.
std::string script_safe(std::string_view text) {
  std::string s;
  s.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '<' && i + 1 < text.size() && text[i + 1] == '/') {
      s += "<\\/";
      ++i;
    } else {
      s.push_back(text[i]);
    }
  }
  return s;
}

}  // namespace

const Asset* find_asset(std::string_view path) {
  if (path == "/") path = "/index.html";
  for (std::size_t i = 0; i < kAssetCount; ++i)
    if (path == kAssetTable[i].path) return &assets()[i];
  return nullptr;
}

Reply answer(const WatchState& state, std::string_view path, std::string_view classes, std::string_view pick) {
  Reply r;
  if (path == "/api/summary") {
    r.body = state.summary_json(now_ms());
    return r;
  }
  if (path == "/api/series") {
    std::string error;
    if (!state.series_json(classes, pick, r.body, error)) {
      r.status = 400;
      r.body = error_json(error);
    }
    return r;
  }
  if (const Asset* a = find_asset(path)) {
    r.type = a->type;
    r.body = std::string(a->body);
    return r;
  }
  r.status = 404;
  r.type = "text/plain";
  r.body = "not found\n";
  return r;
}

std::string report_page(const std::string& summary, const std::string& series) {
  std::string page(find_asset("/index.html")->body);
  auto inline_script = [&](const char* tag, const char* path) {
    replace_once(page, tag, "<script>" + script_safe(find_asset(path)->body) + "</script>");
  };
  auto inline_style = [&](const char* tag, const char* path) {
    replace_once(page, tag, "<style>" + std::string(find_asset(path)->body) + "</style>");
  };
  inline_style("<link rel=\"stylesheet\" href=\"assets/uPlot.min.css\">", "/assets/uPlot.min.css");
  inline_style("<link rel=\"stylesheet\" href=\"assets/watch.css\">", "/assets/watch.css");
  inline_script("<script src=\"assets/uPlot.iife.min.js\"></script>", "/assets/uPlot.iife.min.js");
  replace_once(page, "<script src=\"assets/watch.js\"></script>",
               "<script>window.TALVA_REPORT = {summary: " + script_safe(summary) + ", series: " + script_safe(series) +
                   "};</script>\n<script>" + script_safe(find_asset("/assets/watch.js")->body) + "</script>");
  return page;
}

PageServer::PageServer(WatchState& state) : state_(state), server_(std::make_unique<httplib::Server>()) {
  auto& svr = *server_;
  svr.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  svr.set_payload_max_length(kMaxPayload);
  svr.set_read_timeout(5, 0);
  svr.set_write_timeout(5, 0);
  svr.set_keep_alive_timeout(5);
  svr.set_keep_alive_max_count(100);

  auto send = [](httplib::Response& res, Reply r) {
    res.status = r.status;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(std::move(r.body), r.type.c_str());
  };
  // Every GET but the stream: a fixed table of answers.
  svr.Get(R"(/.*)", [this, send](const httplib::Request& req, httplib::Response& res) {
    if (req.path == "/events") {
      if (streams_.fetch_add(1) >= kMaxStreams) {
        streams_.fetch_sub(1);
        send(res, {503, "text/plain", "too many streams open\n"});
        return;
      }
      res.set_header("Cache-Control", "no-store");
      res.set_header("X-Accel-Buffering", "no");
      auto seen = std::make_shared<std::uint64_t>(~std::uint64_t{0});
      res.set_chunked_content_provider(
          "text/event-stream",
          [this, seen](std::size_t, httplib::DataSink& sink) {
            if (state_.stopped()) return false;
            const std::uint64_t v = state_.wait_change(*seen, kStreamPing);
            if (state_.stopped()) return false;
            std::string event;
            if (v == *seen) {
              event = ": ping\n\n";  // finds a client that went away
            } else {
              std::this_thread::sleep_for(kStreamCoalesce);
              *seen = state_.version();
              event = "event: summary\ndata: " + state_.summary_json(now_ms()) + "\n\n";
            }
            return sink.write(event.data(), event.size());
          },
          [this](bool) { streams_.fetch_sub(1); });
      return;
    }
    send(res, answer(state_, req.path, req.get_param_value("classes"), req.get_param_value("pick")));
  });
  // Anything else (POST, PUT, ...): no such thing.
  auto refuse = [send](const httplib::Request&, httplib::Response& res) {
    send(res, {405, "text/plain", "only GET\n"});
  };
  svr.Post(R"(/.*)", refuse);
  svr.Put(R"(/.*)", refuse);
  svr.Delete(R"(/.*)", refuse);
  svr.Patch(R"(/.*)", refuse);
}

PageServer::~PageServer() { stop(); }

bool PageServer::bind(const std::string& host, int port) {
  if (port == 0) {
    port_ = server_->bind_to_any_port(host);
    return port_ > 0;
  }
  if (!server_->bind_to_port(host, port)) return false;
  port_ = port;
  return true;
}

void PageServer::start() {
  // The threads started here block SIGINT and SIGTERM: the signal reaches
  // the program's own thread, which stops the server.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void PageServer::stop() {
  state_.stop();
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace talva::talvawatch
