#include "system-audio/sources/screen_capture.h"

#include <algorithm>
#include <thread>

#include "common/audio_converter.h"
#include "common/capture_stream.h"
#include "system-audio/base/errors.h"
#include "system-audio/sources/default_output_follower.h"

namespace tavrin::system_audio {

namespace {

// Runs a server step; its failure becomes the server's own description.
template <typename F>
auto platformStep(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const SoundServerError& error) {
    throw PlatformError(error.what());
  }
}

SampleBuffer sampleBufferOf(const PcmBuffer& buffer, uint64_t captureNanos) {
  SampleBuffer out;
  out.presentationTime = MediaTime{static_cast<int64_t>(captureNanos), 1'000'000'000};
  const PcmFormat& format = buffer.format();
  AudioStreamDescription description;
  description.sampleRate = format.sampleRate;
  description.channelsPerFrame = format.channelCount;
  description.bitsPerChannel = bytesPerSample(format.sampleType) * 8;
  description.bytesPerFrame = format.bytesPerFrameInBuffer();
  description.formatFlags =
      kAudioFormatFlagIsPacked |
      (format.sampleType == SampleType::kFloat32 ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) |
      (format.interleaved ? 0u : kAudioFormatFlagIsNonInterleaved);
  out.description = description;
  for (uint32_t i = 0; i < buffer.bufferCount(); ++i) {
    const auto* data = buffer.data(i);
    out.buffers.emplace_back(data, data + buffer.byteSize(i));
  }
  return out;
}

class SoundServerCaptureStream final : public ScreenCaptureStream {
 public:
  SoundServerCaptureStream(std::shared_ptr<SoundServerConnection> connection, CaptureDisplay display,
                           StreamConfiguration configuration, StreamDeathWatcher* delegate)
      : connection_(std::move(connection)),
        display_(std::move(display)),
        configuration_(configuration),
        delegate_(delegate) {}

  ~SoundServerCaptureStream() override { stopCapture(); }

  void addAudioOutput(StreamOutputHandler handler) override { handler_ = std::move(handler); }

  // The server thread only copies each fragment onto `queue`; the sample
  // handler runs on this stream's own thread (the sample-handler queue), one
  // buffer at a time, in capture order. Capture starts on the display's
  // output and follows the default output from then on.
  void startCapture() override {
    if (follower_) return;
    auto queue = std::make_shared<UnboundedStream<Fragment>>();
    const PcmFormat target{static_cast<double>(configuration_.sampleRate), configuration_.channelCount,
                           SampleType::kFloat32, true};
    auto follower = std::make_unique<DefaultOutputFollower>(
        *connection_,
        [this](const std::string& sinkName, DefaultOutputFollower::DataHandler onData,
               DefaultOutputFollower::FailureHandler onFailure) {
          return openMonitor(sinkName, std::move(onData), std::move(onFailure));
        },
        [queue](PcmBufferPtr buffer, uint64_t captureNanos) {
          queue->add(Fragment{std::move(buffer), captureNanos});
        },
        [delegate = delegate_](const std::string& description) {
          if (delegate) delegate->streamDidStop(description);
        });
    platformStep([&] { follower->start(display_.name); });
    follower_ = std::move(follower);
    finishQueue_ = [queue] { queue->finish(); };
    handlerThread_ = std::thread([queue, handler = handler_, target] {
      LiveAudioConverter converter(target);
      while (auto fragment = queue->next()) {
        const PcmBufferPtr buffer = converter.convert(fragment->buffer);
        if (handler && buffer) handler(sampleBufferOf(*buffer, fragment->captureNanos), StreamOutputType::kAudio);
      }
    });
  }

  // Ends capture; the buffers captured before it are still handed to the
  // handler before this returns.
  void stopCapture() override {
    if (follower_) follower_->stop();
    if (finishQueue_) finishQueue_();
    if (handlerThread_.joinable()) handlerThread_.join();
  }

 private:
  struct Fragment {
    PcmBufferPtr buffer;
    uint64_t captureNanos;
  };

  // The output's front pair at its own rate; the handler thread converts.
  std::unique_ptr<RecordStream> openMonitor(const std::string& sinkName, DefaultOutputFollower::DataHandler onData,
                                            DefaultOutputFollower::FailureHandler onFailure) {
    SinkInfo sink{display_.name, display_.sourceName, display_.format};
    if (sinkName != display_.name) sink = platformStep([&] { return connection_->sinkInfo(sinkName); });
    if (sink.monitorSourceName.empty()) throw PlatformError("the output " + sinkName + " has no monitor");
    RecordStreamRequest request;
    request.sourceName = sink.monitorSourceName;
    request.format =
        PcmFormat{sink.format.sampleRate, std::min(sink.format.channelCount, 2u), SampleType::kFloat32, true};
    request.channelsByIndex = true;
    // 40 ms per buffer: short enough that audio arrives within tens of
    // milliseconds whatever the sink is doing.
    request.fragment = std::chrono::milliseconds(40);
    request.streamName = "system audio capture";
    request.onData = std::move(onData);
    request.onFailure = std::move(onFailure);
    auto record = platformStep([&] { return connection_->createRecordStream(request); });
    platformStep([&] { record->start(); });
    return record;
  }

  std::shared_ptr<SoundServerConnection> connection_;
  CaptureDisplay display_;
  StreamConfiguration configuration_;
  StreamDeathWatcher* delegate_;
  StreamOutputHandler handler_;
  std::unique_ptr<DefaultOutputFollower> follower_;
  std::function<void()> finishQueue_;
  std::thread handlerThread_;
};

class SoundServerScreenCapture final : public ScreenCaptureService {
 public:
  explicit SoundServerScreenCapture(SoundServer& server) : server_(server) {}

  std::vector<CaptureDisplay> shareableContent() override {
    if (!connection_) {
      connection_ = platformStep([&] { return server_.connect("tavrin-system-audio"); });
    }
    const ServerInfo info = platformStep([&] { return connection_->serverInfo(); });
    const std::vector<SinkInfo> sinks = platformStep([&] { return connection_->sinks(); });
    std::vector<CaptureDisplay> displays;
    for (const SinkInfo& sink : sinks) {
      if (sink.monitorSourceName.empty()) continue;
      CaptureDisplay display{sink.name, sink.monitorSourceName, sink.format};
      if (sink.name == info.defaultSinkName) {
        displays.insert(displays.begin(), display);
      } else {
        displays.push_back(display);
      }
    }
    return displays;
  }

  std::unique_ptr<ScreenCaptureStream> makeStream(const CaptureDisplay& display,
                                                  const StreamConfiguration& configuration,
                                                  StreamDeathWatcher* delegate) override {
    if (!connection_) {
      connection_ = platformStep([&] { return server_.connect("tavrin-system-audio"); });
    }
    return std::make_unique<SoundServerCaptureStream>(connection_, display, configuration, delegate);
  }

 private:
  SoundServer& server_;
  std::shared_ptr<SoundServerConnection> connection_;
};

}  // namespace

std::unique_ptr<ScreenCaptureService> makeSoundServerScreenCapture(SoundServer& server) {
  return std::make_unique<SoundServerScreenCapture>(server);
}

}  // namespace tavrin::system_audio
