// The translation-status command: whether a language pair can be translated
// on this machine.
#pragma once

#include <optional>
#include <string>

#include "common/json.h"
#include "system-audio/live/translation.h"

namespace tavrin::system_audio {

struct TranslationStatusResponse {
  std::string status;  // "sameLanguage", "installed", "needsDownload" or "unsupported"
  std::string source;  // the source locale's identifier
  std::string target;  // the target argument, verbatim
  void encode(JsonBuilder& json) const;
};

// `source` is --source (absent or empty: `currentLocale`), `target` is
// --target. Only the language codes are compared for "sameLanguage"; the
// services are not asked then. Otherwise the answer is what a live channel
// of that language would write (planTranslation(), with `speech`'s locale
// equivalent to the source). Never fails.
TranslationStatusResponse translationStatus(const std::optional<std::string>& source, const std::string& target,
                                            TranslationService& service, const std::string& currentLocale,
                                            speech::SpeechService* speech = nullptr);

}  // namespace tavrin::system_audio
