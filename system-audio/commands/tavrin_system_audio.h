// tavrin-system-audio: dispatch of the five commands, the replies, and the
// failure path. main() only builds the real platform and calls run().
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/json.h"
#include "system-audio/commands/arguments.h"
#include "system-audio/commands/system_env.h"

namespace tavrin::system_audio {

enum ExitStatus : int {
  kExitSuccess = 0,
  kExitFailure = 1,
};

// Reply of `status`.
struct SystemAudioStatus {
  bool available = false;
  std::string status;  // "available", "unavailable" or "no_display"
  std::optional<std::string> reason;
  void encode(JsonBuilder& json) const;
};

struct RecordRequest {
  std::string outputPath;
  std::optional<uint64_t> seconds;
  std::optional<std::string> stopFilePath;
  std::optional<std::string> startFilePath;
};

struct LiveRequest {
  std::optional<std::string> language;
  std::optional<std::string> translateTo;
  std::optional<std::string> stopFilePath;
  bool micEnabled = true;
  bool systemEnabled = true;
  bool echoCancellation = false;
};

// A reply already encoded as one compact JSON object (solidus escaped).
using EncodedReply = std::string;

// Encodes any record with an encode(JsonBuilder&) member the way this program
// writes its replies.
template <typename Record>
EncodedReply encodeReply(const Record& record) {
  JsonBuilder json(SlashStyle::kEscaped);
  record.encode(json);
  return json.take();
}

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
