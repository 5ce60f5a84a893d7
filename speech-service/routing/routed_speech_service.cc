#include "speech-service/routing/routed_speech_service.h"

#include <algorithm>

#include "common/locale.h"

namespace tavrin::speech {

bool RoutedSpeechService::fallbackServes(const std::string& identifier) {
  const std::optional<std::string> locale = fallback_.supportedLocale(identifier);
  return locale && fallback_.assetStatus(*locale) == AssetStatus::kInstalled;
}

SpeechService& RoutedSpeechService::serviceFor(const std::string& identifier) {
  if (preferred_.supportedLocale(identifier)) return preferred_;
  if (onDemand_ == nullptr && english_ == nullptr) return fallback_;
  // A model of the fallback's, installed or being put in place, stays its.
  if (const std::optional<std::string> locale = fallback_.supportedLocale(identifier)) {
    const AssetStatus status = fallback_.assetStatus(*locale);
    if (status == AssetStatus::kInstalled || status == AssetStatus::kDownloading) return fallback_;
  }
  for (SpeechService* other : {english_, onDemand_}) {
    if (other != nullptr && other->supportedLocale(identifier)) return *other;
  }
  return fallback_;
}

bool RoutedSpeechService::isAvailable() {
  return fallback_.isAvailable() || preferred_.isAvailable();
}

std::optional<std::string> RoutedSpeechService::supportedLocale(const std::string& identifier) {
  // A whole model of the user's answers for its locale as before; one that
  // is not whole leaves it to the fallback, which serves it meanwhile.
  if (preferred_.supportedLocale(identifier) && preferred_.assetStatus(identifier) == AssetStatus::kInstalled) {
    return preferred_.supportedLocale(identifier);
  }
  if (fallbackServes(identifier)) return fallback_.supportedLocale(identifier);
  return serviceFor(identifier).supportedLocale(identifier);
}

std::vector<std::string> RoutedSpeechService::supportedLocales() {
  std::vector<std::string> locales = fallback_.supportedLocales();
  std::vector<std::string> languages;
  for (const std::string& locale : locales) languages.push_back(localeParts(locale).language);
  for (SpeechService* other : {&preferred_, english_, onDemand_}) {
    if (other == nullptr) continue;
    for (const std::string& locale : other->supportedLocales()) {
      const std::string language = localeParts(locale).language;
      if (std::count(languages.begin(), languages.end(), language) > 0) continue;
      locales.push_back(locale);
      languages.push_back(language);
    }
  }
  return locales;
}

AssetStatus RoutedSpeechService::assetStatus(const std::string& identifier) {
  if (fallbackServes(identifier)) return AssetStatus::kInstalled;
  return serviceFor(identifier).assetStatus(identifier);
}

RoutedSpeechService::~RoutedSpeechService() {
  stopping_ = true;
  if (fetch_.joinable()) fetch_.join();
}

bool RoutedSpeechService::englishDue(const std::string& identifier) {
  // The better model is fetched when none of the user's serves the locale.
  return english_ != nullptr && !preferred_.supportedLocale(identifier) && english_->supportedLocale(identifier) &&
         english_->assetStatus(identifier) != AssetStatus::kInstalled;
}

void RoutedSpeechService::fetchInBackground(const std::string& identifier) {
  std::lock_guard lock(mutex_);
  if (fetch_.joinable()) return;
  fetch_ = std::thread([this, identifier] {
    try {
      english_->installAssets(identifier, [this] { return !stopping_.load(); });
    } catch (const SpeechServiceError&) {
      // The fallback goes on serving; the next run tries again.
    }
  });
}

void RoutedSpeechService::installAssets(const std::string& identifier, const KeepWaiting& keepWaiting) {
  if (!fallbackServes(identifier)) return serviceFor(identifier).installAssets(identifier, keepWaiting);
  // The fallback serves at once. Whatever keeps the better model away
  // (downloads off, no network, a bad download) leaves it serving, without
  // a word.
  if (!englishDue(identifier)) return;
  try {
    english_->installAssets(identifier, keepWaiting);
  } catch (const SpeechServiceError&) {
    // Served by the fallback.
  }
}

std::optional<PcmFormat> RoutedSpeechService::inputFormat(const std::string& identifier) {
  // Every engine here takes the same format; the fallback's stands for the
  // one its recognizers may come from.
  if (fallbackServes(identifier)) return fallback_.inputFormat(identifier);
  return serviceFor(identifier).inputFormat(identifier);
}

void RoutedSpeechService::notice(const std::string& identifier, const std::string& reason) {
  std::lock_guard lock(mutex_);
  if (noticed_.count(identifier) == 0) notices_.emplace(identifier, reason);
}

std::unique_ptr<Recognizer> RoutedSpeechService::makeRecognizer(const std::string& identifier, ReportingMode mode) {
  if (!fallbackServes(identifier)) return serviceFor(identifier).makeRecognizer(identifier, mode);
  for (SpeechService* better : {&preferred_, english_}) {
    if (better == nullptr || !better->supportedLocale(identifier)) continue;
    try {
      if (better->assetStatus(identifier) != AssetStatus::kInstalled) {
        // A model of the user's that is not whole says why; a download
        // not made yet is no reason.
        if (better == &preferred_) better->installAssets(identifier, [] { return false; });
        continue;
      }
      return better->makeRecognizer(identifier, mode);
    } catch (const SpeechServiceError& e) {
      notice(identifier, std::string(e.what()) + " " + identifier + " is transcribed by the built-in engine instead.");
      break;
    }
  }
  // Live subtitles never wait for a model: this run is the fallback's, the
  // next may be Whisper's.
  if (mode == ReportingMode::kLive && englishDue(identifier)) fetchInBackground(identifier);
  return fallback_.makeRecognizer(identifier, mode);
}

std::optional<std::string> RoutedSpeechService::fallbackNotice(const std::string& identifier) {
  std::lock_guard lock(mutex_);
  const auto found = notices_.find(identifier);
  if (found == notices_.end()) return std::nullopt;
  std::string reason = std::move(found->second);
  notices_.erase(found);
  noticed_.insert(identifier);
  return reason;
}

AssetStatus RoutedSpeechService::englishTranslation(const std::string& identifier) {
  return serviceFor(identifier).englishTranslation(identifier);
}

}  // namespace tavrin::speech
