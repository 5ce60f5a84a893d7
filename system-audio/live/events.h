// The four records of the live event stream. Each encodes as one compact JSON
// object with "type" first and the other keys in the order declared here;
// absent optionals are left out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/json.h"

namespace tavrin::system_audio {

// The two live channels; the raw value is the "source" of their events.
enum class AudioChannel { kMic, kSystem };
const char* rawValue(AudioChannel channel);

struct LiveSegmentEvent {
  std::string source;
  int64_t id = 0;
  std::string text;
  bool isFinal = false;
  uint64_t startMs = 0;
  uint64_t endMs = 0;
  void encode(JsonBuilder& json) const;
};

struct LiveTranslationEvent {
  std::string source;
  int64_t id = 0;
  std::string text;
  void encode(JsonBuilder& json) const;
};

struct LiveStatusEvent {
  std::string translationStatus;
  std::string sourceLocale;
  std::optional<std::string> targetLanguage;
  void encode(JsonBuilder& json) const;
};

struct LiveErrorEvent {
  std::string message;
  void encode(JsonBuilder& json) const;
};

}  // namespace tavrin::system_audio
