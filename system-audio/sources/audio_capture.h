// A source of captured audio (system output or microphone).
//
// Lifecycle: constructed with nothing acquired; start() acquires the
// platform resources step by step and, if a step fails, releases what it
// took (in reverse order) before the error reaches the caller; stop()
// releases everything, finishes the stream, may be called at any time and
// again. Buffers on the stream are independent copies owned by the reader.
#pragma once

#include <memory>

#include "common/capture_stream.h"

namespace tavrin::system_audio {

class AudioCapture {
 public:
  virtual ~AudioCapture() = default;
  virtual void start() = 0;  // throws CoreAudioError / PlatformError
  virtual void stop() = 0;
  // The capture's stream; valid from construction, finished by stop().
  virtual std::shared_ptr<CaptureStream> stream() = 0;
};

}  // namespace tavrin::system_audio
