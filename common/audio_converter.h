// Conversion of captured PCM buffers into one consumer's format.
//
// FormatConverter is the streaming converter between two fixed formats
// (sample type, channel mixdown, sample rate). It keeps state across calls: a
// resampler may hold frames back while it fills and hand them out with later
// input, so it can return fewer frames than it was given, or none.
//
// LiveAudioConverter sits in front of it for one consumer: buffers already in
// the target format pass through untouched; others go through a converter
// that is made once per source format and replaced when the format changes.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/pcm_buffer.h"

namespace tavrin {

// What an input callback answers when the converter asks for more input.
enum class ConverterInputStatus {
  kHaveData = 0,   // here is a buffer
  kNoDataNow = 1,  // nothing more for this call; more may come later
  kEndOfStream = 2,
};

class FormatConverter {
 public:
  // Called by convert() whenever the converter wants input. Sets the status
  // and returns the buffer for kHaveData, nullptr otherwise.
  using InputBlock = std::function<PcmBufferPtr(ConverterInputStatus* status)>;

  virtual ~FormatConverter() = default;

  // Fills `out` (in the target format; its frame length is set to what was
  // produced, at most its capacity) with input pulled from `input` until the
  // block answers kNoDataNow or kEndOfStream. Returns an error description on
  // failure, nothing on success.
  virtual std::optional<std::string> convert(PcmBuffer& out, const InputBlock& input) = 0;
};

// Makes a converter between two formats, or nullptr when they cannot be
// converted.
using FormatConverterFactory =
    std::function<std::unique_ptr<FormatConverter>(const PcmFormat& from, const PcmFormat& to)>;

// The converter of this platform: FFmpeg's libswresample (sample type and
// resampling). Several channels to one are mixed by SpeechDownmix
// (common/speech_downmix.h) with the source format's channel positions;
// other channel changes use the library's default matrix.
std::unique_ptr<FormatConverter> makeResamplingConverter(const PcmFormat& from, const PcmFormat& to);

// Output capacity for `frames` frames from `fromRate` to `toRate`: the ratio
// to ÷ from times the frame count, rounded up (512 frames 48 kHz → 16 kHz:
// 171).
uint32_t convertedCapacity(uint32_t frames, double fromRate, double toRate);

// One consumer's converter. Not thread-safe: one consumer calls convert() in
// stream order.
class LiveAudioConverter {
 public:
  explicit LiveAudioConverter(const PcmFormat& analyzerFormat,
                              FormatConverterFactory factory = makeResamplingConverter);

  // `buffer` in the target format: the very same buffer when it already is;
  // otherwise a new buffer, or nullptr when this buffer yields nothing (no
  // converter for its format, allocation failure, conversion error, or no
  // frames out yet). Failures are silent; the next buffer tries again.
  PcmBufferPtr convert(const PcmBufferPtr& buffer);

  const PcmFormat& analyzerFormat() const { return analyzerFormat_; }

 private:
  PcmFormat analyzerFormat_;
  FormatConverterFactory factory_;
  std::unique_ptr<FormatConverter> converter_;
  std::optional<PcmFormat> sourceFormat_;
};

}  // namespace tavrin
