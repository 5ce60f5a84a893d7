#include "common/pcm_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace tavrin {

uint32_t bytesPerSample(SampleType type) {
  switch (type) {
    case SampleType::kInt16: return 2;
    case SampleType::kFloat32:
    case SampleType::kInt32: return 4;
  }
  return 4;
}

PcmBufferPtr PcmBuffer::create(const PcmFormat& format, uint32_t frameCapacity) {
  if (!format.isValid()) return nullptr;
  PcmBufferPtr buffer(new (std::nothrow) PcmBuffer(format, frameCapacity));
  if (!buffer) return nullptr;
  const size_t bytes = static_cast<size_t>(frameCapacity) * format.bytesPerFrameInBuffer();
  buffer->data_.reserve(format.bufferCount());
  for (uint32_t i = 0; i < format.bufferCount(); ++i) {
    // At least one byte so that an empty buffer still has data pointers.
    std::unique_ptr<std::byte[]> storage(new (std::nothrow) std::byte[std::max<size_t>(bytes, 1)]());
    if (!storage) return nullptr;
    buffer->data_.push_back(std::move(storage));
  }
  return buffer;
}

void PcmBuffer::setFrameLength(uint32_t frames) {
  frameLength_ = std::min(frames, frameCapacity_);
}

uint32_t PcmBuffer::byteSize(uint32_t i) const {
  return data_[i] ? frameLength_ * format_.bytesPerFrameInBuffer() : 0;
}

float* PcmBuffer::floatChannel(uint32_t i) {
  if (format_.sampleType != SampleType::kFloat32 || format_.interleaved || i >= data_.size()) return nullptr;
  return reinterpret_cast<float*>(data_[i].get());
}

const float* PcmBuffer::floatChannel(uint32_t i) const {
  return const_cast<PcmBuffer*>(this)->floatChannel(i);
}

PcmBufferPtr PcmBuffer::deepCopy() const {
  PcmBufferPtr copy = create(format_, frameCapacity_);
  if (!copy) return nullptr;
  copy->setFrameLength(frameLength_);
  const uint32_t n = std::min(bufferCount(), copy->bufferCount());
  for (uint32_t i = 0; i < n; ++i) {
    if (!data_[i] || !copy->data_[i]) continue;
    // Copy the whole capacity: what lies past the length goes along too, as
    // a copy must not differ from its source anywhere.
    const size_t bytes = static_cast<size_t>(frameCapacity_) * format_.bytesPerFrameInBuffer();
    std::memcpy(copy->data_[i].get(), data_[i].get(), bytes);
  }
  return copy;
}

void silenceDamagedSamples(PcmBuffer& buffer) {
  if (buffer.format().sampleType != SampleType::kFloat32) return;
  for (uint32_t i = 0; i < buffer.bufferCount(); ++i) {
    auto* samples = reinterpret_cast<float*>(buffer.data(i));
    if (samples == nullptr) continue;
    const size_t n = buffer.byteSize(i) / sizeof(float);
    for (size_t j = 0; j < n; ++j) {
      // Written so that NaN fails the test and is silenced too.
      if (!(std::fabs(samples[j]) <= kDamagedSampleMagnitude)) samples[j] = 0.0f;
    }
  }
}

}  // namespace tavrin
