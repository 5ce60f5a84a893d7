#include "tests/support/fake_sound_server.h"

#include <algorithm>
#include <functional>

namespace tavrin::testing {


using system_audio::RecordStream;
using system_audio::RecordStreamRequest;
using system_audio::ServerInfo;
using system_audio::ServerSubscription;
using system_audio::SinkInfo;
using system_audio::SoundServerConnection;
using system_audio::SoundServerError;
using system_audio::SoundServerStep;
using system_audio::SourceInfo;

struct FakeSoundServer::State {
  mutable std::mutex mutex;
  // Held while callbacks run and while a stream or subscription is destroyed,
  // so no callback runs after its carrier is gone. Taken before `mutex`.
  std::mutex callbackMutex;
  std::map<std::string, SinkInfo> sinks;
  std::vector<std::string> sinkOrder;
  std::map<std::string, SourceInfo> sources;
  ServerInfo defaults;
  std::map<SoundServerStep, int32_t> failures;
  std::vector<std::string> log;
  int connections = 0;
  int subscriptionsHeld = 0;
  std::optional<RecordStreamRequest> lastRequest;

  struct Stream {
    RecordStreamRequest request;
    PcmFormat format;
    bool running = false;
  };
  std::map<uint64_t, Stream> streams;
  std::map<uint64_t, std::function<void(const ServerInfo&)>> subscribers;
  uint64_t nextId = 0;

  // With the mutex held: throws if `step` is scheduled to fail.
  void take(SoundServerStep step) {
    auto it = failures.find(step);
    if (it == failures.end()) return;
    const int32_t code = it->second;
    failures.erase(it);
    throw SoundServerError(step, code, "fake failure " + std::to_string(code));
  }
};

namespace {

using State = FakeSoundServer::State;

class FakeRecordStream final : public RecordStream {
 public:
  FakeRecordStream(std::shared_ptr<State> state, uint64_t id, PcmFormat format)
      : state_(std::move(state)), id_(id), format_(format) {}
  ~FakeRecordStream() override {
    std::lock_guard callbacks(state_->callbackMutex);
    std::lock_guard lock(state_->mutex);
    auto it = state_->streams.find(id_);
    if (it->second.running) state_->log.push_back("~start:" + it->second.request.sourceName);
    state_->log.push_back("~stream:" + it->second.request.sourceName);
    state_->streams.erase(it);
  }
  void start() override {
    std::lock_guard lock(state_->mutex);
    state_->take(SoundServerStep::kStartStream);
    auto& stream = state_->streams.at(id_);
    if (!state_->sources.count(stream.request.sourceName)) {
      throw SoundServerError(SoundServerStep::kStartStream, 5, "No such entity");
    }
    stream.running = true;
    state_->log.push_back("start:" + stream.request.sourceName);
  }
  const PcmFormat& format() const override { return format_; }

 private:
  std::shared_ptr<State> state_;
  uint64_t id_;
  PcmFormat format_;
};

class FakeSubscription final : public ServerSubscription {
 public:
  FakeSubscription(std::shared_ptr<State> state, uint64_t id) : state_(std::move(state)), id_(id) {}
  ~FakeSubscription() override {
    std::lock_guard callbacks(state_->callbackMutex);
    std::lock_guard lock(state_->mutex);
    state_->subscribers.erase(id_);
    --state_->subscriptionsHeld;
    state_->log.push_back("~subscribe");
  }

 private:
  std::shared_ptr<State> state_;
  uint64_t id_;
};

class FakeConnection final : public SoundServerConnection {
 public:
  FakeConnection(std::shared_ptr<State> state, const bool* refuse) : state_(std::move(state)), refuse_(refuse) {}
  ~FakeConnection() override {
    std::lock_guard lock(state_->mutex);
    --state_->connections;
    state_->log.push_back("~connect");
  }

  ServerInfo serverInfo() override {
    std::lock_guard lock(state_->mutex);
    state_->take(SoundServerStep::kServerInfo);
    return state_->defaults;
  }

  SinkInfo sinkInfo(const std::string& name) override {
    std::lock_guard lock(state_->mutex);
    state_->take(SoundServerStep::kSinkInfo);
    auto it = state_->sinks.find(name);
    if (it == state_->sinks.end()) throw SoundServerError(SoundServerStep::kSinkInfo, 5, "No such entity");
    return it->second;
  }

