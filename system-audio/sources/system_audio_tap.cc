#include "system-audio/sources/system_audio_tap.h"

#include <algorithm>
#include <atomic>

#include "system-audio/base/errors.h"

namespace tavrin::system_audio {

// The steps of start() and the CoreAudioError `op` each one reports. The
// names are those of the process-tap steps that play the same part:
//
//   op                     step on the sound server
//   "CreateProcessTap"     connecting to the server (main loop + context,
//                          handshake until the context is ready)
//   "DefaultOutputDevice"  reading the server's defaults; code 0 when the
//                          server has no default sink
//   "OutputDeviceUID"      reading the default sink and its monitor source's
//                          name; code 0 when the sink has no monitor
//   "TapFormat"            reading the monitor source's sample format
//   "CreateIOProc"         creating the record stream on the monitor
//   "DeviceStart"          connecting the record stream until it runs
//
// "CreateAggregateDevice" has no counterpart: recording from the sink's
// monitor by name already binds capture to that one sink. A format from
// which no PCM format can be made (no rate or no channels) is
// SystemAudioError::incompatibleAudioFormat. Codes are the server's error
// numbers (PA_ERR_*), e.g. 6 for a refused connection.
namespace {

constexpr const char* kCreateProcessTap = "CreateProcessTap";
constexpr const char* kDefaultOutputDevice = "DefaultOutputDevice";
constexpr const char* kOutputDeviceUid = "OutputDeviceUID";
constexpr const char* kTapFormat = "TapFormat";
constexpr const char* kCreateIoProc = "CreateIOProc";
constexpr const char* kDeviceStart = "DeviceStart";

// Runs one step, turning the server's failure into the step's error.
// A timeout keeps the server's sentence, which says what it was waiting for.
template <typename F>
auto step(const char* op, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const SoundServerError& error) {
    if (error.timedOut()) throw PlatformError(error.what());
    throw CoreAudioError(op, error.code());
  }
}

}  // namespace

// The output at its own rate, in float. When the server names the positions
// of all its channels, every channel is taken (reordered by position, never
// mixed by the server: PulseAudio and PipeWire upmix stereo into the other
// channels differently) and the consumer's converter mixes them with the
// speech downmix, which keeps centre dialogue and keeps stereo content that
// a server copied into every channel at its stereo level. Otherwise the
// first two channels are taken by index: the front pair of every standard
// map.
PcmFormat SystemAudioTap::tapFormat(const PcmFormat& monitor) {
  if (monitor.channelMask != 0) {
    return PcmFormat{monitor.sampleRate, monitor.channelCount, SampleType::kFloat32, true, monitor.channelMask};
  }
  return PcmFormat{monitor.sampleRate, std::min(monitor.channelCount, kChannels), SampleType::kFloat32, true};
}

SystemAudioTap::SystemAudioTap(SoundServer& server) : server_(server) {}

SystemAudioTap::~SystemAudioTap() {
  stop();
}

void SystemAudioTap::start() {
  try {
    acquire();
  } catch (...) {
    stop();
    throw;
  }
}

void SystemAudioTap::acquire() {
  connection_ = step(kCreateProcessTap, [&] { return server_.connect("tavrin-system-audio"); });

  const ServerInfo info = step(kDefaultOutputDevice, [&] { return connection_->serverInfo(); });
  if (info.defaultSinkName.empty()) throw CoreAudioError(kDefaultOutputDevice, 0);

  // Copy and enqueue, nothing else: the layer hands over an independent
  // copy, so the callback only adds it.
  auto deliver = [stream = stream_](PcmBufferPtr buffer, uint64_t) { stream->add(std::move(buffer)); };
  // Capture that can no longer follow any output (server gone, last output
  // removed) ends: the owner hears why, and the stream ends after what was
  // captured.
  auto fail = [stream = stream_, handler = onFailure()](const std::string& description) {
    if (handler) handler(description);
    stream->finish();
  };
  follower_ = std::make_unique<DefaultOutputFollower>(
      *connection_,
      [this](const std::string& sinkName, DefaultOutputFollower::DataHandler onData,
             DefaultOutputFollower::FailureHandler onFailure) {
        return openMonitor(sinkName, std::move(onData), std::move(onFailure));
      },
      deliver, fail);
  follower_->start(info.defaultSinkName);

  // Watching the default output is best effort: a server that refuses the
  // subscription leaves capture running without the notice.
  if (onDeviceLost_) {
    auto fired = std::make_shared<std::atomic<bool>>(false);
    deviceListener_ = connection_->subscribeServerChanges(
        [fired, handler = onDeviceLost_, startedOn = sinkName_](const ServerInfo& current) {
          if (current.defaultSinkName == startedOn) return;
          if (!fired->exchange(true)) handler();
        });
  }
}

std::unique_ptr<RecordStream> SystemAudioTap::openMonitor(const std::string& sinkName,
                                                          DefaultOutputFollower::DataHandler onData,
                                                          DefaultOutputFollower::FailureHandler onFailure) {
  const SinkInfo sink = step(kOutputDeviceUid, [&] { return connection_->sinkInfo(sinkName); });
  if (sink.monitorSourceName.empty()) throw CoreAudioError(kOutputDeviceUid, 0);

  const SourceInfo monitor = step(kTapFormat, [&] { return connection_->sourceInfo(sink.monitorSourceName); });
  if (!monitor.format.isValid()) throw SystemAudioError::incompatibleAudioFormat();
  const PcmFormat format = tapFormat(monitor.format);

  RecordStreamRequest request;
  request.sourceName = sink.monitorSourceName;
  request.format = format;
  request.channelsByIndex = format.channelMask == 0;
  request.fragment = kFragment;
  request.streamName = "system audio tap";
  request.onData = std::move(onData);
  request.onFailure = std::move(onFailure);
  auto record = step(kCreateIoProc, [&] { return connection_->createRecordStream(request); });
  step(kDeviceStart, [&] { record->start(); });
  // The first output's; later ones keep the buffers' own format.
  if (sinkName_.empty()) {
    sinkName_ = sink.name;
    format_ = format;
  }
  return record;
}

void SystemAudioTap::stop() {
  deviceListener_.reset();
  if (follower_) follower_->stop();
  follower_.reset();
  connection_.reset();
  stream_->finish();
}

bool tapCapabilityHolds(SoundServer& server) {
  try {
    auto connection = server.connect("tavrin-system-audio");
    const ServerInfo info = connection->serverInfo();
    if (info.defaultSinkName.empty()) return false;
    return !connection->sinkInfo(info.defaultSinkName).monitorSourceName.empty();
  } catch (const SoundServerError&) {
    return false;
  }
}

}  // namespace tavrin::system_audio
