// What the commands of tavrin-system-audio take and answer: the parsed
// requests of `record` and `live`, the `status` reply, and the encoding every
// reply is written in. Shared by the capture, recording and live layers and by
// the dispatch on top of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/json.h"

namespace tavrin::system_audio {

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

}  // namespace tavrin::system_audio
