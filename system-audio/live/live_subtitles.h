// The live command: captures system audio and the microphone, runs one
// channel per source, and stops both in order when a stop signal comes.
#pragma once

#include <functional>
#include <memory>

#include "system-audio/base/requests.h"
#include "system-audio/base/system_env.h"
#include "system-audio/live/live_channel.h"
#include "system-audio/sources/audio_capture.h"

namespace tavrin::system_audio {

// Makes the capture objects of a live run. Each is created unstarted.
class LiveCaptureFactory {
 public:
  virtual ~LiveCaptureFactory() = default;
  // System output. `onDeviceLost` is called (on any thread) when the default
  // output device changes; the capture goes on with the device it started on.
  virtual std::unique_ptr<AudioCapture> makeSystemCapture(std::function<void()> onDeviceLost) = 0;
  // The default input, with echo cancellation against the system output when
  // `voiceProcessing`.
  virtual std::unique_ptr<AudioCapture> makeMicCapture(bool voiceProcessing) = 0;
};

struct LiveRunOptions {
  int outputFd = 1;             // where the events go
  bool timingEnabled = false;   // TAVRIN_LIVE_TIMING is set
  LiveTiming::Sink timingSink;  // where latency lines go
  LiveTiming::Clock clock;      // monotonic nanoseconds
};

// Start: the system capture (its failure is the command's failure, before
// anything else starts or is written), then the microphone (its failure is
// the error event "Microphone capture failed: …" and the run goes on), then
// one channel thread per started capture. The system channel gets the timer
// and writes the status event; the microphone channel writes it only when
// system audio is off. Then waits for a stop signal.
// A capture whose stream dies while running writes one error event
// ("System audio stream stopped: <reason>." for the system audio,
// "Microphone capture failed: <reason>" for the microphone); its channel
// drains and ends, the other goes on until the stop signal.
// Stop: stops the system capture, then the microphone (which ends their
// streams), then waits for the system channel and the microphone channel to
// drain; channel failures are ignored.
void runLiveSubtitles(const LiveRequest& request, LiveCaptureFactory& captures, const LiveServices& services,
                      SystemEnv& env, const LiveRunOptions& options);

}  // namespace tavrin::system_audio
