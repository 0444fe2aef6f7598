#pragma once
// One way out of a program on a fatal condition.
//
// A routine that meets a fatal condition throws talva::Stop with the message
// the program must print; the program's main catches it in run_main(),
// prints the message on the stream it names and returns the exit status.
// No routine below main calls exit().
#include <exception>
#include <functional>
#include <string>

namespace talva {

enum class Channel {
  Stdout,  ///< the programs' own messages (standard output)
  Stderr,  ///< MIRIAD-style "### Fatal Error:" messages of the keyword and dataset layers
};

class Stop : public std::exception {
 public:
  /// `message` is printed as one line (a trailing newline is added); an empty
  /// message prints nothing. `status` is the exit status (non-zero).
  explicit Stop(std::string message, int status = 1, Channel channel = Channel::Stdout)
      : message_(std::move(message)), status_(status), channel_(channel) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }
  int status() const { return status_; }
  Channel channel() const { return channel_; }

 private:
  std::string message_;
  int status_;
  Channel channel_;
};

/// Throws a Stop whose message goes to standard output.
[[noreturn]] void stop(const std::string& message, int status = 1);

/// Runs a program body: returns its status, or prints the message of a Stop
/// (after flushing standard output) and returns its status. Any other
/// exception is reported as an internal error with status 2.
int run_main(const std::function<int()>& body);

}  // namespace talva
