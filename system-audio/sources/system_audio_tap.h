// SystemAudioTap: captures everything the computer plays, as a stream of
// PCM buffers.
//
// It records from the monitor source of the server's default output: all
// its channels with their positions (PcmFormat::channelMask; only the front
// pair when the positions are not known) in 32-bit float at that sink's own
// rate. Consumers convert with a LiveAudioConverter, whose mix to one
// channel is the speech downmix. When the default output changes, or the
// output recorded is removed, capture moves to the new default's monitor
// (DefaultOutputFollower), where the applications' audio now plays; its
// buffers may then come in another format. onDeviceLost is called once, at
// the first change. When no output can be recorded any more (the server
// gone, the last output removed) the failure handler of
// AudioCapture hears the server's reason and the stream ends.
//
// Owner's calling order: construct; setOnDeviceLost (optional); start();
// read stream() until it ends or the owner decides to stop; stop().
// start() either fully succeeds or releases everything it created, in
// reverse order, before throwing CoreAudioError (the failed step and the
// server's error number) or SystemAudioError::incompatibleAudioFormat.
// stop() never fails, may be called at any time and again, and finishes the
// stream; a stopped tap is not started again.
//
// Threading: start() and stop() run on the owner's thread. The read
// callback (the server thread) only copies the fragment and adds it to the
// stream. onDeviceLost runs on the server thread, the failure handler on the
// follower's; both must be safe to call from any thread and must not call
// back into this tap.
#pragma once

#include <functional>
#include <memory>

#include "system-audio/sound-server/sound_server.h"
#include "system-audio/sources/audio_capture.h"
#include "system-audio/sources/default_output_follower.h"

namespace tavrin::system_audio {

class SystemAudioTap final : public AudioCapture {
 public:
  // The length of a delivered buffer that the tap asks the server for:
  // capture's first audio comes within about 100 ms of the command's start,
  // and the server's wake-ups stay well under 1 % of a core.
  static constexpr std::chrono::microseconds kFragment{21'000};
  // The most channels delivered when the output does not name their
  // positions: the front pair.
  static constexpr uint32_t kChannels = 2;

  // The format the tap records in from a monitor of format `monitor`.
  static PcmFormat tapFormat(const PcmFormat& monitor);

  explicit SystemAudioTap(SoundServer& server);
  ~SystemAudioTap() override;
  SystemAudioTap(const SystemAudioTap&) = delete;
  SystemAudioTap& operator=(const SystemAudioTap&) = delete;

  // Set before start(). Called at most once, when the server's default sink
  // is no longer the one capture started on.
  void setOnDeviceLost(std::function<void()> handler) { onDeviceLost_ = std::move(handler); }

  void start() override;
  void stop() override;
  std::shared_ptr<CaptureStream> stream() override { return stream_; }

  // The sink capture started on and the format of its buffers; valid after
  // start() succeeded.
  const std::string& sinkName() const { return sinkName_; }
  const PcmFormat& format() const { return format_; }

 private:
  void acquire();
  std::unique_ptr<RecordStream> openMonitor(const std::string& sinkName, DefaultOutputFollower::DataHandler onData,
                                            DefaultOutputFollower::FailureHandler onFailure);

  SoundServer& server_;
  const std::shared_ptr<CaptureStream> stream_ = std::make_shared<CaptureStream>();
  std::function<void()> onDeviceLost_;
  std::string sinkName_;
  PcmFormat format_;
  // Acquired in this order by start(), released in reverse by stop().
  std::unique_ptr<SoundServerConnection> connection_;
  std::unique_ptr<DefaultOutputFollower> follower_;
  std::unique_ptr<ServerSubscription> deviceListener_;
};

// The tap capability: the server is reachable and has a default sink with a
// monitor source. Any failure to find out counts as "no".
bool tapCapabilityHolds(SoundServer& server);

}  // namespace tavrin::system_audio
