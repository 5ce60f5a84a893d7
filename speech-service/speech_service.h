// The on-device speech service used by live subtitles and file
// transcription.
//
// SpeechService answers the questions asked before a run (availability,
// locales, assets, input format) and makes one Recognizer per run. A
// Recognizer is the per-stream state: audio goes in with acceptWaveform(),
// the end of input is announced with inputFinished(), and results come out of
// nextResult() in order until the sequence ends.
//
// Time line: buffers carry no time stamps; a recognizer's clock starts at 0
// with the first frame fed and advances by every frame fed.
//
// Threading: one thread feeds (acceptWaveform, inputFinished) while another
// reads results (nextResult); each side is used by one thread at a time.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/pcm_buffer.h"

namespace tavrin::speech {

// A failure of the service; what() is the description reported to the user.
class SpeechServiceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class AssetStatus {
  kUnsupported,  // no model is known for the locale
  kSupported,    // a model is known but not installed
  kDownloading,  // an install is in progress
  kInstalled,
};

// Asked during a long wait; false ends the wait.
using KeepWaiting = std::function<bool()>;

// How a recognizer reports.
enum class ReportingMode {
  kTranscription,  // whole-file transcription: final results are what matter
  kLive,           // live subtitles: volatile results as soon as the partial
                   // hypothesis changes, finals at each utterance end
};

// The engine's own English for one final result, decoded from the final's
// audio after the final. Filled once by the engine's thread; waited for by
// the reader of the results.
class EnglishOfFinal {
 public:
  void deliver(std::string text) { settle(std::move(text), {}); }
  void fail(std::string message) { settle({}, std::move(message)); }
  // Blocks until it is delivered; throws SpeechServiceError when it failed.
  std::string wait() {
    std::unique_lock lock(mutex_);
    settled_.wait(lock, [this] { return done_; });
    if (failure_) throw SpeechServiceError(*failure_);
    return text_;
  }

 private:
  void settle(std::string text, std::optional<std::string> failure) {
    {
      std::lock_guard lock(mutex_);
      if (done_) return;
      text_ = std::move(text);
      failure_ = std::move(failure);
      done_ = true;
    }
    settled_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable settled_;
  bool done_ = false;
  std::string text_;
  std::optional<std::string> failure_;
};

struct RecognitionResult {
  std::string text;  // as the engine gives it, not trimmed
  double start = 0;  // seconds on the recognizer's time line
  double end = 0;    // seconds; may be anything the engine reports
  bool isFinal = false;
  // A final's English, when the recognizer was asked to translate its
  // finals (translateFinalsToEnglish()); null otherwise.
  std::shared_ptr<EnglishOfFinal> english = nullptr;
};

class Recognizer {
 public:
  virtual ~Recognizer() = default;

  // Biases recognition toward these phrases for this run. Call before the
  // first buffer. Throws SpeechServiceError.
  virtual void setContextualStrings(const std::vector<std::string>& phrases) = 0;

  // Names the audio source this recognizer hears (for example "mic"), so
  // that what the engine learns about the source's sound can give its next
  // run a head start. Call before the first buffer. Engines that learn
  // nothing ignore it.
  virtual void setSourceName(const std::string& source) { (void)source; }

  // Asks that every final result carry `english`: the engine's own
  // translation of the final's audio into English, decoded after the final
  // on the engine's thread, never before a final that waits. Call before the
  // first buffer. False, changing nothing, when the engine cannot (see
  // SpeechService::englishTranslation()).
  virtual bool translateFinalsToEnglish() { return false; }

  // Feeds one buffer in the service's input format (inputFormat()). Throws
  // SpeechServiceError when the engine fails; the result sequence then ends
  // with that failure.
  virtual void acceptWaveform(const PcmBuffer& buffer) = 0;

  // No more input: every pending result is finished and the result sequence
  // ends after them. Returns once the input has been fully processed.
  // Throws SpeechServiceError when finalising fails.
  virtual void inputFinished() = 0;

  // Blocks for the next result; std::nullopt once the sequence has ended.
  // Throws SpeechServiceError when the sequence fails (once; afterwards it
  // has ended).
  virtual std::optional<RecognitionResult> nextResult() = 0;
};

class SpeechService {
 public:
  virtual ~SpeechService() = default;

  // Whether transcription can run here at all.
  virtual bool isAvailable() = 0;

  // A supported locale equivalent to `localeIdentifier` (exact match first,
  // then the same language), or nothing.
  virtual std::optional<std::string> supportedLocale(const std::string& localeIdentifier) = 0;

  // Every supported locale identifier.
  virtual std::vector<std::string> supportedLocales() = 0;

  virtual AssetStatus assetStatus(const std::string& localeIdentifier) = 0;

  // Installs the assets of a supported locale when they are missing. Returns
  // at once when they are installed; throws SpeechServiceError otherwise.
  // A download asks `keepWaiting` at least once a second; false ends it
  // (SpeechServiceError; what was fetched stays for a later run).
  virtual void installAssets(const std::string& localeIdentifier, const KeepWaiting& keepWaiting) = 0;

  // The PCM format recognizers of this locale take, or nothing.
  virtual std::optional<PcmFormat> inputFormat(const std::string& localeIdentifier) = 0;

  // A recognizer for a supported, installed locale. Throws SpeechServiceError.
  virtual std::unique_ptr<Recognizer> makeRecognizer(const std::string& localeIdentifier, ReportingMode mode) = 0;

  // Why the recognizers of a locale come from a lesser engine than the one
  // meant for it (a model that cannot be used, named in the line); given to
  // the first caller only, nothing afterwards or when nothing fell back.
  virtual std::optional<std::string> fallbackNotice(const std::string& localeIdentifier) {
    (void)localeIdentifier;
    return std::nullopt;
  }

  // Whether live recognizers of this locale can translate their finals into
  // English (Recognizer::translateFinalsToEnglish()): kInstalled when they
  // can now, kSupported (or kDownloading) once the locale's assets are
  // installed, kUnsupported when they never can (an engine without the
  // task, an English locale). Downloads nothing.
  virtual AssetStatus englishTranslation(const std::string& localeIdentifier) {
    (void)localeIdentifier;
    return AssetStatus::kUnsupported;
  }
};

}  // namespace tavrin::speech
