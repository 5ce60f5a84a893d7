// The router in front of the speech engines: which service answers for a
// locale, and when a better model is fetched.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "speech-service/speech_service.h"

namespace tavrin::speech {

// Routes each locale to one of up to four services:
//   - `preferred`: the Whisper models the user has installed;
//   - `fallback`: the built-in engine (PocketSphinx);
//   - `english`: the English Whisper model downloaded on demand;
//   - `onDemand`: the multilingual Whisper model downloaded on demand.
// A locale the fallback has installed is answered for by the fallback
// (status, locale), since it can always be served; its recognizers come
// from the first Whisper service that has a model for it and can load it
// (preferred, then english), else from the fallback. Its installAssets()
// fetches the english model when that is due, and a failure to fetch it is
// no failure: the fallback serves. A live recognizer never waits for it:
// the first one the fallback makes while the english model is due starts
// its download on a thread of the router's (one per run; other processes
// wait for it through the installer's lock), and later runs use it. When a
// Whisper model could not be used, fallbackNotice() says why, once.
// Any other locale: the preferred service when it supports it; the fallback
// when its own model folder is being filled; then english, then onDemand;
// else the fallback. The supported locales are the fallback's, plus the
// others' of a language the fallback has no locale of.
// Thread-safe when the services are.
class RoutedSpeechService final : public SpeechService {
 public:
  RoutedSpeechService(SpeechService& preferred, SpeechService& fallback, SpeechService* onDemand = nullptr,
                      SpeechService* english = nullptr)
      : preferred_(preferred), fallback_(fallback), onDemand_(onDemand), english_(english) {}
  // Stops a download in the background (what it fetched stays for the next
  // run) and waits for it, within about a second.
  ~RoutedSpeechService() override;
  RoutedSpeechService(const RoutedSpeechService&) = delete;
  RoutedSpeechService& operator=(const RoutedSpeechService&) = delete;

  bool isAvailable() override;
  std::optional<std::string> supportedLocale(const std::string& localeIdentifier) override;
  std::vector<std::string> supportedLocales() override;
  AssetStatus assetStatus(const std::string& localeIdentifier) override;
  void installAssets(const std::string& localeIdentifier, const KeepWaiting& keepWaiting) override;
  std::optional<PcmFormat> inputFormat(const std::string& localeIdentifier) override;
  std::unique_ptr<Recognizer> makeRecognizer(const std::string& localeIdentifier, ReportingMode mode) override;
  std::optional<std::string> fallbackNotice(const std::string& localeIdentifier) override;
  AssetStatus englishTranslation(const std::string& localeIdentifier) override;

 private:
  SpeechService& serviceFor(const std::string& localeIdentifier);
  // Whether the fallback has the locale installed (and so answers for it).
  bool fallbackServes(const std::string& localeIdentifier);
  void notice(const std::string& localeIdentifier, const std::string& reason);
  // Whether the english model is to be fetched for a locale the fallback
  // serves.
  bool englishDue(const std::string& localeIdentifier);
  void fetchInBackground(const std::string& localeIdentifier);

  SpeechService& preferred_;
  SpeechService& fallback_;
  SpeechService* onDemand_;
  SpeechService* english_;
  std::mutex mutex_;
  std::map<std::string, std::string> notices_;  // by locale; guarded by mutex_
  std::set<std::string> noticed_;               // locales whose notice was taken
  std::thread fetch_;                           // the background download; started under mutex_
  std::atomic<bool> stopping_{false};
};

}  // namespace tavrin::speech
