#include "apple-llm/crash_guard.h"

#include <unistd.h>

#include <cstring>

namespace tavrin::llm {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Async-signal-safe: fixed texts, write(2) and _exit(2) only.
void reportCrash(int signal) {
  const char* line = "The language model failed: the process crashed.\n";
  switch (signal) {
    case SIGILL:
      line = "The language model failed: this CPU cannot run its instructions.\n";
      break;
    case SIGABRT:
      line = "The language model failed: it aborted.\n";
      break;
    default:
      break;
  }
  writeLineAndExit(line, std::strlen(line));
}

}  // namespace

void writeLineAndExit(const char* line, size_t n) {
  for (size_t written = 0; written < n;) {
    const ssize_t w = ::write(STDERR_FILENO, line + written, n - written);
    if (w <= 0) break;
    written += static_cast<size_t>(w);
  }
  ::_exit(1);
}

CrashGuard::CrashGuard() : stack_(static_cast<size_t>(SIGSTKSZ) + 65536) {
  stack_t stack{};
  stack.ss_sp = stack_.data();
  stack.ss_size = stack_.size();
  ::sigaltstack(&stack, &previousStack_);
  struct sigaction action {};
  action.sa_handler = &reportCrash;
  action.sa_flags = SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : kSignals) {
    struct sigaction old {};
    if (::sigaction(signal, &action, &old) == 0) previous_.emplace_back(signal, old);
  }
}

CrashGuard::~CrashGuard() {
  for (const auto& [signal, old] : previous_) ::sigaction(signal, &old, nullptr);
  ::sigaltstack(&previousStack_, nullptr);
}

}  // namespace tavrin::llm
