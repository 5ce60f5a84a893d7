// The screen-capture service: the second way this program obtains system
// audio, used by `probe`, by `status` and `record` when the process-tap gate
// does not hold.
//
// It offers what the host's older capture service offered: a list of
// "displays" (here: the server's outputs, the default one first; an empty
// list means there is nothing to capture), and streams on one display that
// deliver timestamped sample buffers in a requested configuration (the
// server converts to it). Each sample buffer carries a format description
// (float or signed integer, bits per channel) and a buffer list, so the
// consumer decodes the samples itself.
//
// The real service (makeSoundServerScreenCapture) records from the output's
// monitor source; tests use a scripted one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/pcm_buffer.h"
#include "system-audio/base/stop_signals.h"
#include "system-audio/sound-server/sound_server.h"

namespace tavrin::system_audio {

// A rational media time: value / timescale seconds.
struct MediaTime {
  int64_t value = 0;
  int32_t timescale = 1;
  double seconds() const { return static_cast<double>(value) / static_cast<double>(timescale); }
};

// Format flags of an audio stream description.
enum AudioFormatFlags : uint32_t {
  kAudioFormatFlagIsFloat = 1u << 0,
  kAudioFormatFlagIsBigEndian = 1u << 1,
  kAudioFormatFlagIsSignedInteger = 1u << 2,
  kAudioFormatFlagIsPacked = 1u << 3,
  kAudioFormatFlagIsNonInterleaved = 1u << 5,
};

struct AudioStreamDescription {
  double sampleRate = 0;
  uint32_t formatFlags = 0;
  uint32_t bytesPerFrame = 0;
  uint32_t channelsPerFrame = 0;
  uint32_t bitsPerChannel = 0;
};

enum class StreamOutputType { kScreen = 0, kAudio = 1 };

// One delivered buffer of media.
struct SampleBuffer {
  bool valid = true;
  MediaTime presentationTime;
  // Absent when the buffer carries no format description.
  std::optional<AudioStreamDescription> description;
  // The buffer list: one byte array per buffer (one for interleaved audio,
  // one per channel otherwise).
  std::vector<std::vector<std::byte>> buffers;
};

struct CaptureDisplay {
  std::string name;                                        // the output (sink)
  std::string sourceName;                                  // what capturing it records from (its monitor)
  PcmFormat format{48000, 2, SampleType::kFloat32, true};  // the output's own
};

struct StreamConfiguration {
  uint32_t width = 2;
  uint32_t height = 2;
  MediaTime minimumFrameInterval{1, 1};
  bool capturesAudio = true;
  bool excludesCurrentProcessAudio = true;
  uint32_t sampleRate = 16000;
  uint32_t channelCount = 1;
};

using StreamOutputHandler = std::function<void(const SampleBuffer& buffer, StreamOutputType type)>;

class ScreenCaptureStream {
 public:
  virtual ~ScreenCaptureStream() = default;  // stops capture if it runs
  // Registers the audio output; the handler runs on the service's thread, one
  // buffer at a time. Throws PlatformError.
  virtual void addAudioOutput(StreamOutputHandler handler) = 0;
  // Throws PlatformError with the service's description.
  virtual void startCapture() = 0;
  virtual void stopCapture() = 0;
};

class ScreenCaptureService {
 public:
  virtual ~ScreenCaptureService() = default;
  // The displays that can be captured, the default output first. Throws
  // PlatformError with the service's description when it cannot be reached.
  virtual std::vector<CaptureDisplay> shareableContent() = 0;
  // A stream on `display` (not yet running). `delegate`, when given, learns
  // of the stream's death: its error is set when the stream stops on its own.
  virtual std::unique_ptr<ScreenCaptureStream> makeStream(const CaptureDisplay& display,
                                                          const StreamConfiguration& configuration,
                                                          StreamDeathWatcher* delegate) = 0;
};

// The service over a sound server: displays are the server's sinks (with a
// monitor), streams record the sink's monitor as 32-bit float at the
// configured rate and channel count, stamped with the monotonic time of
// their first sample (nanoseconds, timescale 1e9). The stream records the
// output's front pair at its own rate and converts here, as the tap path
// does: the servers' own conversions differ (PipeWire's mono is 3 dB above
// PulseAudio's, and its 16 kHz record streams run about 1 % slow).
std::unique_ptr<ScreenCaptureService> makeSoundServerScreenCapture(SoundServer& server);

}  // namespace tavrin::system_audio
