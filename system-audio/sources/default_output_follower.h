// DefaultOutputFollower: records the monitor of the server's default output
// and moves to the new default when the user switches outputs (speakers to a
// headset) or the output being recorded is removed. The servers move every
// application's playback to the new default at that moment, so a recording
// that stayed on the old monitor would keep only silence from then on.
//
// A record stream runs on the monitor of every output, and the buffers of
// the default's one are delivered: a switch is a change of which stream
// delivers, never the time a new stream takes to start (on PulseAudio's null
// sinks, which render up to two seconds ahead, that would be seconds). Once
// the server reports the new default, the old output's stream delivers
// until the new one's first buffer that carries sound (the apps' audio
// arrives there only when the server has moved their streams, on PipeWire
// tens of milliseconds later), or for kTakeOverWithin at most; after a loss
// the new one delivers at once. A worker thread
// opens streams on outputs that appear later and closes those of outputs
// that go.
// The cost is one more record stream per output (an output that is
// recorded is not suspended when idle). Those streams wait on standby
// (RecordStream::setStandby): long buffers or none, few wake-ups. The new
// default's stream leaves standby as soon as the server reports it (PipeWire
// moves the apps' streams tens of milliseconds later), and the old one
// delivers until the new one carries sound; then the old one goes on standby.
//
// When the delivering stream dies, the server is asked which outputs it has
// and which is the default, and the answer decides: the default's stream
// delivers, or while the server names no default it records (PipeWire says
// "@DEFAULT_SINK@" for a moment after removing one), the first output that
// is recorded takes over until it does. `fail` is called once, with the
// stream's reason, only when that answer leaves nothing to record (the last
// output removed, or none that can be recorded) or when the server no longer
// answers (when the connection itself is gone, at once, from the stream's
// own callback); nothing is delivered after it. The decision never waits
// for a further event, so it does not depend on the order in which the
// server reports a removal and the new default.
//
// Threading: start() and stop() on the owner's thread. `open` runs there
// for the streams that start() opens (the default's first, then the other
// outputs') and on the worker thread afterwards; `deliver` on the server
// thread; `fail` on the server thread or the worker thread (a loss not yet
// decided when stop() is called is decided before it returns, unless the
// server's stop check cuts the question short). None of them may call back
// into the follower.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "system-audio/sound-server/sound_server.h"

namespace tavrin::system_audio {

class DefaultOutputFollower {
 public:
  using DataHandler = std::function<void(PcmBufferPtr buffer, uint64_t captureNanos)>;
  using FailureHandler = std::function<void(const std::string& description)>;
  // Opens and starts a record stream on the monitor of sink `sinkName` with
  // these callbacks; throws when it cannot.
  using Opener = std::function<std::unique_ptr<RecordStream>(const std::string& sinkName, DataHandler onData,
                                                             FailureHandler onFailure)>;

  // After a change of the default, the old output's stream delivers until
  // the new one's carries sound, or for this long at most.
  static constexpr std::chrono::milliseconds kTakeOverWithin{250};

  DefaultOutputFollower(SoundServerConnection& connection, Opener open, DataHandler deliver, FailureHandler fail);
  ~DefaultOutputFollower();  // stop()
  DefaultOutputFollower(const DefaultOutputFollower&) = delete;
  DefaultOutputFollower& operator=(const DefaultOutputFollower&) = delete;

  // Opens the first stream on `sinkName`, the default output (its error is
  // thrown, nothing is left behind), then follows. Call once.
  void start(const std::string& sinkName);
  // Ends following and closes the stream; no callback runs after it
  // returns. Idempotent.
  void stop();

 private:
  struct State;
  void follow();
  enum class Answer { kAnswered, kNoAnswer, kStopped };
  // Opens streams on outputs without one, closes those of outputs gone or
  // dead, and makes the default's stream deliver (after a loss, another
  // output's when the default has none). kNoAnswer when the server itself
  // no longer answers, kStopped when its stop check ended the question.
  Answer reconcile();
  std::unique_ptr<RecordStream> openStream(const std::string& sinkName, uint64_t generation);
  // Every stream on standby but the delivering one and the one about to
  // take over. On the owner's thread in start(), then on the worker's;
  // without `mutex`.
  void applyStandby();

  SoundServerConnection& connection_;
  const Opener open_;
  const DataHandler deliver_;
  const FailureHandler fail_;
  const std::shared_ptr<State> state_;
  // The streams by generation, with their output's name; the worker's
  // once it runs.
  std::map<uint64_t, std::pair<std::string, std::unique_ptr<RecordStream>>> streams_;
  uint64_t lastGeneration_ = 0;
  std::unique_ptr<ServerSubscription> subscription_;
  std::thread worker_;
};

}  // namespace tavrin::system_audio
