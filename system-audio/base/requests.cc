#include "system-audio/base/requests.h"

namespace tavrin::system_audio {

void SystemAudioStatus::encode(JsonBuilder& json) const {
  json.beginObject().field("available", available).field("status", status).optionalField("reason", reason).endObject();
}

}  // namespace tavrin::system_audio
