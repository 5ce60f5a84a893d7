// Every effect of tavrin-system-audio on the operating system outside audio
// capture goes through SystemEnv: the process tree, the file system, time,
// the standard streams, and the capability gates. RealSystemEnv is the
// running system; FakeSystemEnv (tests/support) scripts all of it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/unique_fd.h"

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

  // The parent process ID read when the command started, when known (the
  // real system reads it when it is made, first thing in main), so that a
  // wait that begins later still notices a parent that exited before it.
  virtual std::optional<pid_t> startParentProcessId() { return std::nullopt; }
  // From now on SIGTERM, SIGINT and SIGHUP are stop signals: instead of
  // ending the process they end the next or current
  // sleepUnlessSignalled(); the first one is reported once, and after it a
  // further one ends the process at once. Call before any thread starts.
  virtual void holdTerminationSignals() {}
  // Commands that are not stopped by signals: a termination signal ends
  // the process as usual again (one that came since the start does so now).
  virtual void releaseTerminationSignals() {}
  // The run has stopped (by whatever stop signal): held termination signals
  // that came with the stop are taken as part of it, and from now on a
  // further one ends the process at once, as after the first reported one,
  // so a stop that cannot finish (a write that blocks for ever) can still
  // be ended by a signal. Called on the thread that waited for the stop.
  virtual void stopReached() {}
  // Whether a held termination signal has come (reported or not). Does not
  // consume it; safe to call from any thread.
  virtual bool terminationSignalPending() { return false; }
  // Sleeps for `duration`, or less when a held termination signal comes;
  // returns whether one came. Called from one thread at a time.
  virtual bool sleepUnlessSignalled(std::chrono::nanoseconds duration) {
    sleepFor(duration);
    return false;
  }
};

// The running system. Thread-safe, except that sleepUnlessSignalled runs on
// one thread at a time. Held termination signals are read from a signalfd
// owned by this object; nothing is shared with a signal handler. Made first
// thing in main: it blocks SIGTERM, SIGINT and SIGHUP at once, so that one
// that comes in the first milliseconds, before the command is known, waits
// for holdTerminationSignals() or releaseTerminationSignals().
class RealSystemEnv final : public SystemEnv {
 public:
  RealSystemEnv();
  ~RealSystemEnv() override;
  RealSystemEnv(const RealSystemEnv&) = delete;
  RealSystemEnv& operator=(const RealSystemEnv&) = delete;

  pid_t parentProcessId() override;
  bool pathExists(const std::string& path) override;
  void sleepFor(std::chrono::nanoseconds duration) override;
  uint64_t monotonicNanos() override;
  int writeStdoutLine(std::string_view line) override;
  int writeStderrLine(std::string_view line) override;
  std::optional<pid_t> startParentProcessId() override { return startParent_; }
  void holdTerminationSignals() override;
  void releaseTerminationSignals() override;
  void stopReached() override;
  bool terminationSignalPending() override;
  bool sleepUnlessSignalled(std::chrono::nanoseconds duration) override;

 private:
  const pid_t startParent_;
  UniqueFd signalFd_;                   // open from holdTerminationSignals() to the end
  std::atomic<bool> signalled_{false};  // one was read from signalFd_
};

// Reads CLOCK_MONOTONIC in nanoseconds.
uint64_t monotonicNowNanos();

}  // namespace tavrin::system_audio
