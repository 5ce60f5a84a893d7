#include "system-audio/sources/echo_canceller.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tavrin::system_audio {

namespace {

class WebRtcEchoCanceller final : public EchoCanceller {
 public:
  WebRtcEchoCanceller() {
    webrtc::Config config;
    // The echo path's delay is unknown (it depends on the output device and
    // on how the sound reaches the microphone): let the canceller estimate
    // it, over a longer filter than the default.
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    apm_.reset(webrtc::AudioProcessing::Create(config));
    if (!apm_) throw std::runtime_error("the WebRTC audio processing module could not be created");
    check(apm_->echo_cancellation()->enable_drift_compensation(false), "drift compensation");
    check(apm_->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kHighSuppression),
          "suppression level");
    check(apm_->echo_cancellation()->Enable(true), "echo cancellation");
  }

  // The 16-bit interface: this version's float interface turns out NaNs
  // once the extended filter runs.
  void analyzeFarEnd(const float* chunk) override {
    load(far_, chunk);
    (void)apm_->ProcessReverseStream(&far_);
  }

  void processNearEnd(float* chunk) override {
    load(near_, chunk);
    (void)apm_->set_stream_delay_ms(0);  // the streams are aligned in time; the rest is the echo path
    if (apm_->ProcessStream(&near_) != webrtc::AudioProcessing::kNoError) return;  // unprocessed, not lost
    for (uint32_t i = 0; i < kChunkFrames; ++i) chunk[i] = static_cast<float>(near_.data_[i]) / 32768.0f;
  }

 private:
  static void check(int status, const char* what) {
    if (status != webrtc::AudioProcessing::kNoError) {
      throw std::runtime_error(std::string("the WebRTC canceller refused its ") + what + " setting (error " +
                               std::to_string(status) + ")");
    }
  }

  static void load(webrtc::AudioFrame& frame, const float* chunk) {
    frame.sample_rate_hz_ = static_cast<int>(kSampleRate);
    frame.num_channels_ = 1;
    frame.samples_per_channel_ = kChunkFrames;
    for (uint32_t i = 0; i < kChunkFrames; ++i) {
      const float clamped = std::clamp(chunk[i], -1.0f, 32767.0f / 32768.0f);
      frame.data_[i] = static_cast<int16_t>(std::lrint(clamped * 32768.0f));
    }
  }

  std::unique_ptr<webrtc::AudioProcessing> apm_;
  webrtc::AudioFrame far_;
  webrtc::AudioFrame near_;
};

}  // namespace

std::unique_ptr<EchoCanceller> makeWebRtcEchoCanceller() {
  return std::make_unique<WebRtcEchoCanceller>();
}

EchoAligner::EchoAligner(std::unique_ptr<EchoCanceller> canceller, Output output, uint32_t maxWaitChunks)
    : canceller_(std::move(canceller)), output_(std::move(output)), maxWaitChunks_(maxWaitChunks) {}

namespace {
int64_t samplesBetween(uint64_t fromNanos, uint64_t toNanos) {
  const double seconds = (static_cast<double>(toNanos) - static_cast<double>(fromNanos)) / 1e9;
  return static_cast<int64_t>(seconds * EchoCanceller::kSampleRate + (seconds >= 0 ? 0.5 : -0.5));
}
}  // namespace

void EchoAligner::pushFar(const PcmBuffer& buffer, uint64_t captureNanos) {
  const float* samples = buffer.floatChannel(0);
  if (!samples) return;
  if (!farStartNanos_) farStartNanos_ = captureNanos;
  far_.insert(far_.end(), samples, samples + buffer.frameLength());
  // The near end may have stopped for good; keep at most 10 s of far end.
  constexpr size_t kMaxFar = 10 * EchoCanceller::kSampleRate;
  if (far_.size() > kMaxFar)
    far_.erase(far_.begin(), far_.begin() + static_cast<std::ptrdiff_t>(far_.size() - kMaxFar));
  pump(false);
}

void EchoAligner::pushNear(const PcmBuffer& buffer, uint64_t captureNanos) {
  const float* samples = buffer.floatChannel(0);
  if (!samples) return;
  if (!nearStartNanos_) nearStartNanos_ = captureNanos;
  near_.insert(near_.end(), samples, samples + buffer.frameLength());
  pump(false);
}

void EchoAligner::finish() {
  pump(true);
}

void EchoAligner::pump(bool force) {
  constexpr uint32_t kChunk = EchoCanceller::kChunkFrames;
  if (!farAligned_ && nearStartNanos_ && farStartNanos_) {
    // far_[0] was captured at farStartNanos_, which is near sample `index`;
    // make far_[0] line up with the next near sample to be processed.
    const int64_t index = samplesBetween(*nearStartNanos_, *farStartNanos_);
    const auto done = static_cast<int64_t>(nearDone_);
    if (index > done) {
      far_.insert(far_.begin(), static_cast<size_t>(index - done), 0.0f);
    } else {
      const auto drop = std::min<size_t>(static_cast<size_t>(done - index), far_.size());
      far_.erase(far_.begin(), far_.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    farAligned_ = true;
  }
  std::vector<float> out;
  float far[kChunk];
  float near[kChunk];
  while (near_.size() >= kChunk || (force && !near_.empty())) {
    const bool farReady = farAligned_ && far_.size() >= kChunk;
    const bool waitedEnough = near_.size() >= static_cast<size_t>(maxWaitChunks_ + 1) * kChunk;
    if (!farReady && !waitedEnough && !force) break;
    const size_t nearCount = std::min<size_t>(kChunk, near_.size());
    std::fill(near, near + kChunk, 0.0f);
    std::copy_n(near_.begin(), nearCount, near);
    near_.erase(near_.begin(), near_.begin() + static_cast<std::ptrdiff_t>(nearCount));
    std::fill(far, far + kChunk, 0.0f);
    if (farAligned_) {
      const size_t farCount = std::min<size_t>(kChunk, far_.size());
      std::copy_n(far_.begin(), farCount, far);
      far_.erase(far_.begin(), far_.begin() + static_cast<std::ptrdiff_t>(farCount));
    }
    canceller_->analyzeFarEnd(far);
    canceller_->processNearEnd(near);
    out.insert(out.end(), near, near + nearCount);
    nearDone_ += nearCount;
  }
  if (!out.empty()) emit(std::move(out));
}

void EchoAligner::emit(std::vector<float> samples) {
  PcmBufferPtr buffer = PcmBuffer::create(format(), static_cast<uint32_t>(samples.size()));
  if (!buffer) return;
  buffer->setFrameLength(static_cast<uint32_t>(samples.size()));
  std::memcpy(buffer->floatChannel(0), samples.data(), samples.size() * sizeof(float));
  output_(std::move(buffer));
}

}  // namespace tavrin::system_audio
