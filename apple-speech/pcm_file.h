// Raw sample files and the buffer operations transcribe uses on them.
#pragma once

#include <cstdint>
#include <string>

#include "common/pcm_buffer.h"

namespace tavrin::apple_speech {

// The format of raw sample files: 32-bit float, 16 000 Hz, one channel.
inline PcmFormat rawFileFormat() {
  return PcmFormat::float32(16000, 1);
}

// Reads a whole raw sample file into one buffer of `format` (one float
// channel), straight into the buffer's storage. Throws PlatformError when
// the file cannot be read, HelperError::invalidAudio() when it is empty, its
// size is not a multiple of 4, or it holds more frames than a buffer can
// count (2^32 − 1).
PcmBufferPtr loadFloat32Pcm(const std::string& path, const PcmFormat& format);

// A new buffer of `frames` frames copied from `from` on, in every channel;
// nullptr when the source has no float data or the buffer cannot be made.
// The caller guarantees from + frames <= buffer.frameLength().
PcmBufferPtr sliceFloatBuffer(const PcmBuffer& buffer, uint32_t from, uint32_t frames);

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