  std::vector<SinkInfo> sinks() override {
    std::lock_guard lock(state_->mutex);
    state_->take(SoundServerStep::kSinkInfo);
    std::vector<SinkInfo> out;
    for (const auto& name : state_->sinkOrder) out.push_back(state_->sinks.at(name));
    return out;
  }

  SourceInfo sourceInfo(const std::string& name) override {
    std::lock_guard lock(state_->mutex);
    return sourceLocked(name);
  }

  std::unique_ptr<RecordStream> createRecordStream(const RecordStreamRequest& request) override {
    std::lock_guard lock(state_->mutex);
    const PcmFormat format = request.format ? *request.format : sourceLocked(request.sourceName).format;
    state_->take(SoundServerStep::kCreateStream);
    const uint64_t id = ++state_->nextId;
    state_->streams[id] = State::Stream{request, format, false};
    state_->lastRequest = request;
    state_->log.push_back("stream:" + request.sourceName);
    return std::make_unique<FakeRecordStream>(state_, id, format);
  }

  std::unique_ptr<ServerSubscription> subscribeServerChanges(
      std::function<void(const ServerInfo&)> onChange) override {
    std::lock_guard lock(state_->mutex);
    if (*refuse_) return nullptr;
    const uint64_t id = ++state_->nextId;
    state_->subscribers[id] = std::move(onChange);
    ++state_->subscriptionsHeld;
    state_->log.push_back("subscribe");
    return std::make_unique<FakeSubscription>(state_, id);
  }

 private:
  SourceInfo sourceLocked(const std::string& name) {
    state_->take(SoundServerStep::kSourceInfo);
    auto it = state_->sources.find(name);
    if (it == state_->sources.end()) throw SoundServerError(SoundServerStep::kSourceInfo, 5, "No such entity");
    return it->second;
  }

