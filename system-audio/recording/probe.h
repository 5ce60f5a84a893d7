// The `probe` command: does system audio actually arrive through the
// screen-capture service? Counts the audio sample buffers of a stream over a
// few seconds and reports the presentation times of the first and last one.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "common/json.h"
#include "system-audio/base/system_env.h"
#include "system-audio/sources/screen_capture.h"

namespace tavrin::system_audio {

// Reply of `probe`. Absent times are left out of the JSON object.
struct AudioProbeStats {
  int64_t bufferCount = 0;
  std::optional<double> firstPresentationSeconds;
  std::optional<double> lastPresentationSeconds;
  std::optional<double> observedDurationSeconds;  // last − first, never below 0
  void encode(JsonBuilder& json) const;
};

// The stream's audio output during a probe. The callback may run on any
// thread; the lock makes each update and the snapshot one step.
class AudioProbeOutput {
 public:
  void stream(const SampleBuffer& buffer, StreamOutputType type);
  AudioProbeStats snapshot() const;

 private:
  mutable std::mutex mutex_;
  int64_t bufferCount_ = 0;
  std::optional<MediaTime> firstPresentationTime_;
  std::optional<MediaTime> lastPresentationTime_;
};

// Probes for `seconds` (the caller clamps it to 1...30). Throws noDisplay
// when there is nothing to capture, or the service's PlatformError of the
// step that failed (including stopping, and the stream dying during the
// probe, with the server's reason: no partial reply).
AudioProbeStats runProbe(uint64_t seconds, ScreenCaptureService& service, SystemEnv& env);

}  // namespace tavrin::system_audio
