// A scripted system: a clock that sleeping advances, existing paths, the parent's PID and
// captured standard streams. Sleeping first runs the test's hook with the number of earlier
// sleeps (to make a stop file appear at a chosen pause). One thread at a time.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "system-audio/base/system_env.h"

namespace tavrin::testing {

class FakeSystemEnv final : public system_audio::SystemEnv {
 public:
  pid_t parentProcessId() override { return parent_; }
  std::optional<pid_t> startParentProcessId() override { return 100; }
  bool pathExists(const std::string& path) override { return paths_.count(path) > 0; }
  void sleepFor(std::chrono::nanoseconds duration) override {
    if (hook_) hook_(sleeps_);
    ++sleeps_;
    now_ += static_cast<uint64_t>(duration.count());
  }
  uint64_t monotonicNanos() override { return now_; }
  int writeStdoutLine(std::string_view line) override {
    if (stdoutError_ == 0) out_.emplace_back(line);
    return stdoutError_;
  }
  int writeStderrLine(std::string_view line) override {
    err_.emplace_back(line);
    return 0;
  }

  void setParent(pid_t pid) { parent_ = pid; }
  void addPath(const std::string& path) { paths_.insert(path); }
  void onSleep(std::function<void(int sleepsSoFar)> hook) { hook_ = std::move(hook); }
  void failStdoutWith(int error) { stdoutError_ = error; }
  const std::vector<std::string>& stdoutLines() const { return out_; }
  const std::vector<std::string>& stderrLines() const { return err_; }
  int sleeps() const { return sleeps_; }
  uint64_t nanos() const { return now_; }

 private:
  pid_t parent_ = 100;
  std::set<std::string> paths_;
  uint64_t now_ = 1'000'000'000;
  int sleeps_ = 0;
  int stdoutError_ = 0;
  std::function<void(int)> hook_;
  std::vector<std::string> out_, err_;
};

// Gates that pose as any platform.
struct FakeGates final : system_audio::PlatformGates {
  FakeGates(bool processTap, bool onDeviceServices) : tap(processTap), services(onDeviceServices) {}
  bool processTapAvailable() override { return tap; }
  bool onDeviceServicesAvailable() override { return services; }
  bool tap, services;
};

}  // namespace tavrin::testing
