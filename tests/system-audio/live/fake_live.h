// Fakes for live-run tests: an event file, captures whose streams the test
// fills, made by a factory that logs their starts and stops ("system.start",
// "mic.stop", ...) in order. Started and stopped from the test's thread.
#pragma once

#include <fcntl.h>
#include <functional>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "system-audio/live/live_subtitles.h"
#include "tests/support/samples.h"
#include "tests/support/subprocess.h"

namespace tavrin::testing {

// Events written to a file, read back as lines.
class EventFile {
 public:
  EventFile() : fd_(::open(dir_.file("events").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)) {}
  ~EventFile() { ::close(fd_); }
  int fd() const { return fd_; }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    const std::string all = readFile(dir_.file("events"));
    for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) out.push_back(all.substr(at, end - at));
    return out;
  }

 private:
  TempDir dir_;
  int fd_;
};

class FakeCapture final : public system_audio::AudioCapture {
 public:
  FakeCapture(std::string name = "", std::vector<std::string>* log = nullptr,
              std::optional<std::string> failure = std::nullopt, std::function<void(FakeCapture&)> onStarted = {})
      : name_(std::move(name)), log_(log), failure_(std::move(failure)), onStarted_(std::move(onStarted)) {}
  void start() override {
    if (log_) log_->push_back(name_ + ".start");
    if (failure_) {
      stream_->finish();
      throw std::runtime_error(*failure_);
    }
    if (onStarted_) onStarted_(*this);
  }
  void stop() override {
    if (log_) log_->push_back(name_ + ".stop");
    stream_->finish();
  }
  std::shared_ptr<CaptureStream> stream() override { return stream_; }
  // Adds `frames` frames of 16 kHz mono silence.
  void push(uint32_t frames) { stream_->add(makeTone(PcmFormat::float32(16000, 1), frames, 0, 0)); }

 private:
  std::string name_;
  std::vector<std::string>* log_;
  std::optional<std::string> failure_;
  std::function<void(FakeCapture&)> onStarted_;
  std::shared_ptr<CaptureStream> stream_ = std::make_shared<CaptureStream>();
};

class FakeCaptures final : public system_audio::LiveCaptureFactory {
 public:
  std::optional<std::string> systemFailure, micFailure;
  std::function<void(FakeCapture&)> onSystemStarted, onMicStarted;  // e.g. to push audio
  std::function<void()> deviceLost;
  std::optional<bool> micVoiceProcessing;
  std::vector<std::string> log;

  std::unique_ptr<system_audio::AudioCapture> makeSystemCapture(std::function<void()> onDeviceLost) override {
    deviceLost = std::move(onDeviceLost);
    return std::make_unique<FakeCapture>("system", &log, systemFailure, onSystemStarted);
  }
  std::unique_ptr<system_audio::AudioCapture> makeMicCapture(bool voiceProcessing) override {
    micVoiceProcessing = voiceProcessing;
    return std::make_unique<FakeCapture>("mic", &log, micFailure, onMicStarted);
  }
};

}  // namespace tavrin::testing
