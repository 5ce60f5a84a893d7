#include "system-audio/live/translation.h"

#include <unicode/locid.h>

namespace tavrin::system_audio {

const char* translationStatusName(TranslationAvailability availability) {
  switch (availability) {
    case TranslationAvailability::kInstalled: return "installed";
    case TranslationAvailability::kSupported: return "needsDownload";
    case TranslationAvailability::kUnsupported: break;
  }
  return "unsupported";
}

std::optional<std::string> languageCode(const std::string& identifier) {
  // ICU accepts both "-" and "_" as separators and maps ISO 639-3 codes that
  // have a two-letter form to it ("deu" → "de"); "und" has no language.
  icu::Locale locale(identifier.c_str());
  if (locale.isBogus()) return std::nullopt;
  std::string code = locale.getLanguage();
  if (code.empty()) return std::nullopt;
  return code;
}

bool sameLanguage(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (!a && !b) return true;
  return a && b && *a == *b;
}

}  // namespace tavrin::system_audio
