#include "system-audio/commands/translation_status.h"

#include "common/locale.h"

namespace tavrin::system_audio {

void TranslationStatusResponse::encode(JsonBuilder& json) const {
  json.beginObject().field("status", status).field("source", source).field("target", target).endObject();
}

TranslationStatusResponse translationStatus(const std::optional<std::string>& source, const std::string& target,
                                            TranslationService& service, const std::string& currentLocale,
                                            speech::SpeechService* speech) {
  TranslationStatusResponse response;
  response.source = requestedLocale(source, currentLocale);
  response.target = target;
  std::optional<std::string> from = languageCode(response.source);
  std::optional<std::string> to = languageCode(target);
  if (from == to) {  // both absent too: neither names a language
    response.status = "sameLanguage";
  } else {
    speech::AssetStatus spoken = speech::AssetStatus::kUnsupported;
    if (speech) {
      if (const std::optional<std::string> locale = speech->supportedLocale(response.source))
        spoken = speech->englishTranslation(*locale);
    }
    response.status = translationStatusName(planTranslation(from, to, spoken, service).availability);
  }
  return response;
}

}  // namespace tavrin::system_audio
