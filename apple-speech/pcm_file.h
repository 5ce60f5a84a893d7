// Raw sample files and the buffer operations transcribe uses on them.
#pragma once

#include <cstdint>
#include <string>

#include "common/pcm_buffer.h"
#include "common/unique_fd.h"

namespace tavrin::apple_speech {

// The format of raw sample files: 32-bit float, 16 000 Hz, one channel.
inline PcmFormat rawFileFormat() {
  return PcmFormat::float32(16000, 1);
}

// A raw sample file read front to back in stretches, so a run holds one
// stretch of it at a time however long the file is. Owns its descriptor.
class RawSampleReader {
 public:
  // Opens the file. Throws PlatformError when it cannot be opened or is a
  // directory, HelperError::invalidAudio() when it is empty or its size is
  // not a multiple of 4.
  explicit RawSampleReader(const std::string& path);
  ~RawSampleReader();
  RawSampleReader(const RawSampleReader&) = delete;
  RawSampleReader& operator=(const RawSampleReader&) = delete;

  // Frames in the file (its size when opened ÷ 4).
  uint64_t frames() const { return frames_; }

  // The next min(maxFrames, frames left) frames as a buffer of `format`
  // (one float channel); nullptr once the whole file has been read. Throws
  // PlatformError when a read fails, HelperError::invalidAudio() when the
  // file shrank while being read or the buffer cannot be made.
  PcmBufferPtr next(uint32_t maxFrames, const PcmFormat& format);

 private:
  UniqueFd fd_;
  uint64_t frames_ = 0;
  uint64_t done_ = 0;
};

// `buffer` itself when `from` equals `to`; otherwise the buffer converted on
// its own by a fresh converter (no state carries over between calls), into
// a buffer of capacity ceil(frames × to ÷ from rate) + 1024. Throws
// HelperError::incompatibleAudioFormat() when no converter exists,
// HelperError::invalidAudio() when the output cannot be allocated, and
// PlatformError with the converter's message when conversion fails.
PcmBufferPtr convertIfNeeded(const PcmBufferPtr& buffer, const PcmFormat& from, const PcmFormat& to);

// The output capacity convertIfNeeded uses.
uint32_t convertedChunkCapacity(uint32_t frames, double fromRate, double toRate);

}  // namespace tavrin::apple_speech
