// A scripted screen-capture service: a list of displays (or a failure), and
// streams whose buffers the test pushes, whose steps can fail, and whose
// death the test can cause.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "system-audio/sources/screen_capture.h"
#include "system-audio/base/errors.h"

namespace tavrin::testing {

class FakeScreenCapture final : public system_audio::ScreenCaptureService {
 public:
  struct Shared {
    std::mutex mutex;
    system_audio::StreamOutputHandler handler;
    system_audio::StreamDeathWatcher* delegate = nullptr;
    bool running = false;
    bool stopped = false;
    std::optional<std::string> failStart, failStop, failAddOutput;
  };

  std::vector<system_audio::CaptureDisplay> displays{{"system_output", "system_output.monitor"}};
  std::optional<std::string> contentError;

  std::vector<system_audio::CaptureDisplay> shareableContent() override {
    if (contentError) throw system_audio::PlatformError(*contentError);
    return displays;
  }

  std::unique_ptr<system_audio::ScreenCaptureStream> makeStream(const system_audio::CaptureDisplay& display,
                                                                const system_audio::StreamConfiguration& requested,
                                                                system_audio::StreamDeathWatcher* delegate) override {
    streamDisplay = display.name;
    configuration = requested;
    shared->delegate = delegate;
    return std::make_unique<Stream>(shared);
  }

  // Hands `buffer` to the registered output, as the service's thread would.
  void push(const system_audio::SampleBuffer& buffer,
            system_audio::StreamOutputType type = system_audio::StreamOutputType::kAudio) {
    std::lock_guard lock(shared->mutex);
    if (shared->running && shared->handler) shared->handler(buffer, type);
  }
  void die(const std::string& description) {
    std::lock_guard lock(shared->mutex);
    if (shared->delegate) shared->delegate->streamDidStop(description);
  }

  std::shared_ptr<Shared> shared = std::make_shared<Shared>();
  std::string streamDisplay;
  system_audio::StreamConfiguration configuration;

 private:
  class Stream final : public system_audio::ScreenCaptureStream {
   public:
    explicit Stream(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    ~Stream() override {
      std::lock_guard lock(shared_->mutex);
      shared_->running = false;
    }
    void addAudioOutput(system_audio::StreamOutputHandler handler) override {
      std::lock_guard lock(shared_->mutex);
      if (shared_->failAddOutput) throw system_audio::PlatformError(*shared_->failAddOutput);
      shared_->handler = std::move(handler);
    }
    void startCapture() override {
      std::lock_guard lock(shared_->mutex);
      if (shared_->failStart) throw system_audio::PlatformError(*shared_->failStart);
      shared_->running = true;
    }
    void stopCapture() override {
      std::lock_guard lock(shared_->mutex);
      shared_->running = false;
      shared_->stopped = true;
      if (shared_->failStop) throw system_audio::PlatformError(*shared_->failStop);
    }

   private:
    std::shared_ptr<Shared> shared_;
  };
};

// A one-buffer audio sample buffer holding `samples` of type T.
template <typename T>
system_audio::SampleBuffer audioBuffer(const std::vector<T>& samples, uint32_t flags, uint32_t bits,
                                       double seconds = 0) {
  system_audio::SampleBuffer buffer;
  buffer.presentationTime = system_audio::MediaTime{static_cast<int64_t>(seconds * 1000), 1000};
  buffer.description = system_audio::AudioStreamDescription{16000, flags, bits / 8, 1, bits};
  const auto* bytes = reinterpret_cast<const std::byte*>(samples.data());
  buffer.buffers.emplace_back(bytes, bytes + samples.size() * sizeof(T));
  return buffer;
}

}  // namespace tavrin::testing
