// MicCapture: captures the default audio input (the microphone) as a stream
// of PCM buffers, optionally with echo cancellation against what the
// computer itself plays.
//
// Without voice processing it records the server's default source in the
// source's own format, in fragments of about kFragment, and
// puts each (an independent copy) on the stream.
//
// With voice processing it also records the monitor of the default sink (the
// far end), following the default output as it changes
// (DefaultOutputFollower), and runs an EchoAligner with the canceller: both
// record callbacks only enqueue their copies on one internal queue; a
// processing thread converts them to the canceller's format (16 kHz mono
// float), cancels the echo, and puts the result on the stream. When echo
// cancellation cannot be switched on (no default sink or monitor, the
// canceller cannot be made, the far-end stream does not start), start()
// writes one diagnostic line
//   mic: voice processing unavailable, continuing without echo cancellation (<why>)
// and captures without it.
//
// Lifecycle as for every capture: construct; start() (on failure it stops
// itself and rethrows the server's error); read stream(); stop() ends the
// stream after everything captured so far has gone through; stop() never
// fails and may be called again.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "system-audio/sound-server/sound_server.h"
#include "system-audio/sources/audio_capture.h"
#include "system-audio/sources/default_output_follower.h"
#include "system-audio/sources/echo_canceller.h"

namespace tavrin::system_audio {

class MicCapture final : public AudioCapture {
 public:
  // Capture starts delivering within tens of milliseconds on any source.
  static constexpr std::chrono::microseconds kFragment{43'000};
  // Far-end fragments are shorter so that the near end waits little for them.
  static constexpr std::chrono::microseconds kFarFragment{21'000};

  using CancellerFactory = std::function<std::unique_ptr<EchoCanceller>()>;
  // Writes one diagnostic line (without its line feed) to standard error.
  using Diagnostics = std::function<void(const std::string& line)>;

  MicCapture(SoundServer& server, bool voiceProcessing, Diagnostics diagnostics,
             CancellerFactory cancellerFactory = makeEchoCanceller);
  ~MicCapture() override;
  MicCapture(const MicCapture&) = delete;
  MicCapture& operator=(const MicCapture&) = delete;

  void start() override;
  void stop() override;
  std::shared_ptr<CaptureStream> stream() override { return stream_; }

  // Whether echo cancellation runs; valid after start() succeeded.
  bool echoCancelling() const { return aligner_ != nullptr; }

 private:
  struct Captured {
    bool far = false;
    PcmBufferPtr buffer;
    uint64_t captureNanos = 0;
  };

  void acquire();
  // Sets up the far end and the canceller; returns the reason when it can't.
  std::optional<std::string> startEchoCancellation(const ServerInfo& info);
  void process();

  SoundServer& server_;
  const bool voiceProcessing_;
  Diagnostics diagnostics_;
  CancellerFactory cancellerFactory_;
  const std::shared_ptr<CaptureStream> stream_ = std::make_shared<CaptureStream>();
  const std::shared_ptr<UnboundedStream<Captured>> captured_ = std::make_shared<UnboundedStream<Captured>>();
  // Acquired in this order by start(), released in reverse by stop().
  std::unique_ptr<SoundServerConnection> connection_;
  std::unique_ptr<EchoAligner> aligner_;
  std::thread processor_;
  std::unique_ptr<DefaultOutputFollower> far_;
  std::unique_ptr<RecordStream> record_;
};

}  // namespace tavrin::system_audio
