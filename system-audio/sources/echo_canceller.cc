#include "system-audio/sources/echo_canceller.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tavrin::system_audio {

namespace {

// Both libraries work on 16-bit samples here: this WebRTC version's float
// interface turns out NaNs once the extended filter runs.
using Chunk16 = std::array<int16_t, EchoCanceller::kChunkFrames>;

void toInt16(const float* chunk, int16_t* out) {
  for (uint32_t i = 0; i < EchoCanceller::kChunkFrames; ++i) {
    const float clamped = std::clamp(chunk[i], -1.0f, 32767.0f / 32768.0f);
    out[i] = static_cast<int16_t>(std::lrint(clamped * 32768.0f));
  }
}

void toFloat(const int16_t* chunk, float* out) {
  for (uint32_t i = 0; i < EchoCanceller::kChunkFrames; ++i) out[i] = static_cast<float>(chunk[i]) / 32768.0f;
}

class WebRtcEchoCanceller {
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
    for (webrtc::AudioFrame* frame : {&far_, &near_}) {
      frame->sample_rate_hz_ = static_cast<int>(EchoCanceller::kSampleRate);
      frame->num_channels_ = 1;
      frame->samples_per_channel_ = EchoCanceller::kChunkFrames;
    }
  }

  void analyzeFarEnd(const Chunk16& chunk) {
    std::copy(chunk.begin(), chunk.end(), far_.data_);
    (void)apm_->ProcessReverseStream(&far_);
  }

  // The near end without its echo; the microphone itself when the module
  // fails on this chunk (unprocessed, not lost).
  void processNearEnd(const Chunk16& chunk, float* out) {
    std::copy(chunk.begin(), chunk.end(), near_.data_);
    (void)apm_->set_stream_delay_ms(0);  // the streams are aligned in time; the rest is the echo path
    if (apm_->ProcessStream(&near_) != webrtc::AudioProcessing::kNoError)
      std::copy(chunk.begin(), chunk.end(), near_.data_);
    toFloat(near_.data_, out);
  }

 private:
  static void check(int status, const char* what) {
    if (status != webrtc::AudioProcessing::kNoError) {
      throw std::runtime_error(std::string("the WebRTC canceller refused its ") + what + " setting (error " +
                               std::to_string(status) + ")");
    }
  }

  std::unique_ptr<webrtc::AudioProcessing> apm_;
  webrtc::AudioFrame far_;
  webrtc::AudioFrame near_;
};

template <typename T, void (*Free)(T*)>
struct FreeWith {
  void operator()(T* p) const { Free(p); }
};

class SpeexEchoCanceller {
 public:
  // The filter must span the echo path after the aligner: the output
  // device's latency plus the room's reverberation.
  static constexpr int kTailFrames = EchoCanceller::kSampleRate / 2;
  // The residual-echo suppressor's depth while the near end is quiet and
  // while it is active.
  static constexpr int kSuppressDb = -40;
  static constexpr int kSuppressActiveDb = -15;

