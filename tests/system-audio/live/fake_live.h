// Fakes for live-run tests: capture objects whose streams the test fills,
// and a factory that records the order of their operations.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "system-audio/live/live_subtitles.h"

namespace tavrin::testing {

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
