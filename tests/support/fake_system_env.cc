#include "tests/support/fake_system_env.h"

namespace tavrin::testing {

pid_t FakeSystemEnv::parentProcessId() {
  std::lock_guard lock(mutex_);
  return parent_;
}

bool FakeSystemEnv::pathExists(const std::string& path) {
  std::lock_guard lock(mutex_);
  return paths_.count(path) > 0;
}

void FakeSystemEnv::sleepFor(std::chrono::nanoseconds duration) {
  int before;
  std::function<void(int)> hook;
  {
    std::lock_guard lock(mutex_);
    before = sleeps_;
    hook = hook_;
  }
  if (hook) hook(before);
  std::lock_guard lock(mutex_);
  ++sleeps_;
  now_ += static_cast<uint64_t>(duration.count());
}

uint64_t FakeSystemEnv::monotonicNanos() {
  std::lock_guard lock(mutex_);
  return now_;
}

int FakeSystemEnv::writeStdoutLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  if (stdoutError_ != 0) return stdoutError_;
  out_.emplace_back(line);
  return 0;
}

int FakeSystemEnv::writeStderrLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  err_.emplace_back(line);
  return 0;
}

void FakeSystemEnv::setParent(pid_t pid) {
  std::lock_guard lock(mutex_);
  parent_ = pid;
}

void FakeSystemEnv::addPath(const std::string& path) {
  std::lock_guard lock(mutex_);
  paths_.insert(path);
}

std::vector<std::string> FakeSystemEnv::stdoutLines() const {
  std::lock_guard lock(mutex_);
  return out_;
}

std::vector<std::string> FakeSystemEnv::stderrLines() const {
  std::lock_guard lock(mutex_);
  return err_;
}

int FakeSystemEnv::sleeps() const {
  std::lock_guard lock(mutex_);
  return sleeps_;
}

uint64_t FakeSystemEnv::nanos() const {
  std::lock_guard lock(mutex_);
  return now_;
}

}  // namespace tavrin::testing
