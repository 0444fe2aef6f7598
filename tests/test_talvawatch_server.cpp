// The watcher's HTTP side: what a path may reach, the JSON views, the
// report page, and a served instance under bad requests, many connections
// and streams cut off by their clients.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "array/layout.h"
#include "programs/talvawatch/server.h"
#include "programs/talvawatch/watch_state.h"

using talva::array::c_layout_common_t;

namespace {

using nlohmann::json;
using talva::talvawatch::WatchState;

// A state over the pairs of bays 1-4 of both arms, with `dumps` dumps of
// value 1 (antenna 2 dead: 0).
struct Fixture {
  std::unique_ptr<c_layout_common_t> layout = std::make_unique<c_layout_common_t>();
  std::unique_ptr<WatchState> state;
  std::vector<float> vis;
  explicit Fixture(int dumps, std::string archive = "obs.dat") {
    const int ants[] = {1, 2, 3, 4, 49, 50, 51, 52};
    talva::watch::MonitorSetup setup;
    setup.layout = layout.get();
    int n = 1;
    for (int x = 0; x < 8; ++x)
      for (int y = x + 1; y < 8; ++y) {
        ++n;
        const auto i = static_cast<std::size_t>(n - 1);
        layout->lay_ant1[i] = ants[x];
        layout->lay_ant2[i] = ants[y];
        layout->lay_code[i] = 256 * ants[y] + ants[x];
        layout->lay_sign[i] = 1;
        layout->lay_count = n;
        setup.antnum.push_back(256 * ants[y] + ants[x]);
        vis.push_back(0.0f);
        vis.push_back(ants[x] == 2 ? 0.0f : 1.0f);
      }
    setup.antnum.push_back(257);
    setup.nbsln = static_cast<int>(setup.antnum.size());
    vis.insert(vis.begin(), {0.0f, 0.0f});  // item 1 belongs to no pair
    state = std::make_unique<WatchState>(std::move(archive), std::move(setup), 5, "ap(1e,1w)");
    add(dumps);
  }
  void add(int dumps) {
    for (int k = 0; k < dumps; ++k) {
      talva::watch::DumpIn d;
      d.vis = vis;
      d.unix_time = 1.2e9 + static_cast<double>(state->version());
      d.year = 2006;
      d.mon = d.day = 1;
      state->add(d, talva::talvawatch::now_ms());
    }
  }
};

TEST(WatchServer, OnlyTheBuiltInFilesAndTheViewsAreReached) {
  Fixture f(3);
  struct Case {
    const char* path;
    int status;
  };
  const Case cases[] = {
      {"/", 200},
      {"/index.html", 200},
      {"/assets/watch.js", 200},
      {"/assets/uPlot.iife.min.js", 200},
      {"/api/summary", 200},
      {"/api/series", 200},
      {"/../etc/passwd", 404},
      {"/assets/../index.html", 404},
      {"/assets/../../../../etc/passwd", 404},
      {"/etc/passwd", 404},
      {"/assets/", 404},
      {"/assets", 404},
      {"/index.html/", 404},
      {"//index.html", 404},
      {"/assets/watch.js.map", 404},
      {"/ASSETS/WATCH.JS", 404},
      {"/assets/%2e%2e/index.html", 404},
      {"", 404},
  };
  for (const Case& c : cases) {
    const talva::talvawatch::Reply r = talva::talvawatch::answer(*f.state, c.path, "", "");
    EXPECT_EQ(r.status, c.status) << c.path;
  }
  EXPECT_NE(talva::talvawatch::answer(*f.state, "/", "", "").body.find("<html"), std::string::npos);
  EXPECT_EQ(talva::talvawatch::answer(*f.state, "/assets/watch.css", "", "").type, "text/css; charset=utf-8");
}

TEST(WatchServer, SeriesRequestsAreCheckedBeforeTheyAreServed) {
  Fixture f(4);
  struct Case {
    const char* classes;
    const char* pick;
    int status;
  };
  const std::string long_pick(81, 'a');
  const Case cases[] = {
      {"", "", 200},
      {"1,2", "", 200},
      {"all", "", 200},
      {"130", "", 200},
      {"0", "", 400},
      {"131", "", 400},
      {"1,,2", "", 400},
      {"a", "", 400},
      {"1;2", "", 400},
      {"99999999999", "", 400},
      {",", "", 400},
      {"-1", "", 400},
      {"1", long_pick.c_str(), 400},
  };
  for (const Case& c : cases) {
    const talva::talvawatch::Reply r = talva::talvawatch::answer(*f.state, "/api/series", c.classes, c.pick);
    EXPECT_EQ(r.status, c.status) << c.classes;
    EXPECT_TRUE(json::accept(r.body)) << c.classes;
  }
  const json j = json::parse(talva::talvawatch::answer(*f.state, "/api/series", "1,44", "ap(1e,1w)").body);
  EXPECT_EQ(j["t"].size(), 4u);
  EXPECT_EQ(j["classes"]["1"]["amp"].size(), 4u);
  EXPECT_EQ(j["pick"]["pairs"], 1);
  EXPECT_EQ(j["pick"]["amp"][0], 1.0);
  // dumpscope's option syntax, its messages shown for a refused pick
  const json bad = json::parse(talva::talvawatch::answer(*f.state, "/api/series", "", "xy(1,2)").body);
  ASSERT_TRUE(bad["pick"].contains("error"));
  EXPECT_EQ(bad["pick"]["error"][0], "no option key found");
  const json missing = json::parse(talva::talvawatch::answer(*f.state, "/api/series", "", "ap(20e,1w)").body);
  EXPECT_EQ(missing["pick"]["error"][0], " 12564 not found in antenna number set");
}

TEST(WatchServer, SummaryListsTheDeadAntennaWithTheDumpItBegan) {
  Fixture f(3);
  const json s = json::parse(f.state->summary_json(talva::talvawatch::now_ms()));
  EXPECT_EQ(s["obs"]["dumps"], 3);
  ASSERT_EQ(s["anomalies"].size(), 1u);
  EXPECT_EQ(s["anomalies"][0]["name"], "antenna 2E");
  EXPECT_EQ(s["anomalies"][0]["began"], 1);
  EXPECT_EQ(s["standing"]["amp"].size(), 96u);
  EXPECT_TRUE(s["standing"]["amp"][10].is_null());  // antenna 11: not in the array
}

TEST(WatchServer, ReportIsOneFileWhoseDataCannotEndItsScript) {
  Fixture f(2, "</script><script>alert(1)</script>.dat");
  std::string series, error;
  ASSERT_TRUE(f.state->series_json("all", "", series, error));
  const std::string page = talva::talvawatch::report_page(f.state->summary_json(0), series);
  EXPECT_EQ(page.find("src=\"assets/"), std::string::npos);
  EXPECT_EQ(page.find("href=\"assets/"), std::string::npos);
  EXPECT_NE(page.find("window.TALVA_REPORT"), std::string::npos);
  EXPECT_EQ(page.find("</script><script>alert"), std::string::npos);
  EXPECT_NE(page.find("uPlot"), std::string::npos);
}

// ---- a served instance

struct Served {
  Fixture f{3};
  talva::talvawatch::PageServer server{*f.state};
  Served() {
    EXPECT_TRUE(server.bind("127.0.0.1", 0));
    server.start();
  }
  httplib::Client client() const {
    httplib::Client c("127.0.0.1", server.port());
    c.set_read_timeout(30, 0);
    c.set_connection_timeout(30, 0);
    return c;
  }
  bool serves() const {
    auto c = client();
    const auto r = c.Get("/api/summary");
    return r && r->status == 200 && json::parse(r->body)["obs"]["dumps"].get<int>() >= 3;
  }
};

// A raw connection: sends `request`, returns what comes back before the
// server closes or 5 s pass (the requests ask it to close).
std::string raw(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return "";
  }
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may close before it has read everything
    sent += static_cast<std::size_t>(n);
  }
  std::string reply;
  char buf[4096];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
    reply.append(buf, static_cast<std::size_t>(n));
    // a whole answer: its head and the body its Content-Length gives
    const auto head = reply.find("\r\n\r\n");
    const auto length = reply.find("Content-Length: ");
    if (head != std::string::npos && length != std::string::npos && length < head &&
        reply.size() >= head + 4 + std::stoul(reply.substr(length + 16)))
      break;
  }
  ::close(fd);
  return reply;
}

