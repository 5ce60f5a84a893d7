// Echo cancellation of the microphone against the system's own output.
//
// EchoCanceller is the signal processor: it learns the far end (what the
// computer plays) and removes its echo from the near end (the microphone),
// 10 ms at a time, in its working format (16 kHz mono float). The real one
// runs two cancellers on every chunk and lets a double-talk detector choose:
//  - WebRTC's audio processing module (the canceller PipeWire's echo-cancel
//    uses), with its delay-agnostic mode and extended filter, removes echo
//    alone almost completely, but its suppressor also removes the user's
//    words whenever both sides talk at once;
//  - speexdsp's canceller (a linear adaptive filter over 500 ms, then the
//    preprocessor's residual-echo suppressor, which holds back while the
//    near end is active) keeps those words but leaves the echo only some
//    20-30 dB down.
// The detector compares the microphone with the echo that speexdsp's filter
// predicts from the far end: a near end clearly louder than its predicted
// echo is the user talking, and speexdsp's output is heard from then on
// until 100 ms after; otherwise WebRTC's. That prediction counts once the
// filter's residual has averaged 12 dB below the microphone over about half
// a second (it has learned the echo path: a few seconds of the other side
// talking). Before, in the first seconds of a call, the user is taken to
// talk when the microphone is louder than a quarter of the far end's recent
// peak and the filter explains less than 1.5 dB of it. An echo louder than
// what plays (loud speakers next to a sensitive microphone) can pass both
// and come through for the first second or two, until the filter has
// learned that much of it.
//
// EchoAligner pairs the two streams for it: both arrive as buffers with the
// monotonic time of their first frame, in their own pace. The aligner drops
// or pads the start of the far end so that sample i of both streams was
// captured at the same moment, then hands 10 ms of far end to the canceller
// before each 10 ms of near end. When the far end stalls (its stream lags or
// died), near-end audio waits at most `maxWaitChunks` and is then processed
// against silence, so the microphone never stops.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "common/pcm_buffer.h"

namespace tavrin::system_audio {

class EchoCanceller {
 public:
  static constexpr uint32_t kSampleRate = 16000;
  static constexpr uint32_t kChunkFrames = kSampleRate / 100;  // 10 ms

  virtual ~EchoCanceller() = default;
  // `chunk` holds kChunkFrames far-end samples.
  virtual void analyzeFarEnd(const float* chunk) = 0;
  // Removes the echo from kChunkFrames near-end samples, in place.
  virtual void processNearEnd(float* chunk) = 0;
};

// The canceller described above. Throws std::runtime_error with a
// description when it cannot be set up.
std::unique_ptr<EchoCanceller> makeEchoCanceller();

class EchoAligner {
 public:
  // Receives the processed near end, in order, as 16 kHz mono float buffers.
  using Output = std::function<void(PcmBufferPtr)>;

  EchoAligner(std::unique_ptr<EchoCanceller> canceller, Output output, uint32_t maxWaitChunks = 20);

  // Buffers must already be 16 kHz mono float; `captureNanos` is the
  // monotonic time of their first frame.
  void pushFar(const PcmBuffer& buffer, uint64_t captureNanos);
  void pushNear(const PcmBuffer& buffer, uint64_t captureNanos);
  // End of input: everything still waiting is processed (against silence
  // where the far end is missing) and output.
  void finish();

  static PcmFormat format() { return PcmFormat::float32(EchoCanceller::kSampleRate, 1); }

 private:
  void pump(bool force);
  void emit(std::vector<float> samples);

  std::unique_ptr<EchoCanceller> canceller_;
  Output output_;
  uint32_t maxWaitChunks_;
  std::optional<uint64_t> nearStartNanos_;  // capture time of near sample 0
  std::optional<uint64_t> farStartNanos_;   // capture time of the first far sample
  bool farAligned_ = false;
  uint64_t nearDone_ = 0;  // near samples processed so far
  std::deque<float> far_;
  std::deque<float> near_;
};

}  // namespace tavrin::system_audio
