// tavrin-system-audio: dispatch of the five commands, the replies, and the
// failure path. main() only builds the real platform and calls run().
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "system-audio/base/arguments.h"
#include "system-audio/base/requests.h"
#include "system-audio/base/system_env.h"

namespace tavrin::system_audio {

enum ExitStatus : int {
  kExitSuccess = 0,
  kExitFailure = 1,
};

// The operations dispatch reaches. Each throws on failure (SystemAudioError,
// CoreAudioError, PlatformError, ...); the entry point reports it.
struct Commands {
  std::function<SystemAudioStatus()> status;
  std::function<EncodedReply(uint64_t seconds)> probe;
  std::function<EncodedReply(const RecordRequest&)> record;
  std::function<void(const LiveRequest&)> live;
  std::function<EncodedReply(const std::optional<std::string>& source, const std::string& target)> translationStatus;
};

struct Platform {
  SystemEnv& env;
  PlatformGates& gates;
  Commands commands;
};

class TavrinSystemAudio {
 public:
  // Runs one command. Writes the reply (or, for live, nothing further) on
  // standard output; on failure writes exactly one line on standard error
  // and nothing more on standard output. Returns the exit status.
  static ExitStatus run(const Arguments& arguments, Platform& platform);

  // The process entry: builds the real platform and runs.
  static int main(int argc, char** argv);
};

// The operations of this build, with the real system underneath.
Commands realCommands(SystemEnv& env, PlatformGates& gates);
PlatformGates& realGates();

}  // namespace tavrin::system_audio