TEST(WatchServer, MalformedAndHugeRequestsAreRefusedAndServingGoesOn) {
  Served s;
  struct Case {
    const char* name;
    std::string request;
    const char* status;  // the status line's code, or "" when closing without one is right
  };
  const Case cases[] = {
      {"garbage", "GARBAGE\r\n\r\n", "400"},
      {"no version", "GET /\r\n\r\n", "400"},
      {"binary", std::string("\x00\xff\x01\x02\r\n\r\n", 8), "400"},
      {"long path", "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "414"},
      {"long header", "GET / HTTP/1.1\r\nHost: x\r\nX-A: " + std::string(100000, 'b') + "\r\n\r\n", ""},
      {"many headers",
       [] {
         std::string r = "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
         for (int i = 0; i < 5000; ++i) r += "X-" + std::to_string(i) + ": y\r\n";
         return r + "\r\n";
       }(),
       ""},
      {"huge body", "POST /api/summary HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 100000000\r\n\r\n",
       "413"},
      {"put", "PUT /index.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 2\r\n\r\nhi", "405"},
      {"traversal", "GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "404"},
      {"encoded traversal", "GET /assets/%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
       "404"},
  };
  for (const Case& c : cases) {
    const std::string reply = raw(s.server.port(), c.request);
    if (*c.status != '\0') {
      EXPECT_EQ(reply.substr(0, 12), std::string("HTTP/1.1 ") + c.status) << c.name;
    }
    EXPECT_EQ(reply.find("root:"), std::string::npos) << c.name;
    EXPECT_TRUE(s.serves()) << "after " << c.name;
  }
}

TEST(WatchServer, ManyConnectionsAtOnceAreAllServed) {
  Served s;
  constexpr int kClients = 64;
  std::vector<std::thread> clients;
  std::atomic<int> ok{0};
  for (int i = 0; i < kClients; ++i)
    clients.emplace_back([&] {
      for (int k = 0; k < 5; ++k)
        if (s.serves()) ++ok;
    });
  for (auto& t : clients) t.join();
  EXPECT_EQ(ok.load(), kClients * 5);
}

// Opens the event stream; returns the socket after the first event arrived (-1: none).
int open_stream(int port, std::string* first = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  const std::string req = "GET /events HTTP/1.1\r\nHost: x\r\n\r\n";
  ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string got;
  char buf[4096];
  for (;;) {
    const auto head_end = got.find("\r\n\r\n");
    if (head_end != std::string::npos &&
        (got.compare(0, 12, "HTTP/1.1 200") != 0 || got.find("\n\n", head_end + 4) != std::string::npos))
      break;  // a refusal's head, or the first event
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  if (first != nullptr) *first = got;
  return fd;
}

// Waits (up to a minute) for `done`.
bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 600; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return done();
}

TEST(WatchServer, StreamsAreCappedAndClientsThatLeaveAreLetGo) {
  Served s;
  std::string first;
  std::vector<int> fds;
  fds.push_back(open_stream(s.server.port(), &first));
  EXPECT_NE(first.find("text/event-stream"), std::string::npos);
  EXPECT_NE(first.find("event: summary"), std::string::npos);
  for (int i = 1; i < talva::talvawatch::kMaxStreams; ++i) fds.push_back(open_stream(s.server.port()));
  EXPECT_EQ(s.server.streams(), talva::talvawatch::kMaxStreams);
  // one more is refused, and plain requests are still served
  std::string refused;
  const int extra = open_stream(s.server.port(), &refused);
  EXPECT_EQ(refused.substr(0, 12), "HTTP/1.1 503");
  ::close(extra);
  EXPECT_TRUE(s.serves());
  // the clients go away mid-stream; the next dumps find them gone
  for (int fd : fds) ::close(fd);
  EXPECT_TRUE(eventually([&] {
    s.f.add(1);
    return s.server.streams() == 0;
  }));
  EXPECT_TRUE(s.serves());
  const int again = open_stream(s.server.port(), &first);
  EXPECT_NE(first.find("event: summary"), std::string::npos);
  ::close(again);
}

TEST(WatchServer, StopEndsOpenStreams) {
  auto s = std::make_unique<Served>();
  const int fd = open_stream(s->server.port());
  ASSERT_GE(fd, 0);
  s->server.stop();  // returns although a stream is open
  EXPECT_EQ(s->server.streams(), 0);
  ::close(fd);
}

}  // namespace
