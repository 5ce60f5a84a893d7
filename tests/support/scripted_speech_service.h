// A speech service that plays a script, for exact protocol tests.
//
// The test describes the service's answers (availability, locales, asset states, input format, install outcome) and,
// per recognizer, the results to give and where to fail. Each recognizer records what it was given in a RecognizerLog
// the test keeps (shared, so it outlives the recognizer).
//
// Results are released by fed frames: a scripted result with afterFrames = n is queued once at least n frames have been
// fed (on the feeding thread, inside acceptWaveform); the rest are queued by inputFinished(), after which the sequence
// ends (or fails, when the script says so).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "speech-service/speech_service.h"

namespace tavrin::speech {

struct ScriptedResult {
  RecognitionResult result;  // its `english` reaches the reader only when the recognizer was asked to translate
  uint64_t afterFrames = 0;
};

struct RecognizerScript {
  std::vector<ScriptedResult> results;
  // After this many results have been read, nextResult() throws this text.
  std::string failResultsText;
  size_t failResultsAfter = 0;
};

// A copy of `value` taken under `mutex`.
template <typename T>
T lockedCopy(std::mutex& mutex, const T& value) {
  std::lock_guard lock(mutex);
  return value;
}

// What a recognizer was given. Thread-safe.
class RecognizerLog {
 public:
  void recordContext(const std::vector<std::string>& phrases);
  void recordBuffer(const PcmBuffer& buffer);
  void recordFinished();

  std::optional<std::vector<std::string>> contextualStrings() const { return lockedCopy(mutex_, context_); }
  std::vector<uint32_t> chunkFrames() const { return lockedCopy(mutex_, chunks_); }
  std::vector<PcmFormat> chunkFormats() const { return lockedCopy(mutex_, formats_); }
  // Every sample fed (channel 0 of float buffers), in order.
  std::vector<float> samples() const { return lockedCopy(mutex_, samples_); }
  bool finished() const { return lockedCopy(mutex_, finished_); }
  std::string locale;
  ReportingMode mode = ReportingMode::kTranscription;

 private:
  mutable std::mutex mutex_;
  std::optional<std::vector<std::string>> context_;
  std::vector<uint32_t> chunks_;
  std::vector<PcmFormat> formats_;
  std::vector<float> samples_;
  bool finished_ = false;
};

struct ScriptedLocale {
  std::string identifier;  // as supportedLocale() answers it (en_US)
  AssetStatus status = AssetStatus::kInstalled;
  AssetStatus english = AssetStatus::kUnsupported;  // englishTranslation(); kInstalled: its recognizers translate
};

class ScriptedSpeechService final : public SpeechService {
 public:
  bool available = true;
  std::vector<ScriptedLocale> locales = {{"en_US", AssetStatus::kInstalled}};
  std::optional<PcmFormat> format = PcmFormat::float32(16000, 1);
  // installAssets(): when set, throws this text; otherwise marks the locale installed.
  std::string failInstall;
  // installAssets(): when set, waits until it is told to stop waiting, then
  // throws "The download was stopped.".
  bool installWaits = false;
  // fallbackNotice(): this text, once.
  std::optional<std::string> notice;
  // Script for the next recognizers, in order; an empty script when they run out.
  std::vector<RecognizerScript> scripts;

  bool isAvailable() override { return available; }
  std::optional<std::string> supportedLocale(const std::string& localeIdentifier) override;
  std::vector<std::string> supportedLocales() override;
  AssetStatus assetStatus(const std::string& localeIdentifier) override;
  void installAssets(const std::string& localeIdentifier, const KeepWaiting& keepWaiting) override;
  std::optional<PcmFormat> inputFormat(const std::string&) override { return format; }
  std::unique_ptr<Recognizer> makeRecognizer(const std::string& localeIdentifier, ReportingMode mode) override;
  std::optional<std::string> fallbackNotice(const std::string&) override {
    std::lock_guard lock(mutex_);
    return std::exchange(notice, std::nullopt);
  }
  AssetStatus englishTranslation(const std::string& localeIdentifier) override;

  // Every supportedLocale / installAssets call, in order ("match:xx", "install:xx", "make:xx").
  std::vector<std::string> calls() const { return lockedCopy(mutex_, calls_); }
  // Logs of the recognizers made so far, in order.
  std::vector<std::shared_ptr<RecognizerLog>> recognizers() const { return lockedCopy(mutex_, logs_); }

 private:
  void record(const std::string& call);
  ScriptedLocale* find(const std::string& identifier);  // in `locales`, or null

  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<std::shared_ptr<RecognizerLog>> logs_;
  size_t nextScript_ = 0;
};

}  // namespace tavrin::speech
