#include "system-audio/sources/default_output_follower.h"

#include <algorithm>
#include <atomic>
#include <set>

#include "system-audio/base/errors.h"
#include "system-audio/base/system_env.h"

namespace tavrin::system_audio {

// Shared with the server thread's callbacks. `mutex` is never held while
// calling into the server (its callbacks take `mutex` under the server's own
// lock).
struct DefaultOutputFollower::State {
  std::mutex mutex;
  std::condition_variable wake;
  // The generation of the stream whose buffers are delivered; the buffers of
  // every other stream are ignored.
  std::atomic<uint64_t> active{0};
  // After the default changed: the new default's stream, which delivers from
  // its first buffer that carries sound, or from one captured at `nextBy`
  // (monotonic ns) or later. Until then the apps' streams may still be
  // moving (PipeWire moves them tens of milliseconds after it reports the
  // new default): the old output's buffers with sound are delivered, its
  // silent ones held back; when the new one's sound takes over, those that
  // overlap it are dropped (it covers the same time), the others (a pause
  // that spans the switch) delivered, as they are when it does not.
  std::atomic<uint64_t> next{0};
  std::atomic<uint64_t> nextBy{0};
  std::mutex dataMutex;  // serializes the data callbacks and follow()'s switch; guards `held`
  std::vector<std::pair<PcmBufferPtr, uint64_t>> held;
  std::map<std::string, uint64_t> running;  // output name → its stream's generation
  std::string followed;                     // the output whose stream delivers
  bool changed = false;                     // the server's outputs or defaults changed
  std::set<uint64_t> dead;                  // streams that died, to be closed
  std::optional<std::string> lost;          // the delivering stream died, with why, undecided
  uint64_t losses = 0;                      // how often `lost` was set
  bool failed = false;                      // `fail` was called
  bool stopping = false;
  bool standbyDue = false;  // the delivering stream or the one to take over changed

  // A stream's data callback, on the server thread; true when this buffer
  // made its stream take over.
  bool receive(PcmBufferPtr buffer, uint64_t nanos, uint64_t generation, const DataHandler& deliver);

  // With `mutex`: nothing is delivered any more, not even by a stream about
  // to take over.
  void silence() {
    std::lock_guard lock(dataMutex);
    next.store(0);
    active.store(0);
    held.clear();
  }

