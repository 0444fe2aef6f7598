#include "support/testsupport.h"

#include "support/uvcheck.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "util/stop.h"

namespace talva::test {

TempDir::TempDir() {
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto p = base / ("talva-test-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
    std::error_code ec;
    if (std::filesystem::create_directory(p, ec)) {
      path_ = p;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  // Whatever datasets the test left here are read by MIRIAD's own library too.
  check_datasets_with_miriad(path_);
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string bin(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  return std::string(TALVA_BIN_DIR) + "/" + name;
}

std::string on_path(const std::string& name) {
  std::stringstream path(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin");
  std::string d;
  while (std::getline(path, d, ':'))
    if (std::filesystem::exists(d + "/" + name)) return d + "/" + name;
  return name;
}

RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
              const std::string& input) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe(in_pipe) != 0 || ::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) throw std::runtime_error("pipe");
  std::string path = bin(program);
  std::vector<std::string> argv_s{path};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[0]);
    ::close(err_pipe[1]);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  // Feed the input and collect both outputs without blocking on either.
  RunResult r;
  std::size_t written = 0;
  int fd_in = in_pipe[1];
  if (input.empty()) {
    ::close(fd_in);
    fd_in = -1;
  } else
    ::fcntl(fd_in, F_SETFL, O_NONBLOCK);
  bool out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open) {
    pollfd fds[3];
    int n = 0;
    int io = -1, ie = -1, ii = -1;
    if (out_open) {
      fds[n] = {out_pipe[0], POLLIN, 0};
      io = n++;
    }
    if (err_open) {
      fds[n] = {err_pipe[0], POLLIN, 0};
      ie = n++;
    }
    if (fd_in >= 0) {
      fds[n] = {fd_in, POLLOUT, 0};
      ii = n++;
    }
    if (::poll(fds, static_cast<nfds_t>(n), -1) < 0) continue;
    if (io >= 0 && fds[io].revents) {
      ssize_t k = ::read(out_pipe[0], buf, sizeof buf);
      if (k > 0)
        r.out.append(buf, static_cast<std::size_t>(k));
      else
        out_open = false;
    }
    if (ie >= 0 && fds[ie].revents) {
      ssize_t k = ::read(err_pipe[0], buf, sizeof buf);
      if (k > 0)
        r.err.append(buf, static_cast<std::size_t>(k));
      else
        err_open = false;
    }
    if (ii >= 0 && fds[ii].revents) {
      ssize_t k = ::write(fd_in, input.data() + written, input.size() - written);
      if (k > 0) written += static_cast<std::size_t>(k);
      if (k < 0 || written >= input.size()) {
        ::close(fd_in);
        fd_in = -1;
      }
    }
  }
  if (fd_in >= 0) ::close(fd_in);
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  int st = 0;
  ::waitpid(pid, &st, 0);
  if (WIFEXITED(st))
    r.status = WEXITSTATUS(st);
  else if (WIFSIGNALED(st))
    r.status = 128 + WTERMSIG(st);
  return r;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::vector<unsigned char> read_bytes(const std::string& path) {
  std::string s = read_file(path);
  return {s.begin(), s.end()};
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot write " + path);
  f << text;
}

std::pair<std::string, std::string> run_recorded(const std::function<void(talva::Output&)>& f) {
  StringOutput out;
  std::string message;
  try {
    f(out);
  } catch (const Stop& s) {
    message = s.message();
  }
  return {out.text(), message};
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      out.push_back(cur);
      cur.clear();
    } else
      cur.push_back(c);
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

}  // namespace talva::test
