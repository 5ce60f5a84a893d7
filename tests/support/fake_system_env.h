// A scripted system for tests: a virtual clock that sleeping advances, a set
// of existing paths, a parent process ID the test can change, and captured
// standard streams. Sleeping runs the test's hook first, so a test can make a
// stop file appear (or the parent exit) after a given number of pauses.
#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "system-audio/base/system_env.h"

namespace tavrin::testing {

class FakeSystemEnv final : public system_audio::SystemEnv {
 public:
  pid_t parentProcessId() override;
  bool pathExists(const std::string& path) override;
  void sleepFor(std::chrono::nanoseconds duration) override;
  uint64_t monotonicNanos() override;
  int writeStdoutLine(std::string_view line) override;
  int writeStderrLine(std::string_view line) override;

  void setParent(pid_t pid);
  void addPath(const std::string& path);
  // Called at the start of every sleepFor with the number of earlier sleeps.
  void onSleep(std::function<void(int sleepsSoFar)> hook) { hook_ = std::move(hook); }
  // When set, writes to standard output fail with this errno.
  void failStdoutWith(int error) { stdoutError_ = error; }

  std::vector<std::string> stdoutLines() const;
  std::vector<std::string> stderrLines() const;
  int sleeps() const;
  uint64_t nanos() const;

 private:
  mutable std::mutex mutex_;
  pid_t parent_ = 100;
  std::set<std::string> paths_;
  uint64_t now_ = 1'000'000'000;
  int sleeps_ = 0;
  int stdoutError_ = 0;
  std::function<void(int)> hook_;
  std::vector<std::string> out_, err_;
};

// Gates that pose as any platform.
class FakeGates final : public system_audio::PlatformGates {
 public:
  FakeGates(bool processTap, bool onDeviceServices) : tap_(processTap), services_(onDeviceServices) {}
  bool processTapAvailable() override { return tap_; }
  bool onDeviceServicesAvailable() override { return services_; }

 private:
  bool tap_;
  bool services_;
};

}  // namespace tavrin::testing
