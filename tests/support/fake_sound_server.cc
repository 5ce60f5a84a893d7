#include "tests/support/fake_sound_server.h"

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "system-audio/base/errors.h"

namespace tavrin::testing {

using namespace system_audio;

struct FakeSoundServer::State {
  mutable std::mutex mutex;
  // Held while callbacks run and while their carrier is destroyed, so no
  // callback outlives it. Taken before `mutex`.
  std::mutex callbackMutex;
  std::vector<SinkInfo> sinks;
  std::map<std::string, SourceInfo> sources;
  ServerInfo defaults{"system_output", "virtual_mic"};
  std::map<SoundServerStep, int32_t> failures;
  std::optional<std::string> gone;  // the server went away, with why
  std::function<bool()> stopCheck;
  std::vector<std::string> log;
  int held = 0;
  std::map<uint64_t, std::pair<RecordStreamRequest, bool>> streams;  // request, running
  std::set<uint64_t> standby;
  std::map<uint64_t, std::function<void(const ServerInfo&)>> subscribers;
  uint64_t nextId = 0;

  // Runs `f` with `mutex` held; so do the other members.
  template <typename F>
  auto locked(F f) {
    std::lock_guard lock(mutex);
    return f();
  }
  void take(SoundServerStep step) {
    if (stopCheck && stopCheck()) throw StopRequested();
    if (gone) throw SoundServerError(step, 7, *gone);
    const auto it = failures.find(step);
    if (it == failures.end()) return;
    const int32_t code = it->second;
    failures.erase(it);
    throw SoundServerError(step, code, "fake failure " + std::to_string(code));
  }
  void acquired(const std::string& what) { log.push_back(what), ++held; }
  void released(const std::string& what) { log.push_back("~" + what), --held; }
  SourceInfo source(const std::string& name) {
    take(SoundServerStep::kSourceInfo);
    const auto it = sources.find(name);
    if (it == sources.end()) throw SoundServerError(SoundServerStep::kSourceInfo, 5, "No such entity");
    return it->second;
  }
};

namespace {

using State = FakeSoundServer::State;

struct FakeRecordStream final : RecordStream {
  FakeRecordStream(std::shared_ptr<State> s, uint64_t i, PcmFormat f) : state(std::move(s)), id(i), format_(f) {}
  ~FakeRecordStream() override {
    std::lock_guard callbacks(state->callbackMutex);
    std::lock_guard lock(state->mutex);
    const auto& [request, running] = state->streams.at(id);
    if (running) state->log.push_back("~start:" + request.sourceName);
    state->released("stream:" + request.sourceName);
    state->streams.erase(id);
    state->standby.erase(id);
  }
  void start() override {
    std::lock_guard lock(state->mutex);
    state->take(SoundServerStep::kStartStream);
    auto& [request, running] = state->streams.at(id);
    running = true;
    state->log.push_back("start:" + request.sourceName);
  }
  const PcmFormat& format() const override { return format_; }
  void setStandby(bool standby) override {
    std::lock_guard lock(state->mutex);
    standby ? (void)state->standby.insert(id) : (void)state->standby.erase(id);
  }
  std::shared_ptr<State> state;
  uint64_t id;
  PcmFormat format_;
};

struct FakeSubscription final : ServerSubscription {
  FakeSubscription(std::shared_ptr<State> s, uint64_t i) : state(std::move(s)), id(i) {}
  ~FakeSubscription() override {
    std::lock_guard callbacks(state->callbackMutex);
    std::lock_guard lock(state->mutex);
    state->subscribers.erase(id);
    state->released("subscribe");
  }
  std::shared_ptr<State> state;
  uint64_t id;
};

class FakeConnection final : public SoundServerConnection {
 public:
  explicit FakeConnection(std::shared_ptr<State> state) : state_(std::move(state)) {}
  ~FakeConnection() override {
    state_->locked([&] { state_->released("connect"); });
  }
  bool connected() override {
    return state_->locked([&] { return !state_->gone; });
  }
  ServerInfo serverInfo() override {
    std::lock_guard lock(state_->mutex);
    state_->take(SoundServerStep::kServerInfo);
    return state_->defaults;
  }
  SinkInfo sinkInfo(const std::string& name) override {
    for (const SinkInfo& sink : sinks())
      if (sink.name == name) return sink;
    throw SoundServerError(SoundServerStep::kSinkInfo, 5, "No such entity");
  }
  std::vector<SinkInfo> sinks() override {
    std::lock_guard lock(state_->mutex);
    state_->take(SoundServerStep::kSinkInfo);
    return state_->sinks;
  }
  SourceInfo sourceInfo(const std::string& name) override {
    return state_->locked([&] { return state_->source(name); });
  }
  std::unique_ptr<RecordStream> createRecordStream(const RecordStreamRequest& request) override {
    std::lock_guard lock(state_->mutex);
    const PcmFormat format = request.format ? *request.format : state_->source(request.sourceName).format;
    state_->take(SoundServerStep::kCreateStream);
    const uint64_t id = ++state_->nextId;
    state_->streams[id] = {request, false};
    state_->acquired("stream:" + request.sourceName);
    return std::make_unique<FakeRecordStream>(state_, id, format);
  }
  std::unique_ptr<ServerSubscription> subscribeServerChanges(std::function<void(const ServerInfo&)> onChange) override {
    std::lock_guard lock(state_->mutex);
    const uint64_t id = ++state_->nextId;
    state_->subscribers[id] = std::move(onChange);
    state_->acquired("subscribe");
    return std::make_unique<FakeSubscription>(state_, id);
  }

