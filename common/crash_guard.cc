#include "common/crash_guard.h"

#include <unistd.h>

#include <cstring>

namespace tavrin {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

}  // namespace

void writeLineAndExit(const char* line, size_t n) {
  for (size_t written = 0; written < n;) {
    const ssize_t w = ::write(STDERR_FILENO, line + written, n - written);
    if (w <= 0) break;
    written += static_cast<size_t>(w);
  }
  ::_exit(1);
}

void reportAbortAndExit(const char* head, const char* message) {
  char line[1024];
  size_t n = 0;
  for (const char* p = head; *p != '\0' && n < sizeof line / 2; ++p) line[n++] = *p;
  const size_t headLength = n;
  for (const char* p = message; p != nullptr && *p != '\0' && n < sizeof line - 2; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    line[n++] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : ' ';
  }
  while (n > headLength && line[n - 1] == ' ') --n;
  line[n++] = '\n';
  writeLineAndExit(line, n);
}

CrashGuard::CrashGuard(Report report) : stack_(static_cast<size_t>(SIGSTKSZ) + 65536) {
  stack_t stack{};
  stack.ss_sp = stack_.data();
  stack.ss_size = stack_.size();
  ::sigaltstack(&stack, &previousStack_);
  struct sigaction action {};
  action.sa_handler = report;
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

}  // namespace tavrin
