// Every effect of tavrin-system-audio on the operating system outside audio
// capture goes through SystemEnv: the process tree, the file system, time,
// the standard streams, and the capability gates. RealSystemEnv is the
// running system; FakeSystemEnv (tests/support) scripts all of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace tavrin::system_audio {

// What this machine can do. The process-tap gate holds when system audio can
// be captured directly from the sound server (a reachable server with a
// default sink and its monitor); without it, recording and status fall back
// to the screen-capture path. The on-device-services gate holds when the
// speech, translation and language-model services are built in.
class PlatformGates {
 public:
  virtual ~PlatformGates() = default;
  virtual bool processTapAvailable() = 0;
  virtual bool onDeviceServicesAvailable() = 0;
};

class SystemEnv {
 public:
  virtual ~SystemEnv() = default;

  virtual pid_t parentProcessId() = 0;
  // Whether anything exists at `path`, following symbolic links. A path whose
  // existence cannot be established counts as not existing.
  virtual bool pathExists(const std::string& path) = 0;
  virtual void sleepFor(std::chrono::nanoseconds duration) = 0;
  // A clock that never jumps, in nanoseconds; only differences matter.
  virtual uint64_t monotonicNanos() = 0;
  // Writes one line (a line feed is added) to standard output / error.
  // Returns 0 or the errno of the failed write.
  virtual int writeStdoutLine(std::string_view line) = 0;
  virtual int writeStderrLine(std::string_view line) = 0;
};

// The running system. Thread-safe.
class RealSystemEnv final : public SystemEnv {
 public:
  pid_t parentProcessId() override;
  bool pathExists(const std::string& path) override;
  void sleepFor(std::chrono::nanoseconds duration) override;
  uint64_t monotonicNanos() override;
  int writeStdoutLine(std::string_view line) override;
  int writeStderrLine(std::string_view line) override;
};

// Reads CLOCK_MONOTONIC in nanoseconds.
uint64_t monotonicNowNanos();

}  // namespace tavrin::system_audio
