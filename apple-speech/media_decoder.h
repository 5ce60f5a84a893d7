// `decode`: any media file FFmpeg can open, audio or video, becomes raw
// samples (32-bit float, little-endian, one channel, 16 000 Hz, no header).
//
// Every audio track is decoded and converted to 16 kHz mono on its own, and
// the tracks are mixed by adding them sample for sample from their starts.
// Output is streamed: memory does not grow with the length of the file.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tavrin::apple_speech {

// Receives each block of output bytes; returns 0 or the errno of a failed
// write.
using ByteSink = std::function<int(std::string_view bytes)>;

// Throws HelperError::decodeFailed(reason) for the failures of decoding, and
// PlatformError for a file FFmpeg cannot open or a failed write.
void decodeMedia(const std::string& path, const ByteSink& sink);

}  // namespace tavrin::apple_speech