  std::shared_ptr<State> state_;
  const bool* refuse_;
};

}  // namespace

FakeSoundServer::FakeSoundServer() : state_(std::make_shared<State>()) {
  addSink(SinkInfo{"system_output", "system_output.monitor", PcmFormat{48000, 2, SampleType::kFloat32, true}});
  addSource(SourceInfo{"virtual_mic", PcmFormat{48000, 1, SampleType::kFloat32, true}, false});
  state_->defaults = ServerInfo{"system_output", "virtual_mic"};
}

FakeSoundServer::~FakeSoundServer() = default;

std::unique_ptr<SoundServerConnection> FakeSoundServer::connect(const std::string&) {
  std::lock_guard lock(state_->mutex);
  state_->take(SoundServerStep::kConnect);
  ++state_->connections;
  state_->log.push_back("connect");
  return std::make_unique<FakeConnection>(state_, &refuseSubscriptions_);
}

void FakeSoundServer::addSink(const SinkInfo& sink) {
  std::lock_guard lock(state_->mutex);
  if (!state_->sinks.count(sink.name)) state_->sinkOrder.push_back(sink.name);
  state_->sinks[sink.name] = sink;
  if (!sink.monitorSourceName.empty()) {
    state_->sources[sink.monitorSourceName] = SourceInfo{sink.monitorSourceName, sink.format, true};
  }
}

void FakeSoundServer::addSource(const SourceInfo& source) {
  std::lock_guard lock(state_->mutex);
  state_->sources[source.name] = source;
}

void FakeSoundServer::removeSink(const std::string& name) {
  std::string monitor;
  {
    std::lock_guard lock(state_->mutex);
    auto it = state_->sinks.find(name);
    if (it == state_->sinks.end()) return;
    monitor = it->second.monitorSourceName;
    state_->sinks.erase(it);
    state_->sinkOrder.erase(std::remove(state_->sinkOrder.begin(), state_->sinkOrder.end(), name),
                            state_->sinkOrder.end());
    state_->sources.erase(monitor);
  }
  std::lock_guard callbacks(state_->callbackMutex);
  std::vector<std::function<void(const std::string&)>> failing;
  {
    std::lock_guard lock(state_->mutex);
    for (auto& [id, stream] : state_->streams) {
      if (stream.running && stream.request.sourceName == monitor) {
        stream.running = false;
        failing.push_back(stream.request.onFailure);
      }
    }
  }
  for (auto& onFailure : failing) {
    if (onFailure) onFailure("Entity killed");
  }
}

void FakeSoundServer::setDefaultSink(const std::string& name) {
  std::lock_guard callbacks(state_->callbackMutex);
  std::vector<std::function<void(const ServerInfo&)>> handlers;
  ServerInfo info;
  {
    std::lock_guard lock(state_->mutex);
    state_->defaults.defaultSinkName = name;
    info = state_->defaults;
    for (auto& [id, handler] : state_->subscribers) handlers.push_back(handler);
  }
  for (auto& handler : handlers) handler(info);
}

void FakeSoundServer::setDefaultSource(const std::string& name) {
  std::lock_guard lock(state_->mutex);
  state_->defaults.defaultSourceName = name;
}

void FakeSoundServer::failAt(SoundServerStep step, int32_t code) {
  std::lock_guard lock(state_->mutex);
  state_->failures[step] = code;
}

int FakeSoundServer::deliver(const std::string& sourceName, const PcmBufferPtr& buffer, uint64_t captureNanos) {
  std::lock_guard callbacks(state_->callbackMutex);
  std::vector<std::function<void(PcmBufferPtr, uint64_t)>> targets;
  {
    std::lock_guard lock(state_->mutex);
    for (auto& [id, stream] : state_->streams) {
      if (stream.running && stream.request.sourceName == sourceName) targets.push_back(stream.request.onData);
    }
  }
  for (auto& onData : targets) {
    if (onData) onData(buffer ? buffer->deepCopy() : nullptr, captureNanos);
  }
  return static_cast<int>(targets.size());
}

void FakeSoundServer::failStreams(const std::string& description) {
  std::lock_guard callbacks(state_->callbackMutex);
  std::vector<std::function<void(const std::string&)>> failing;
  {
    std::lock_guard lock(state_->mutex);
    for (auto& [id, stream] : state_->streams) {
      if (stream.running) {
        stream.running = false;
        failing.push_back(stream.request.onFailure);
      }
    }
  }
  for (auto& onFailure : failing) {
    if (onFailure) onFailure(description);
  }
}

std::vector<std::string> FakeSoundServer::log() const {
  std::lock_guard lock(state_->mutex);
  return state_->log;
}

int FakeSoundServer::connections() const {
  std::lock_guard lock(state_->mutex);
  return state_->connections;
}

int FakeSoundServer::streams() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->streams.size());
}

int FakeSoundServer::runningStreams() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(std::count_if(state_->streams.begin(), state_->streams.end(),
                                        [](const auto& entry) { return entry.second.running; }));
}

int FakeSoundServer::subscriptions() const {
  std::lock_guard lock(state_->mutex);
  return state_->subscriptionsHeld;
}

std::optional<RecordStreamRequest> FakeSoundServer::lastStreamRequest() const {
  std::lock_guard lock(state_->mutex);
  return state_->lastRequest;
}

PcmBufferPtr makeFilledBuffer(const PcmFormat& format, uint32_t frames, float value) {
  PcmBufferPtr buffer = PcmBuffer::create(format, frames);
  if (!buffer) return nullptr;
  buffer->setFrameLength(frames);
  const uint32_t perBuffer = format.interleaved ? frames * format.channelCount : frames;
  for (uint32_t b = 0; b < buffer->bufferCount(); ++b) {
    std::byte* data = buffer->data(b);
    for (uint32_t i = 0; i < perBuffer; ++i) {
      switch (format.sampleType) {
        case SampleType::kFloat32: reinterpret_cast<float*>(data)[i] = value; break;
        case SampleType::kInt16: reinterpret_cast<int16_t*>(data)[i] = static_cast<int16_t>(value * 32767.0f); break;
        case SampleType::kInt32:
          reinterpret_cast<int32_t*>(data)[i] = static_cast<int32_t>(static_cast<double>(value) * 2147483647.0);
          break;
      }
    }
  }
  return buffer;
}

}  // namespace tavrin::testing
