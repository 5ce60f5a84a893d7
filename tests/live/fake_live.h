// Fakes for live-channel protocol tests: a speech service whose recognizer
// releases scripted results as audio is fed, and capture objects whose
// streams the test fills.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "speech-service/speech_service.h"
#include "system-audio/live/live_subtitles.h"

namespace tavrin::testing {

// One scripted result: released once at least `afterFrames` frames have
// been fed, or at the end of input when `afterFrames` is absent.
struct ScriptedResult {
  std::optional<uint64_t> afterFrames;
  speech::RecognitionResult result;
};

struct RecognizerScript {
  RecognizerScript() = default;
  RecognizerScript(std::vector<ScriptedResult> r) : results(std::move(r)) {}  // NOLINT: implicit on purpose
  std::vector<ScriptedResult> results;
  // nextResult() throws this description instead of its n-th result (0-based).
  std::optional<std::pair<size_t, std::string>> failAt;
  std::optional<std::string> finishFailure;  // inputFinished() throws it
};

class FakeSpeechService final : public speech::SpeechService {
 public:
  FakeSpeechService();

  bool available = true;
  std::map<std::string, std::string> equivalents;  // requested → supported
  speech::AssetStatus assets = speech::AssetStatus::kInstalled;
  std::optional<std::string> installFailure;
  std::optional<PcmFormat> format = PcmFormat::float32(16000, 1);
  std::optional<std::string> recognizerFailure;
  // Script per source locale, handed out in order of makeRecognizer calls.
  std::deque<RecognizerScript> scripts;

  bool isAvailable() override { return available; }
  std::optional<std::string> supportedLocale(const std::string& id) override;
  std::vector<std::string> supportedLocales() override;
  speech::AssetStatus assetStatus(const std::string&) override { return assets; }
  void installAssets(const std::string& id) override;
  std::optional<PcmFormat> inputFormat(const std::string&) override { return format; }
  std::unique_ptr<speech::Recognizer> makeRecognizer(const std::string& id, speech::ReportingMode mode) override;

  int installs() const;
  std::vector<std::string> recognizerLocales() const;
  // Frames fed to every recognizer made so far, in order of creation.
  std::vector<uint64_t> framesFed() const;

 private:
  friend class FakeRecognizer;
  mutable std::mutex mutex_;
  int installs_ = 0;
  std::vector<std::string> recognizerLocales_;
  std::vector<std::shared_ptr<uint64_t>> frames_;
};

// A capture whose stream the test fills; start() can be made to fail.
class FakeCapture final : public system_audio::AudioCapture {
 public:
  explicit FakeCapture(std::optional<std::string> startFailure = std::nullopt)
      : startFailure_(std::move(startFailure)) {}
  void start() override;
  void stop() override;
  std::shared_ptr<CaptureStream> stream() override { return stream_; }

  // Adds `frames` frames of 16 kHz mono silence.
  void push(uint32_t frames);
  int starts() const { return starts_; }
  int stops() const { return stops_; }

 private:
  std::optional<std::string> startFailure_;
  std::shared_ptr<CaptureStream> stream_ = std::make_shared<CaptureStream>();
  int starts_ = 0;
  int stops_ = 0;
};

// Records the order of capture operations across both captures.
class FakeCaptures final : public system_audio::LiveCaptureFactory {
 public:
  std::optional<std::string> systemFailure;
  std::optional<std::string> micFailure;
  // Called right after each capture starts successfully (e.g. to push audio).
  std::function<void(FakeCapture&)> onSystemStarted;
  std::function<void(FakeCapture&)> onMicStarted;

  std::unique_ptr<system_audio::AudioCapture> makeSystemCapture(std::function<void()> onDeviceLost) override;
  std::unique_ptr<system_audio::AudioCapture> makeMicCapture(bool voiceProcessing) override;

  std::function<void()> deviceLost;
  std::optional<bool> micVoiceProcessing;
  std::vector<std::string> log;  // "system.start", "mic.stop", ...
  std::mutex mutex;
};

}  // namespace tavrin::testing
