// The stop signals of long runs (live, and record without --seconds): a stop
// file appearing, the parent process exiting, or a watched capture stream
// dying.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "system-audio/base/system_env.h"

namespace tavrin::system_audio {

// Records why a capture stream died. The stream's failure callback (on the
// sound server's thread) sets the error; the waiting command reads it.
class StreamDeathWatcher {
 public:
  // The stream stopped with this error; replaces any earlier one.
  void streamDidStop(std::string errorDescription);
  std::optional<std::string> error() const;

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> stoppedError_;
};

// Returns as soon as one condition holds, checking at once and then every
// 100 ms:
//  1. the parent process ID differs from the one read at entry, or from the
//     one read when the command started (the parent exited): writes
//     "parent process exited; stopping capture" to standard error first;
//  2. `stopFilePath` is given and something exists there (file, directory,
//     anything; it is neither read nor removed);
//  3. `watcher` is given and holds an error;
//  4. a held termination signal (SIGTERM, SIGINT, SIGHUP) came during a
//     pause (SystemEnv::holdTerminationSignals).
// It does not say which condition ended it.
void waitForStopSignal(const std::optional<std::string>& stopFilePath, const StreamDeathWatcher* watcher,
                       SystemEnv& env);

// Whether one of the stop signals above (the parent's exit, measured against
// the parent at the command's start; the stop file; a termination signal)
// has come, without consuming it: a wait that follows returns at once.
// Checked while capture still starts. Thread-safe.
bool stopSignalPending(const std::optional<std::string>& stopFilePath, SystemEnv& env);

}  // namespace tavrin::system_audio
