#include "system-audio/live/events.h"

namespace tavrin::system_audio {

const char* rawValue(AudioChannel channel) {
  return channel == AudioChannel::kMic ? "mic" : "system";
}

void LiveSegmentEvent::encode(JsonBuilder& json) const {
  json.beginObject()
      .field("type", "segment")
      .field("source", source)
      .field("id", id)
      .field("text", text)
      .field("isFinal", isFinal)
      .field("startMs", startMs)
      .field("endMs", endMs)
      .endObject();
}

void LiveTranslationEvent::encode(JsonBuilder& json) const {
  json.beginObject()
      .field("type", "translation")
      .field("source", source)
      .field("id", id)
      .field("text", text)
      .endObject();
}

void LiveStatusEvent::encode(JsonBuilder& json) const {
  json.beginObject()
      .field("type", "status")
      .field("translationStatus", translationStatus)
      .field("sourceLocale", sourceLocale)
      .optionalField("targetLanguage", targetLanguage)
      .endObject();
}

void LiveErrorEvent::encode(JsonBuilder& json) const {
  json.beginObject().field("type", "error").field("message", message).endObject();
}

}  // namespace tavrin::system_audio
