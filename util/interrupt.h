#pragma once
// SIGINT and SIGTERM end a run at a clean point.
//
// run_main() installs a handler that only records the signal (system calls
// it interrupts return EINTR: a read waiting on a pipe ends). The programs
// look at it where stopping is safe (between dumps, before writing their
// files) and leave through a Stop with status 128 + the signal number, so
// every temporary is dropped and no output is replaced. A second signal
// before the program got there ends it at once. SIGPIPE is ignored: when
// the reader of standard output goes away, the write that finds it gone
// (EPIPE) asks for the same clean stop, with status 128 + SIGPIPE. A
// fatal stop met after a signal (a wait for an input that the signal cut
// short) ends with the signal's status too.
#include <string>

namespace talva {

/// Installs the handler for SIGINT and SIGTERM.
void install_interrupt_handler();

/// Asks for the clean stop of signal `sig` without a signal (the first
/// request or signal counts).
void request_stop(int sig);

/// The signal received (0: none).
int interrupt_signal();

/// "SIGINT" or "SIGTERM" (or the number).
std::string signal_name(int sig);

/// Stops with status 128 + signal and the message "interrupted by <SIGNAL><what>"
/// when a signal was received.
void stop_if_interrupted(const std::string& what = "");

}  // namespace talva