  // With `mutex`: makes the stream of output `name` deliver, if it has one
  // that still runs: at once after a loss, else once it carries sound.
  bool follow(const std::string& name) {
    auto it = running.find(name);
    if (it == running.end() || dead.count(it->second)) return false;
    standbyDue = true;
    std::lock_guard data(dataMutex);  // a buffer deciding a take-over sees both or neither
    if (lost || active.load() == it->second) {
      next.store(0);
      active.store(it->second);
    } else {
      nextBy.store(monotonicNowNanos() + std::chrono::nanoseconds(kTakeOverWithin).count());
      next.store(it->second);
    }
    followed = name;
    lost.reset();
    return true;
  }
};

namespace {

bool carriesSound(const PcmBuffer& buffer) {
  for (uint32_t i = 0; i < buffer.bufferCount(); ++i) {
    const std::byte* bytes = buffer.data(i);
    if (std::any_of(bytes, bytes + buffer.byteSize(i), [](std::byte b) { return b != std::byte{0}; })) return true;
  }
  return false;
}

// When the last frame of `buffer`, captured from `nanos` on, ends.
uint64_t endNanos(const PcmBuffer& buffer, uint64_t nanos) {
  return nanos + static_cast<uint64_t>(static_cast<double>(buffer.frameLength()) * 1e9 / buffer.format().sampleRate);
}

}  // namespace

DefaultOutputFollower::DefaultOutputFollower(SoundServerConnection& connection, Opener open, DataHandler deliver,
                                             FailureHandler fail)
    : connection_(connection),
      open_(std::move(open)),
      deliver_(std::move(deliver)),
      fail_(std::move(fail)),
      state_(std::make_shared<State>()) {}

DefaultOutputFollower::~DefaultOutputFollower() {
  stop();
}

bool DefaultOutputFollower::State::receive(PcmBufferPtr buffer, uint64_t nanos, uint64_t generation,
                                           const DataHandler& deliver) {
  std::lock_guard lock(dataMutex);
  auto flush = [&] {
    for (auto& [buffered, at] : held) deliver(std::move(buffered), at);
    held.clear();
  };
  const bool takesOver = active.load() != generation;
  if (!takesOver) {
    if (next.load() != 0 && nanos < nextBy.load() && !carriesSound(*buffer)) {
      held.emplace_back(std::move(buffer), nanos);
      return false;
    }
    flush();
  } else {
    if (next.load() != generation) return false;
    const bool sound = carriesSound(*buffer);  // only while a switch is due: a scan of every byte
    if (!sound && nanos < nextBy.load()) return false;
    uint64_t expected = generation;
    if (!next.compare_exchange_strong(expected, 0)) return false;
    active.store(generation);
    // The old output's silence that ended before this buffer began is a
    // pause that spans the switch: it keeps its length. Only what overlaps
    // the new output's sound is dropped.
    if (sound) std::erase_if(held, [&](const auto& h) { return endNanos(*h.first, h.second) > nanos; });
    flush();
  }
  deliver(std::move(buffer), nanos);
  return takesOver;
}

std::unique_ptr<RecordStream> DefaultOutputFollower::openStream(const std::string& sinkName, uint64_t generation) {
  return open_(
      sinkName,
      [state = state_, deliver = deliver_, generation](PcmBufferPtr buffer, uint64_t nanos) {
        if (!state->receive(std::move(buffer), nanos, generation, deliver)) return;
        // The old output's stream can go on standby: the worker asks the
        // server (this thread is the server's).
        std::lock_guard lock(state->mutex);
        state->standbyDue = true;
        state->wake.notify_all();
      },
      [state = state_, generation, fail = fail_, connection = &connection_](const std::string& description) {
        // Asked before the mutex: nothing of the server is called with it.
        const bool serverGone = !connection->connected();
        bool failNow = false;
        {
          std::lock_guard lock(state->mutex);
          state->dead.insert(generation);
          if (state->active.load() == generation) {
            state->lost = description;
            ++state->losses;
          }
          // Without the connection there is no one to ask: end now.
          if (serverGone && state->lost && !state->failed) {
            failNow = state->failed = true;
            state->silence();
          }
          state->wake.notify_all();
        }
        if (failNow) fail(description);
      });
}

void DefaultOutputFollower::start(const std::string& sinkName) {
  const uint64_t generation = ++lastGeneration_;
  state_->active.store(generation);
  streams_.emplace(generation, std::make_pair(sinkName, openStream(sinkName, generation)));
  state_->running.emplace(sinkName, generation);
  state_->followed = sinkName;
  // Following is best effort: a server that refuses the subscription leaves
  // the first stream running where it is.
  subscription_ = connection_.subscribeServerChanges([state = state_](const ServerInfo& info) {
    std::lock_guard lock(state->mutex);
    if (info.defaultSinkName != state->followed) state->follow(info.defaultSinkName);
    state->changed = true;
    state->wake.notify_all();
  });
  // The other outputs' streams, before start() returns (best effort).
  state_->changed = false;
  reconcile();
  applyStandby();
  worker_ = std::thread([this] { follow(); });
}

void DefaultOutputFollower::follow() {
  const std::shared_ptr<State> state = state_;
  std::unique_lock lock(state->mutex);
  for (;;) {
    // A loss is decided even when a stop is asked: the owner hears why the
    // stream ended.
    state->wake.wait(lock, [&] {
      return state->failed || state->stopping || state->changed || state->standbyDue || !state->dead.empty() ||
             state->lost;
    });
    if (state->failed || (state->stopping && !state->lost)) return;
    if (!state->changed && state->dead.empty() && !state->lost) {
      lock.unlock();
      applyStandby();
      lock.lock();
      continue;
    }
    state->changed = false;
    // Only a loss known before the server was asked is decided by its
    // answer; one that comes meanwhile is asked about again.
    const uint64_t losses = state->losses;
    lock.unlock();
    const Answer answer = reconcile();
    applyStandby();
    lock.lock();
    if (answer == Answer::kStopped) {
      state->wake.wait(lock, [&] { return state->stopping; });
      return;
    }
    // Still lost after the server's answer: nothing is left to record.
    if (state->lost && !state->failed && state->losses == losses) {
      const std::string why = *state->lost;
      state->failed = true;
      state->silence();
      lock.unlock();
      fail_(why);
      return;
    }
    if (state->stopping) return;
  }
}

DefaultOutputFollower::Answer DefaultOutputFollower::reconcile() {
  const std::shared_ptr<State> state = state_;
  std::vector<std::unique_ptr<RecordStream>> closing;
  auto close = [&](uint64_t generation) {
    auto it = streams_.find(generation);
    if (it == streams_.end()) return;
    std::lock_guard lock(state->mutex);
    auto running = state->running.find(it->second.first);
    if (running != state->running.end() && running->second == generation) state->running.erase(running);
    closing.push_back(std::move(it->second.second));
    streams_.erase(it);
  };
  std::set<uint64_t> dead;
  {
    std::lock_guard lock(state->mutex);
    dead.swap(state->dead);
    // Out of `running` at once, so that nothing follows them meanwhile.
    for (auto it = state->running.begin(); it != state->running.end();) {
      it = dead.count(it->second) ? state->running.erase(it) : std::next(it);
    }
  }
  for (uint64_t generation : dead) close(generation);

  ServerInfo info;
  std::vector<SinkInfo> sinks;
  try {
    info = connection_.serverInfo();
    sinks = connection_.sinks();
  } catch (const StopRequested&) {
    return Answer::kStopped;
  } catch (const std::exception&) {
    return Answer::kNoAnswer;
  }
  std::set<std::string> present;
  for (const SinkInfo& sink : sinks) {
    if (sink.monitorSourceName.empty()) continue;
    present.insert(sink.name);
    bool open = false;
    {
      std::lock_guard lock(state->mutex);
      open = state->running.count(sink.name) > 0;
    }
    if (open) continue;
    const uint64_t generation = ++lastGeneration_;
    try {
      auto record = openStream(sink.name, generation);
      streams_.emplace(generation, std::make_pair(sink.name, std::move(record)));
      std::lock_guard lock(state->mutex);
      state->running.emplace(sink.name, generation);
    } catch (const std::exception&) {
      // This output cannot be recorded now; the next change tries again.
    }
  }
  // The delivering stream is left to end by itself: its death says why.
  std::vector<uint64_t> gone;
  for (const auto& [generation, stream] : streams_) {
    if (!present.count(stream.first) && generation != state->active.load()) gone.push_back(generation);
  }
  for (uint64_t generation : gone) close(generation);
  {
    std::lock_guard lock(state->mutex);
    if (info.defaultSinkName != state->followed || state->lost) state->follow(info.defaultSinkName);
    // No default to record: the first output recorded takes over until the
    // server names one.
    for (auto sink = sinks.begin(); state->lost && sink != sinks.end(); ++sink) state->follow(sink->name);
  }
  closing.clear();  // without the mutex: closing waits for the server thread
  return Answer::kAnswered;
}

void DefaultOutputFollower::applyStandby() {
  uint64_t active = 0, next = 0;
  {
    std::lock_guard lock(state_->mutex);
    state_->standbyDue = false;
    active = state_->active.load();
    next = state_->next.load();
  }
  for (const auto& [generation, stream] : streams_)
    stream.second->setStandby(generation != active && generation != next);
}

void DefaultOutputFollower::stop() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  if (worker_.joinable()) worker_.join();
  subscription_.reset();
  streams_.clear();
}

}  // namespace tavrin::system_audio
