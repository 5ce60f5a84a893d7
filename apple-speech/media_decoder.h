// `decode`: any media file FFmpeg can open, audio or video, becomes raw
// samples (32-bit float, little-endian, one channel, 16 000 Hz, no header).
//
// The path names a local file and nothing else: it is read through a plain
// file descriptor (a name such as "pipe:0" or "http:x" is a file of that
// name), and formats that open other files or URLs (playlists, concat
// lists, image sequences, manifests) are refused as not media. However far
// apart its audio packets are (raw or high-rate video between them), a
// file is read to its end; one whose reading keeps tens of megabytes
// without yielding audio (a parser looking for a frame in garbage) is taken
// as damaged. A file that fails part-way gives everything decoded before
// the failure, then the failure.
//
// Every audio track is decoded and converted to 16 kHz mono on its own,
// its channels mixed by the speech downmix (common/speech_downmix.h: centre
// dialogue stays within 3 dB of the front pair's level, and no sample
// exceeds the loudest channel's). A frame its decoder refuses (damaged) is
// skipped and decoding goes on; only when no frame at all decodes is that
// a failure. The tracks are placed on the media's time line, which starts
// where the file's earliest stream starts: a track that starts later is
// silent until it starts. Within a track the audio follows on, whatever its
// time stamps say (a jump, a damaged stamp, a skipped frame), as FFmpeg's
// own tool plays it. Where several tracks have audio, the mix is their
// average.
//
// Output is streamed: a block is written as soon as every track has reached
// it, and no track is waited for more than a few seconds of media, so memory
// does not grow with the length of the file or with what its headers
// claim (conversion goes in bounded pieces).
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tavrin::apple_speech {

// Receives each block of output bytes; returns 0 or the errno of a failed
// write.
using ByteSink = std::function<int(std::string_view bytes)>;

// Throws HelperError::decodeFailed(reason) for the failures of decoding
// ("unsupported audio configuration" also for a sample rate outside
// 1 000 – 768 000 Hz), and PlatformError for a file FFmpeg cannot open or
// refuses, or a failed write.
void decodeMedia(const std::string& path, const ByteSink& sink);

// FFmpeg's text for an error code as the reason of a failure: its own
// sentence where it has one; for the end of the file and for codes it has
// no text for (a decoder's private codes), one in the same style
// (capitalised, no full stop).
std::string ffmpegErrorText(int error);

}  // namespace tavrin::apple_speech
