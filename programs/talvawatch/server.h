#pragma once
// The watcher's HTTP side: its page and assets (built into the program),
// the JSON views of the state, and a stream of server-sent events, one per
// dump. Nothing a request names reaches the file system: every path is
// looked up in a fixed table.
#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "programs/talvawatch/watch_state.h"

namespace httplib {
class Server;
}

namespace talva::talvawatch {

/// Streams served at once; more are refused (503) until one ends.
inline constexpr int kMaxStreams = 16;
/// Worker threads: every stream holds one, the rest serve requests.
inline constexpr int kWorkers = 32;

/// One built-in file: its bytes and content type.
struct Asset {
  std::string_view body;
  const char* type;
};
/// The built-in file at `path` ("/", "/assets/uPlot.iife.min.js", ...), or
/// nullptr: a fixed table, no file-system lookup.
const Asset* find_asset(std::string_view path);

/// The answer to one GET request, without sockets: status, type and body.
struct Reply {
  int status = 200;
  std::string type = "application/json";
  std::string body;
};
/// Answers GET `path` with the query values `classes` and `pick` (the
/// stream, /events, is the server's own).
Reply answer(const WatchState& state, std::string_view path, std::string_view classes, std::string_view pick);

/// The report page: the built-in page with its scripts, styles and the data
/// of `summary` and `series` inside, one file that needs no server.
std::string report_page(const std::string& summary, const std::string& series);

class PageServer {
 public:
  explicit PageServer(WatchState& state);
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  /// Binds to `host`:`port` (0: a free port); false when it cannot.
  bool bind(const std::string& host, int port);
  int port() const { return port_; }
  /// Serves in threads of its own (signals blocked there) until stop().
  void start();
  /// Ends the streams and the server; waits for its threads.
  void stop();
  /// Streams open now.
  int streams() const { return streams_.load(); }

 private:
  WatchState& state_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<int> streams_{0};
  int port_ = 0;
};

}  // namespace talva::talvawatch
