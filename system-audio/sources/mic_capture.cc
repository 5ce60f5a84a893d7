#include "system-audio/sources/mic_capture.h"

#include "common/audio_converter.h"
#include "system-audio/base/errors.h"

namespace tavrin::system_audio {

MicCapture::MicCapture(SoundServer& server, bool voiceProcessing, Diagnostics diagnostics,
                       CancellerFactory cancellerFactory)
    : server_(server),
      voiceProcessing_(voiceProcessing),
      diagnostics_(std::move(diagnostics)),
      cancellerFactory_(std::move(cancellerFactory)) {}

MicCapture::~MicCapture() {
  stop();
}

void MicCapture::start() {
  try {
    acquire();
  } catch (...) {
    stop();
    throw;
  }
}

void MicCapture::acquire() {
  connection_ = server_.connect("tavrin-system-audio");
  const ServerInfo info = connection_->serverInfo();
  // Without an input device the servers make the output's monitor the
  // default source: that is what the computer plays, not a microphone.
  if (info.defaultSourceName.empty() || connection_->sourceInfo(info.defaultSourceName).isMonitor) {
    throw PlatformError("No audio input device is available.");
  }

  if (voiceProcessing_) {
    if (std::optional<std::string> why = startEchoCancellation(info)) {
      diagnostics_("mic: voice processing unavailable, continuing without echo cancellation (" + *why + ")");
    }
  }

  RecordStreamRequest request;
  request.sourceName = info.defaultSourceName;  // in the source's own format
  request.fragment = kFragment;
  request.streamName = "microphone";
  if (aligner_) {
    request.onData = [queue = captured_](PcmBufferPtr buffer, uint64_t nanos) {
      queue->add(Captured{false, std::move(buffer), nanos});
    };
  } else {
    request.onData = [stream = stream_](PcmBufferPtr buffer, uint64_t) { stream->add(std::move(buffer)); };
  }
  // The input gone (device removed, server gone) ends capture: the owner
  // hears why; the stream ends after what was captured (through the
  // canceller when it runs).
  request.onFailure = [handler = onFailure(), stream = stream_, queue = captured_,
                       cancelling = aligner_ != nullptr](const std::string& description) {
    if (handler) handler(description);
    if (cancelling) {
      queue->finish();
    } else {
      stream->finish();
    }
  };
  record_ = connection_->createRecordStream(request);
  record_->start();
}

std::optional<std::string> MicCapture::startEchoCancellation(const ServerInfo& info) {
  try {
    if (info.defaultSinkName.empty()) return "there is no default output device to cancel";
    const SinkInfo sink = connection_->sinkInfo(info.defaultSinkName);
    if (sink.monitorSourceName.empty()) return "the output device " + sink.name + " has no monitor";
    auto aligner = std::make_unique<EchoAligner>(cancellerFactory_(),
                                                 [stream = stream_](PcmBufferPtr b) { stream->add(std::move(b)); });
    // The far end follows the default output as the system channel does:
    // what the computer plays moves there, and so does its echo. A far end
    // that can follow no output leaves the near end against silence.
    auto far = std::make_unique<DefaultOutputFollower>(
        *connection_,
        [this](const std::string& sinkName, DefaultOutputFollower::DataHandler onData,
               DefaultOutputFollower::FailureHandler onFailure) {
          RecordStreamRequest request;
          request.sourceName = connection_->sinkInfo(sinkName).monitorSourceName;
          request.fragment = kFarFragment;
          request.streamName = "microphone echo reference";
          request.onData = std::move(onData);
          request.onFailure = std::move(onFailure);
          auto record = connection_->createRecordStream(request);
          record->start();
          return record;
        },
        [queue = captured_](PcmBufferPtr buffer, uint64_t nanos) {
          queue->add(Captured{true, std::move(buffer), nanos});
        },
        [](const std::string&) {});
    far->start(sink.name);
    aligner_ = std::move(aligner);
    far_ = std::move(far);
    processor_ = std::thread([this] { process(); });
    return std::nullopt;
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
}

void MicCapture::process() {
  LiveAudioConverter nearConverter(EchoAligner::format());
  LiveAudioConverter farConverter(EchoAligner::format());
  while (std::optional<Captured> item = captured_->next()) {
    LiveAudioConverter& converter = item->far ? farConverter : nearConverter;
    PcmBufferPtr converted = converter.convert(item->buffer);
    if (!converted) continue;
    if (item->far) {
      aligner_->pushFar(*converted, item->captureNanos);
    } else {
      aligner_->pushNear(*converted, item->captureNanos);
    }
  }
  aligner_->finish();
}

void MicCapture::stop() {
  record_.reset();  // no callback runs after this
  far_.reset();
  captured_->finish();
  if (processor_.joinable()) processor_.join();  // everything captured goes through
  aligner_.reset();
  connection_.reset();
  stream_->finish();
}

}  // namespace tavrin::system_audio
