// PCM audio buffers: a format, a frame capacity fixed at creation, a frame
// length, and one sample array per channel (or a single array when the format
// is interleaved).
//
// Buffers travel between threads as PcmBufferPtr. A buffer put on a capture
// stream is an independent copy (deepCopy) that belongs to whoever takes it;
// nobody writes to a buffer after handing it over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tavrin {

enum class SampleType : uint8_t {
  kFloat32,  // IEEE 754 binary32, native byte order
  kInt16,    // signed 16-bit, native byte order
  kInt32,    // signed 32-bit, native byte order
};

uint32_t bytesPerSample(SampleType type);

struct PcmFormat {
  double sampleRate = 0;  // Hz, > 0 in every usable format
  uint32_t channelCount = 0;
  SampleType sampleType = SampleType::kFloat32;
  bool interleaved = false;
  // Positions of the channels as FFmpeg channel-mask bits (AV_CH_*), the
  // channels ordered by bit; 0 when unknown: FFmpeg's default layout for
  // the channel count is assumed (for 6 channels 5.1: FL FR FC LFE BL BR).
  uint64_t channelMask = 0;

  // Number of sample arrays a buffer of this format holds.
  uint32_t bufferCount() const { return interleaved ? 1 : channelCount; }
  // Bytes one frame takes in one of those arrays.
  uint32_t bytesPerFrameInBuffer() const { return bytesPerSample(sampleType) * (interleaved ? channelCount : 1); }
  bool isValid() const { return sampleRate > 0 && channelCount > 0; }

  bool operator==(const PcmFormat&) const = default;

  // 32-bit float, non-interleaved: the format every consumer here asks for.
  static PcmFormat float32(double sampleRate, uint32_t channels) {
    return PcmFormat{sampleRate, channels, SampleType::kFloat32, false};
  }
};

class PcmBuffer;
using PcmBufferPtr = std::shared_ptr<PcmBuffer>;

class PcmBuffer {
 public:
  // An empty buffer (frame length 0) with zeroed storage; nullptr when the
  // format is invalid or the storage cannot be allocated.
  static PcmBufferPtr create(const PcmFormat& format, uint32_t frameCapacity);

  const PcmFormat& format() const { return format_; }
  uint32_t frameCapacity() const { return frameCapacity_; }
  uint32_t frameLength() const { return frameLength_; }
  // Sets the number of valid frames, clamped to the capacity; the byte size
  // of every sample array follows.
  void setFrameLength(uint32_t frames);

  uint32_t bufferCount() const { return static_cast<uint32_t>(data_.size()); }
  // Data of sample array `i`, or nullptr when it has none (see releaseData).
  std::byte* data(uint32_t i) { return data_[i].get(); }
  const std::byte* data(uint32_t i) const { return data_[i].get(); }
  // Valid bytes of sample array `i`: frameLength × bytesPerFrameInBuffer.
  uint32_t byteSize(uint32_t i) const;

  // Typed view of channel `i` of a float32 non-interleaved buffer; nullptr for
  // any other format or an array without data.
  float* floatChannel(uint32_t i);
  const float* floatChannel(uint32_t i) const;

  // Drops the storage of sample array `i`, leaving it without data. Sources
  // that hand over partial buffer lists produce such arrays; consumers skip
  // them.
  void releaseData(uint32_t i) { data_[i].reset(); }

  // An independent buffer with the same format, capacity, length and
  // samples, or nullptr when it cannot be allocated. Arrays without data on
  // either side are skipped.
  PcmBufferPtr deepCopy() const;

 private:
  PcmBuffer(const PcmFormat& format, uint32_t frameCapacity) : format_(format), frameCapacity_(frameCapacity) {}

  PcmFormat format_;
  uint32_t frameCapacity_;
  uint32_t frameLength_ = 0;
  std::vector<std::unique_ptr<std::byte[]>> data_;
};

// Float samples beyond this magnitude are damage, not sound: no decoder or
// mixer makes them from real audio (full scale is 1).
constexpr float kDamagedSampleMagnitude = 16.0f;

// Sets every float sample of `buffer` that is not finite or lies beyond
// ±kDamagedSampleMagnitude to 0, so that a damaged sample costs only its own
// moment: one NaN would otherwise turn a whole window of an engine's
// features into NaN. Buffers of other sample types are left alone.
void silenceDamagedSamples(PcmBuffer& buffer);

}  // namespace tavrin
