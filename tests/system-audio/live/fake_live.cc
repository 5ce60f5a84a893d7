#include "tests/system-audio/live/fake_live.h"

#include <stdexcept>

namespace tavrin::testing {

void FakeCapture::start() {
  ++starts_;
  if (startFailure_) {
    stop();
    throw std::runtime_error(*startFailure_);
  }
}

void FakeCapture::stop() {
  ++stops_;
  stream_->finish();
}

void FakeCapture::push(uint32_t frames) {
  PcmBufferPtr b = PcmBuffer::create(PcmFormat::float32(16000, 1), frames);
  b->setFrameLength(frames);
  stream_->add(b);
}

namespace {
// Logs its operations into the factory's log.
class LoggedCapture final : public system_audio::AudioCapture {
 public:
  LoggedCapture(std::string name, FakeCaptures& owner, std::optional<std::string> failure,
                std::function<void(FakeCapture&)> onStarted)
      : name_(std::move(name)), owner_(owner), inner_(std::move(failure)), onStarted_(std::move(onStarted)) {}
  void start() override {
    note(".start");
    inner_.start();
    if (onStarted_) onStarted_(inner_);
  }
  void stop() override {
    note(".stop");
    inner_.stop();
  }
  std::shared_ptr<CaptureStream> stream() override { return inner_.stream(); }

 private:
  void note(const char* what) {
    std::lock_guard lock(owner_.mutex);
    owner_.log.push_back(name_ + what);
  }
  std::string name_;
  FakeCaptures& owner_;
  FakeCapture inner_;
  std::function<void(FakeCapture&)> onStarted_;
};
}  // namespace

std::unique_ptr<system_audio::AudioCapture> FakeCaptures::makeSystemCapture(std::function<void()> onDeviceLost) {
  deviceLost = std::move(onDeviceLost);
  return std::make_unique<LoggedCapture>("system", *this, systemFailure, onSystemStarted);
}

std::unique_ptr<system_audio::AudioCapture> FakeCaptures::makeMicCapture(bool voiceProcessing) {
  micVoiceProcessing = voiceProcessing;
  return std::make_unique<LoggedCapture>("mic", *this, micFailure, onMicStarted);
}

}  // namespace tavrin::testing
