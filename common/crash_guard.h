// Turns a crash of the process (a fault inside an engine library whose code
// the helpers do not control) into the helper's failure report: one line on
// standard error and exit status 1, nothing on standard output. Without it
// the host would see a signal, a core dump or a debugger's backtrace instead
// of the one line it reads.
#pragma once

#include <csignal>
#include <cstddef>
#include <vector>

namespace tavrin {

// Writes `n` bytes of `line` to standard error and ends the process with
// exit status 1 at once (no destructors, no atexit handlers).
// Async-signal-safe: write(2) and _exit(2) only.
[[noreturn]] void writeLineAndExit(const char* line, size_t n);

// For an engine's abort hook, which must not return: writes `head` followed
// by `message` (control and non-ASCII bytes as blanks, trailing blanks
// dropped, cut to one short line) and a line feed, then ends the process as
// writeLineAndExit does. Formats into a local buffer only, so it may run on
// any thread.
[[noreturn]] void reportAbortAndExit(const char* head, const char* message);

// Installs `report` for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT, on an
// alternate stack owned here, and restores the previous handlers on
// destruction. `report` must be async-signal-safe and end the process
// (writeLineAndExit). One per process, in main.
class CrashGuard {
 public:
  using Report = void (*)(int signal);
  explicit CrashGuard(Report report);
  ~CrashGuard();
  CrashGuard(const CrashGuard&) = delete;
  CrashGuard& operator=(const CrashGuard&) = delete;

 private:
  std::vector<char> stack_;
  stack_t previousStack_{};
  std::vector<std::pair<int, struct sigaction>> previous_;
};

}  // namespace tavrin
