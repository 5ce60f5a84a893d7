#include "system-audio/recording/probe.h"

#include <algorithm>

#include "system-audio/base/errors.h"

namespace tavrin::system_audio {

void AudioProbeStats::encode(JsonBuilder& json) const {
  json.beginObject()
      .field("bufferCount", bufferCount)
      .optionalField("firstPresentationSeconds", firstPresentationSeconds)
      .optionalField("lastPresentationSeconds", lastPresentationSeconds)
      .optionalField("observedDurationSeconds", observedDurationSeconds)
      .endObject();
}

void AudioProbeOutput::stream(const SampleBuffer& buffer, StreamOutputType type) {
  if (type != StreamOutputType::kAudio || !buffer.valid) return;
  const MediaTime time = buffer.presentationTime;
  std::lock_guard lock(mutex_);
  ++bufferCount_;
  if (!firstPresentationTime_) firstPresentationTime_ = time;
  lastPresentationTime_ = time;
}

AudioProbeStats AudioProbeOutput::snapshot() const {
  std::lock_guard lock(mutex_);
  AudioProbeStats stats;
  stats.bufferCount = bufferCount_;
  if (firstPresentationTime_) stats.firstPresentationSeconds = firstPresentationTime_->seconds();
  if (lastPresentationTime_) stats.lastPresentationSeconds = lastPresentationTime_->seconds();
  if (stats.firstPresentationSeconds && stats.lastPresentationSeconds) {
    stats.observedDurationSeconds = std::max(0.0, *stats.lastPresentationSeconds - *stats.firstPresentationSeconds);
  }
  return stats;
}

AudioProbeStats runProbe(uint64_t seconds, ScreenCaptureService& service, SystemEnv& env) {
  const std::vector<CaptureDisplay> displays = service.shareableContent();
  if (displays.empty()) throw SystemAudioError::noDisplay();
  StreamConfiguration configuration;
  AudioProbeOutput output;
  // A stream that dies during the probe fails it with the server's reason:
  // buffers counted before would describe a stream that no longer runs.
  StreamDeathWatcher watcher;
  std::unique_ptr<ScreenCaptureStream> stream = service.makeStream(displays.front(), configuration, &watcher);
  stream->addAudioOutput([&output](const SampleBuffer& buffer, StreamOutputType type) { output.stream(buffer, type); });
  stream->startCapture();
  const uint64_t total = std::min<uint64_t>(seconds, 30) * 1'000'000'000ull;
  const uint64_t start = env.monotonicNanos();
  for (uint64_t elapsed = 0; elapsed < total && !watcher.error(); elapsed = env.monotonicNanos() - start) {
    env.sleepFor(std::chrono::nanoseconds(std::min<uint64_t>(total - elapsed, 100'000'000ull)));
  }
  stream->stopCapture();
  if (auto error = watcher.error()) throw PlatformError(*error);
  return output.snapshot();
}

}  // namespace tavrin::system_audio