 private:
  std::shared_ptr<State> state_;
};

}  // namespace

FakeSoundServer::FakeSoundServer() : state_(std::make_shared<State>()) {
  addSink({"system_output", "system_output.monitor", PcmFormat{48000, 2, SampleType::kFloat32, true}});
  state_->sources["virtual_mic"] = {"virtual_mic", PcmFormat{48000, 1, SampleType::kFloat32, true}, false};
}

std::unique_ptr<SoundServerConnection> FakeSoundServer::connect(const std::string&) {
  std::lock_guard lock(state_->mutex);
  state_->take(SoundServerStep::kConnect);
  state_->acquired("connect");
  return std::make_unique<FakeConnection>(state_);
}

void FakeSoundServer::addSink(const SinkInfo& sink) {
  state_->locked([&] {
    state_->sinks.push_back(sink);
    if (sink.monitorSourceName.empty()) return;
    state_->sources[sink.monitorSourceName] = {sink.monitorSourceName, sink.format, true};
  });
}

void FakeSoundServer::clearSinks() {
  state_->locked([&] { state_->sinks.clear(); });
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
  state_->locked([&] { state_->defaults.defaultSourceName = name; });
}

void FakeSoundServer::failAt(SoundServerStep step, int32_t code) {
  state_->locked([&] { state_->failures[step] = code; });
}

void FakeSoundServer::setStopCheck(std::function<bool()> check) {
  state_->locked([&] { state_->stopCheck = std::move(check); });
}

std::set<std::string> FakeSoundServer::standbySources() const {
  std::lock_guard lock(state_->mutex);
  std::set<std::string> sources;
  for (uint64_t id : state_->standby) sources.insert(state_->streams.at(id).first.sourceName);
  return sources;
}

int FakeSoundServer::deliver(const std::string& sourceName, const PcmBufferPtr& buffer, uint64_t captureNanos) {
  std::lock_guard callbacks(state_->callbackMutex);
  std::vector<std::function<void(PcmBufferPtr, uint64_t)>> targets;
  {
    std::lock_guard lock(state_->mutex);
    for (auto& [id, stream] : state_->streams) {
      if (stream.second && stream.first.sourceName == sourceName) targets.push_back(stream.first.onData);
    }
  }
  for (auto& onData : targets) {
    if (onData) onData(buffer->deepCopy(), captureNanos);
  }
  return static_cast<int>(targets.size());
}

void FakeSoundServer::failStreams(const std::string& description, const std::string& sourceName) {
  std::vector<uint64_t> killed;  // stop running with the sink, before anyone hears of it
  std::optional<std::string> newDefault;
  {
    std::lock_guard lock(state_->mutex);
    if (sourceName.empty()) state_->gone = description;
    auto& sinks = state_->sinks;
    const auto removed =
        std::find_if(sinks.begin(), sinks.end(), [&](auto& k) { return k.monitorSourceName == sourceName; });
    if (removed != sinks.end()) {
      if (removed->name == state_->defaults.defaultSinkName)
        newDefault = sinks.size() > 1 ? sinks[removed == sinks.begin()].name : "";
      sinks.erase(removed);
    }
    for (auto& [id, stream] : state_->streams) {
      if (!stream.second || (!sourceName.empty() && stream.first.sourceName != sourceName)) continue;
      stream.second = false;
      killed.push_back(id);
    }
  }
  if (newDefault) setDefaultSink(*newDefault);
  std::lock_guard callbacks(state_->callbackMutex);
  std::vector<std::function<void(const std::string&)>> failing;
  {
    std::lock_guard lock(state_->mutex);
    for (uint64_t id : killed) {
      const auto it = state_->streams.find(id);  // not closed meanwhile
      if (it != state_->streams.end()) failing.push_back(it->second.first.onFailure);
    }
  }
  for (auto& onFailure : failing) {
    if (onFailure) onFailure(description);
  }
}

std::vector<std::string> FakeSoundServer::log() const {
  return state_->locked([&] { return state_->log; });
}

int FakeSoundServer::held() const {
  return state_->locked([&] { return state_->held; });
}

}  // namespace tavrin::testing
