// Turns a crash of the process (a fault inside the language-model engine,
// whose code the helper does not control) into the helper's failure report:
// one line on standard error and exit status 1, nothing on standard output.
// Without it the host would see a signal, a core dump or a debugger's
// backtrace instead of the one line it reads.
#pragma once

#include <csignal>
#include <cstddef>
#include <vector>

namespace tavrin::llm {

// Writes `n` bytes of `line` to standard error and ends the process with
// exit status 1 at once (no destructors, no atexit handlers).
// Async-signal-safe: write(2) and _exit(2) only.
[[noreturn]] void writeLineAndExit(const char* line, size_t n);

// Installs handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT, on an
// alternate stack owned here, and restores the previous ones on
// destruction. One per process, in main.
class CrashGuard {
 public:
  CrashGuard();
  ~CrashGuard();
  CrashGuard(const CrashGuard&) = delete;
  CrashGuard& operator=(const CrashGuard&) = delete;

 private:
  std::vector<char> stack_;
  stack_t previousStack_{};
  std::vector<std::pair<int, struct sigaction>> previous_;
};

}  // namespace tavrin::llm