  SpeexEchoCanceller()
      : echo_(speex_echo_state_init(static_cast<int>(EchoCanceller::kChunkFrames), kTailFrames)),
        preprocess_(speex_preprocess_state_init(static_cast<int>(EchoCanceller::kChunkFrames),
                                                static_cast<int>(EchoCanceller::kSampleRate))) {
    if (!echo_ || !preprocess_) throw std::runtime_error("the speexdsp echo canceller could not be created");
    int rate = static_cast<int>(EchoCanceller::kSampleRate);
    int on = 1, off = 0, suppress = kSuppressDb, suppressActive = kSuppressActiveDb;
    speex_echo_ctl(echo_.get(), SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    // The residual-echo suppressor works through the denoiser's gains, so
    // the denoiser is on; gain control and dereverberation are not.
    speex_preprocess_ctl(preprocess_.get(), SPEEX_PREPROCESS_SET_ECHO_STATE, echo_.get());
    speex_preprocess_ctl(preprocess_.get(), SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(preprocess_.get(), SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(preprocess_.get(), SPEEX_PREPROCESS_SET_DEREVERB, &off);
    speex_preprocess_ctl(preprocess_.get(), SPEEX_PREPROCESS_SET_ECHO_SUPPRESS, &suppress);
    speex_preprocess_ctl(preprocess_.get(), SPEEX_PREPROCESS_SET_ECHO_SUPPRESS_ACTIVE, &suppressActive);
  }

  // `linear` receives what the adaptive filter left of the near end, `out`
  // that after the residual-echo suppressor.
  void process(const Chunk16& far, const Chunk16& near, float* linear, float* out) {
    Chunk16 cancelled;
    speex_echo_cancellation(echo_.get(), near.data(), far.data(), cancelled.data());
    toFloat(cancelled.data(), linear);
    speex_preprocess_run(preprocess_.get(), cancelled.data());
    toFloat(cancelled.data(), out);
  }

 private:
  std::unique_ptr<SpeexEchoState, FreeWith<SpeexEchoState, speex_echo_state_destroy>> echo_;
  std::unique_ptr<SpeexPreprocessState, FreeWith<SpeexPreprocessState, speex_preprocess_state_destroy>> preprocess_;
};

double meanSquare(const float* chunk) {
  double sum = 0;
  for (uint32_t i = 0; i < EchoCanceller::kChunkFrames; ++i) sum += static_cast<double>(chunk[i]) * chunk[i];
  return sum / EchoCanceller::kChunkFrames;
}

// Says, chunk by chunk, whether the user talks. Once speexdsp's filter has
// learned the echo path: the microphone is clearly louder than the echo the
// filter predicts (the microphone less what the filter left of it). Before
// that the prediction is not to be trusted, and two weaker signs must agree:
// the microphone is louder than a quarter of the loudest far end of the last
// 500 ms (an echo rarely is: Geigel's rule), and the filter explains less
// than 1.5 dB of it (an echo as loud as what plays, which that rule takes
// for the user, is explained that much within its first few hundred
// milliseconds). With nothing played lately there is no echo to tell the
// user from, and WebRTC's output (then the microphone as it came) is kept.
class DoubleTalkDetector {
 public:
  bool nearEndTalks(const float* near, const float* residual, const float* far) {
    farPowers_[farNext_] = meanSquare(far);
    farNext_ = (farNext_ + 1) % farPowers_.size();
    const double nearPower = meanSquare(near), residualPower = meanSquare(residual);
    double echo = 0;
    for (uint32_t i = 0; i < EchoCanceller::kChunkFrames; ++i) {
      const double predicted = static_cast<double>(near[i]) - residual[i];
      echo += predicted * predicted;
    }
    echo /= EchoCanceller::kChunkFrames;
    near_ += kFast * (nearPower - near_);
    residual_ += kFast * (residualPower - residual_);
    echo_ += kFast * (echo - echo_);
    slowNear_ += kSlow * (nearPower - slowNear_);
    slowResidual_ += kSlow * (residualPower - slowResidual_);
    if (slowNear_ > kFloor && slowNear_ > slowResidual_ * kLearned) learned_ = true;
    const double farPeak = *std::max_element(farPowers_.begin(), farPowers_.end());
    const bool talks = near_ > kFloor && (learned_ ? near_ > echo_ * kAboveEcho
                                                   : farPeak > kFloor && near_ > farPeak * kAboveFarPeak &&
                                                         residual_ > near_ * kUnexplained);
    if (talks) {
      hold_ = kHoldChunks;
    } else if (hold_ > 0) {
      --hold_;
    }
    return hold_ > 0;
  }

 private:
  static constexpr double kFast = 0.3;           // about 30 ms
  static constexpr double kSlow = 0.02;          // about half a second
  static constexpr double kFloor = 1e-6;         // -60 dBFS: nothing anyone says
  static constexpr double kLearned = 15.85;      // 12 dB
  static constexpr double kAboveEcho = 1.995;    // 3 dB
  static constexpr double kAboveFarPeak = 0.25;  // -6 dB
  static constexpr double kUnexplained = 0.71;   // the filter removed less than 1.5 dB
  static constexpr int kHoldChunks = 10;         // the tail of a word
  double near_ = 0, residual_ = 0, echo_ = 0, slowNear_ = 0, slowResidual_ = 0;
  bool learned_ = false;
  int hold_ = 0;
  std::array<double, 50> farPowers_{};  // the far end's last 500 ms, chunk by chunk
  size_t farNext_ = 0;
};

class DoubleTalkEchoCanceller final : public EchoCanceller {
 public:
  void analyzeFarEnd(const float* chunk) override {
    toInt16(chunk, far_.data());
    webRtc_.analyzeFarEnd(far_);
  }

  void processNearEnd(float* chunk) override {
    Chunk16 near;
    toInt16(chunk, near.data());
    float suppressed[kChunkFrames], linear[kChunkFrames], kept[kChunkFrames], far[kChunkFrames];
    webRtc_.processNearEnd(near, suppressed);
    speex_.process(far_, near, linear, kept);
    toFloat(far_.data(), far);
    const float target = detector_.nearEndTalks(chunk, linear, far) ? 1.0f : 0.0f;
    // A change of output fades over the chunk: no click.
    for (uint32_t i = 0; i < kChunkFrames; ++i) {
      const float weight = mix_ + (target - mix_) * static_cast<float>(i + 1) / kChunkFrames;
      chunk[i] = weight * kept[i] + (1.0f - weight) * suppressed[i];
    }
    mix_ = target;
  }

 private:
  WebRtcEchoCanceller webRtc_;
  SpeexEchoCanceller speex_;
  DoubleTalkDetector detector_;
  Chunk16 far_{};
  float mix_ = 0;  // the share of speexdsp's output at the end of the last chunk
};

}  // namespace

std::unique_ptr<EchoCanceller> makeEchoCanceller() {
  return std::make_unique<DoubleTalkEchoCanceller>();
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
