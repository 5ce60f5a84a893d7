// A source of captured audio (system output or microphone).
//
// Lifecycle: constructed with nothing acquired; start() acquires the
// platform resources step by step and, if a step fails, releases what it
// took (in reverse order) before the error reaches the caller; stop()
// releases everything, finishes the stream, may be called at any time and
// again. Buffers on the stream are independent copies owned by the reader.
//
// A running capture can also end on its own (the device removed, the sound
// server gone): it then finishes its stream after every buffer captured
// before, and calls the failure handler once, on the server's thread, with
// the server's description ("Connection terminated"). The handler must be
// short and safe to call from any thread; set it before start(). stop() is
// still the owner's to call.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/capture_stream.h"

namespace tavrin::system_audio {

class AudioCapture {
 public:
  virtual ~AudioCapture() = default;
  virtual void start() = 0;  // throws CoreAudioError / PlatformError
  virtual void stop() = 0;
  // The capture's stream; valid from construction, finished by stop().
  virtual std::shared_ptr<CaptureStream> stream() = 0;

  using FailureHandler = std::function<void(const std::string& description)>;
  void setOnFailure(FailureHandler handler) { onFailure_ = std::move(handler); }

 protected:
  const FailureHandler& onFailure() const { return onFailure_; }

 private:
  FailureHandler onFailure_;
};

}  // namespace tavrin::system_audio
