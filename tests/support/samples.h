// The one sample maker and the few measurements the audio tests share.
#pragma once

#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "common/pcm_buffer.h"

namespace tavrin::testing {

// `frames` frames of amplitude × cos(2π·hz·t) in every channel, in any sample
// type and layout, t counted from `firstFrame`; hz = 0 gives a constant.
inline PcmBufferPtr makeTone(const PcmFormat& format, uint32_t frames, double hz, float amplitude,
                             uint64_t firstFrame = 0) {
  PcmBufferPtr buffer = PcmBuffer::create(format, frames);
  buffer->setFrameLength(frames);
  for (uint32_t i = 0; i < frames; ++i) {
    const double v =
        amplitude * std::cos(2 * std::numbers::pi * hz * static_cast<double>(firstFrame + i) / format.sampleRate);
    for (uint32_t c = 0; c < format.channelCount; ++c) {
      const size_t at = format.interleaved ? size_t{i} * format.channelCount + c : i;
      std::byte* data = buffer->data(format.interleaved ? 0 : c);
      switch (format.sampleType) {
        case SampleType::kFloat32: reinterpret_cast<float*>(data)[at] = static_cast<float>(v); break;
        case SampleType::kInt16: reinterpret_cast<int16_t*>(data)[at] = static_cast<int16_t>(v * 32767); break;
        case SampleType::kInt32: reinterpret_cast<int32_t*>(data)[at] = static_cast<int32_t>(v * 2147483647); break;
      }
    }
  }
  return buffer;
}

// A file of raw 32-bit floats (what record writes) as samples.
inline std::vector<float> floatSamples(const std::string& bytes) {
  std::vector<float> out(bytes.size() / 4);
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

// Frequency of a tone from its rising zero crossings; 0 without two of them.
inline double dominantFrequency(const std::vector<float>& samples, double rate) {
  int crossings = 0;
  size_t first = 0, last = 0;
  for (size_t i = 1; i < samples.size(); ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) {
      if (crossings++ == 0) first = i;
      last = i;
    }
  }
  return crossings < 2 ? 0 : (crossings - 1) * rate / static_cast<double>(last - first);
}

inline double rms(const std::vector<float>& samples) {
  double sum = 0;
  for (float x : samples) sum += static_cast<double>(x) * x;
  return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

}  // namespace tavrin::testing
