#include "system-audio/sources/default_output_follower.h"

#include <atomic>
#include <set>

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
  std::map<std::string, uint64_t> running;  // output name → its stream's generation
  std::string followed;                     // the output whose stream delivers
  bool changed = false;                     // the server's outputs or defaults changed
  std::set<uint64_t> dead;                  // streams that died, to be closed
  std::optional<std::string> lost;          // the delivering stream died, with why
  bool failed = false;                      // `fail` was called
  bool stopping = false;

  // With `mutex`: the reason to fail now, once: the delivering stream died
  // and every other one too (the server went away), so nothing can take
  // over.
  std::optional<std::string> failureIfNothingLeft() {
    if (!lost || failed) return std::nullopt;
    for (const auto& [name, generation] : running) {
      if (!dead.count(generation)) return std::nullopt;
    }
    failed = true;
    active.store(0);  // nothing is delivered any more
    return lost;
  }

  // With `mutex`: makes the stream of output `name` deliver, if it has one.
  bool follow(const std::string& name) {
    auto it = running.find(name);
    if (it == running.end()) return false;
    active.store(it->second);
    followed = name;
    lost.reset();
    return true;
  }
};

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

std::unique_ptr<RecordStream> DefaultOutputFollower::openStream(const std::string& sinkName, uint64_t generation) {
  return open_(
      sinkName,
      [state = state_, deliver = deliver_, generation](PcmBufferPtr buffer, uint64_t nanos) {
        if (state->active.load() == generation) deliver(std::move(buffer), nanos);
      },
      [state = state_, generation, fail = fail_](const std::string& description) {
        std::optional<std::string> failure;
        {
          std::lock_guard lock(state->mutex);
          state->dead.insert(generation);
          if (state->active.load() == generation) state->lost = description;
          failure = state->failureIfNothingLeft();
          state->wake.notify_all();
        }
        if (failure) fail(*failure);
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
  worker_ = std::thread([this] { follow(); });
}

void DefaultOutputFollower::follow() {
  const std::shared_ptr<State> state = state_;
  bool replacing = false;  // the delivering stream died at `lostAt`
  std::chrono::steady_clock::time_point lostAt;
  std::unique_lock lock(state->mutex);
  for (;;) {
    auto due = [&] { return state->stopping || state->changed || !state->dead.empty() || (state->lost && !replacing); };
    if (replacing) {
      state->wake.wait_until(lock, lostAt + kReplaceWithin, due);
    } else {
      state->wake.wait(lock, due);
    }
    if (state->stopping) return;
    if (state->lost && !replacing) {
      replacing = true;
      lostAt = std::chrono::steady_clock::now();
    }
    state->changed = false;
    lock.unlock();
    const bool serverAnswers = reconcile();
    lock.lock();
    if (state->stopping) return;
    if (!state->lost) {
      replacing = false;
      continue;
    }
    if (state->failed) return;
    if (!serverAnswers || std::chrono::steady_clock::now() >= lostAt + kReplaceWithin) {
      const std::string why = *state->lost;
      state->failed = true;
      state->active.store(0);  // nothing is delivered any more
      lock.unlock();
      fail_(why);
      return;
    }
  }
}

bool DefaultOutputFollower::reconcile() {
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
  }
  for (uint64_t generation : dead) close(generation);

  ServerInfo info;
  std::vector<SinkInfo> sinks;
  try {
    info = connection_.serverInfo();
    sinks = connection_.sinks();
  } catch (const std::exception&) {
    return false;
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
  }
  closing.clear();  // without the mutex: closing waits for the server thread
  return true;
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
