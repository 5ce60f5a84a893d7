#include "system-audio/base/stop_signals.h"

namespace tavrin::system_audio {

void StreamDeathWatcher::streamDidStop(std::string errorDescription) {
  std::lock_guard lock(mutex_);
  stoppedError_ = std::move(errorDescription);
}

std::optional<std::string> StreamDeathWatcher::error() const {
  std::lock_guard lock(mutex_);
  return stoppedError_;
}

bool stopSignalPending(const std::optional<std::string>& stopFilePath, SystemEnv& env) {
  const std::optional<pid_t> startParent = env.startParentProcessId();
  if (startParent && env.parentProcessId() != *startParent) return true;
  if (stopFilePath && env.pathExists(*stopFilePath)) return true;
  return env.terminationSignalPending();
}

void waitForStopSignal(const std::optional<std::string>& stopFilePath, const StreamDeathWatcher* watcher,
                       SystemEnv& env) {
  struct Reached {
    SystemEnv& env;
    ~Reached() { env.stopReached(); }
  } reached{env};
  const pid_t entryParent = env.parentProcessId();
  const std::optional<pid_t> startParent = env.startParentProcessId();
  for (;;) {
    const pid_t parent = env.parentProcessId();
    if (parent != entryParent || (startParent && parent != *startParent)) {
      env.writeStderrLine("parent process exited; stopping capture");
      return;
    }
    if (stopFilePath && env.pathExists(*stopFilePath)) return;
    if (watcher != nullptr && watcher->error()) return;
    if (env.sleepUnlessSignalled(std::chrono::milliseconds(100))) return;
  }
}

}  // namespace tavrin::system_audio
