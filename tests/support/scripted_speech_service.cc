#include "tests/support/scripted_speech_service.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include "common/capture_stream.h"

namespace tavrin::speech {
namespace {

// "en-US" and "en_us" alike: lower case, underscores; `language` keeps only the part before the first one.
std::string normalised(std::string identifier, bool language = false) {
  std::replace(identifier.begin(), identifier.end(), '-', '_');
  for (char& c : identifier) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return language ? identifier.substr(0, identifier.find('_')) : identifier;
}

class ScriptedRecognizer final : public Recognizer {
 public:
  ScriptedRecognizer(RecognizerScript script, std::shared_ptr<RecognizerLog> log, bool translates)
      : script_(std::move(script)), log_(std::move(log)), translates_(translates) {}
  ~ScriptedRecognizer() override { queue_.finish(); }

  void setContextualStrings(const std::vector<std::string>& phrases) override { log_->recordContext(phrases); }

  bool translateFinalsToEnglish() override { return asked_ = translates_; }

  void acceptWaveform(const PcmBuffer& buffer) override {
    log_->recordBuffer(buffer);
    fed_ += buffer.frameLength();
    release(fed_);
  }

  void inputFinished() override {
    release(UINT64_MAX);
    log_->recordFinished();
    queue_.finish();
  }

  std::optional<RecognitionResult> nextResult() override {
    const bool failing = !script_.failResultsText.empty();
    if (failing && read_ == script_.failResultsAfter) {
      ++read_;  // fails once; afterwards the sequence has ended
      throw SpeechServiceError(script_.failResultsText);
    }
    if (failing && read_ > script_.failResultsAfter) return std::nullopt;
    std::optional<RecognitionResult> result = queue_.next();
    if (!result) return std::nullopt;
    ++read_;
    if (!asked_) result->english.reset();
    return result;
  }

 private:
  // Queues the results due once `frames` frames have been fed.
  void release(uint64_t frames) {
    for (; next_ < script_.results.size() && script_.results[next_].afterFrames <= frames; ++next_) {
      queue_.add(script_.results[next_].result);
    }
  }

  RecognizerScript script_;
  std::shared_ptr<RecognizerLog> log_;
  UnboundedStream<RecognitionResult> queue_;
  uint64_t fed_ = 0;
  size_t next_ = 0;
  size_t read_ = 0;
  bool translates_;
  bool asked_ = false;
};

}  // namespace

void RecognizerLog::recordContext(const std::vector<std::string>& phrases) {
  std::lock_guard lock(mutex_);
  context_ = phrases;
}

void RecognizerLog::recordBuffer(const PcmBuffer& buffer) {
  std::lock_guard lock(mutex_);
  chunks_.push_back(buffer.frameLength());
  formats_.push_back(buffer.format());
  if (const float* data = buffer.floatChannel(0)) samples_.insert(samples_.end(), data, data + buffer.frameLength());
}

void RecognizerLog::recordFinished() {
  std::lock_guard lock(mutex_);
  finished_ = true;
}

void ScriptedSpeechService::record(const std::string& call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(call);
}

std::optional<std::string> ScriptedSpeechService::supportedLocale(const std::string& localeIdentifier) {
  record("match:" + localeIdentifier);
  for (const bool language : {false, true}) {
    for (const ScriptedLocale& l : locales) {
      if (!localeIdentifier.empty() && normalised(l.identifier, language) == normalised(localeIdentifier, language))
        return l.identifier;
    }
  }
  return std::nullopt;
}

std::vector<std::string> ScriptedSpeechService::supportedLocales() {
  std::vector<std::string> out;
  for (const ScriptedLocale& l : locales) out.push_back(l.identifier);
  return out;
}

ScriptedLocale* ScriptedSpeechService::find(const std::string& identifier) {
  const auto it = std::find_if(locales.begin(), locales.end(), [&](auto& l) { return l.identifier == identifier; });
  return it == locales.end() ? nullptr : &*it;
}

AssetStatus ScriptedSpeechService::assetStatus(const std::string& localeIdentifier) {
  const ScriptedLocale* l = find(localeIdentifier);
  return l ? l->status : AssetStatus::kUnsupported;
}

void ScriptedSpeechService::installAssets(const std::string& localeIdentifier, const KeepWaiting& keepWaiting) {
  record("install:" + localeIdentifier);
  if (!failInstall.empty()) throw SpeechServiceError(failInstall);
  if (installWaits) {
    while (keepWaiting()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    throw SpeechServiceError("The download was stopped.");
  }
  ScriptedLocale* l = find(localeIdentifier);
  if (!l || l->status == AssetStatus::kUnsupported)
    throw SpeechServiceError("No speech model is known for locale " + localeIdentifier + ".");
  l->status = AssetStatus::kInstalled;
}

std::unique_ptr<Recognizer> ScriptedSpeechService::makeRecognizer(const std::string& localeIdentifier,
                                                                  ReportingMode mode) {
  record("make:" + localeIdentifier);
  std::lock_guard lock(mutex_);
  RecognizerScript script = nextScript_ < scripts.size() ? scripts[nextScript_] : RecognizerScript{};
  ++nextScript_;
  auto log = std::make_shared<RecognizerLog>();
  log->locale = localeIdentifier;
  log->mode = mode;
  logs_.push_back(log);
  return std::make_unique<ScriptedRecognizer>(std::move(script), std::move(log),
                                              englishTranslation(localeIdentifier) == AssetStatus::kInstalled);
}

AssetStatus ScriptedSpeechService::englishTranslation(const std::string& localeIdentifier) {
  const ScriptedLocale* l = find(localeIdentifier);
  return l ? l->english : AssetStatus::kUnsupported;
}

}  // namespace tavrin::speech
