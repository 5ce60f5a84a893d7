#include "system-audio/live/translation.h"

namespace tavrin::system_audio {

const char* translationStatusName(TranslationAvailability availability) {
  switch (availability) {
    case TranslationAvailability::kInstalled: return "installed";
    case TranslationAvailability::kSupported: return "needsDownload";
    case TranslationAvailability::kUnsupported: break;
  }
  return "unsupported";
}

namespace {

int rank(TranslationAvailability availability) {
  switch (availability) {
    case TranslationAvailability::kInstalled: return 2;
    case TranslationAvailability::kSupported: return 1;
    case TranslationAvailability::kUnsupported: break;
  }
  return 0;
}

}  // namespace

TranslationPlan planTranslation(const std::optional<std::string>& source, const std::optional<std::string>& target,
                                speech::AssetStatus spokenEnglish, TranslationService& service) {
  const TranslationAvailability direct = service.status(source, target);
  if (direct == TranslationAvailability::kInstalled || !target) return {direct, false};
  TranslationAvailability spoken = TranslationAvailability::kUnsupported;
  if (spokenEnglish == speech::AssetStatus::kInstalled) spoken = TranslationAvailability::kInstalled;
  if (spokenEnglish == speech::AssetStatus::kSupported || spokenEnglish == speech::AssetStatus::kDownloading)
    spoken = TranslationAvailability::kSupported;
  TranslationAvailability pivot = spoken;
  if (*target != "en" && spoken != TranslationAvailability::kUnsupported) {
    const TranslationAvailability onward = service.status(std::string("en"), target);
    if (rank(onward) < rank(pivot)) pivot = onward;
  }
  if (rank(pivot) > rank(direct)) return {pivot, true};
  return {direct, false};
}

}  // namespace tavrin::system_audio
