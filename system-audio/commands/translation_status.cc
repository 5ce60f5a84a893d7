#include "system-audio/commands/translation_status.h"

#include "common/locale.h"

namespace tavrin::system_audio {

void TranslationStatusResponse::encode(JsonBuilder& json) const {
  json.beginObject().field("status", status).field("source", source).field("target", target).endObject();
}

TranslationStatusResponse translationStatus(const std::optional<std::string>& source, const std::string& target,
                                            TranslationService& service, const std::string& currentLocale) {
  TranslationStatusResponse response;
  response.source = requestedLocale(source, currentLocale);
  response.target = target;
  std::optional<std::string> from = languageCode(response.source);
  std::optional<std::string> to = languageCode(target);
  if (sameLanguage(from, to)) {
    response.status = "sameLanguage";
  } else {
    response.status = translationStatusName(service.status(from, to));
  }
  return response;
}

}  // namespace tavrin::system_audio
