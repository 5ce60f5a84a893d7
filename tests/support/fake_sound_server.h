// A scripted sound server for unit tests of the capture objects. It logs what
// is acquired and released, in order ("connect", "stream:<source>",
// "start:<source>", "subscribe", "~..." for each release) and counts what is
// held. Thread-safe: callbacks run on the thread that calls deliver,
// failStreams or setDefaultSink, without the server's lock, and never after
// the stream or subscription that carries them is destroyed.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "system-audio/sound-server/sound_server.h"

namespace tavrin::testing {

class FakeSoundServer final : public system_audio::SoundServer {
 public:
  // Default sink "system_output" (48 kHz stereo float, monitor "system_output.monitor");
  // default source "virtual_mic" (48 kHz mono float).
  FakeSoundServer();
  std::unique_ptr<system_audio::SoundServerConnection> connect(const std::string& clientName) override;
  // Asked at every step, as the real server asks it while waiting.
  void setStopCheck(std::function<bool()> check) override;

  void addSink(const system_audio::SinkInfo& sink);  // its monitor becomes a source too
  void clearSinks();
  void setDefaultSink(const std::string& name);  // and tells every subscription
  void setDefaultSource(const std::string& name);
  // The next time `step` is taken it fails with `code` ("fake failure <code>").
  void failAt(system_audio::SoundServerStep step, int32_t code);

  // Hands a copy of `buffer` to every running stream on `sourceName`; returns how many.
  int deliver(const std::string& sourceName, const PcmBufferPtr& buffer, uint64_t captureNanos = 0);
  // The running streams on `sourceName` die with `description`: its sink is
  // removed (the next one becomes the default, and subscribers hear it).
  // Without a name, every stream: the server is gone and answers nothing more.
  void failStreams(const std::string& description, const std::string& sourceName = "");

  std::set<std::string> standbySources() const;  // of the streams on standby
  std::vector<std::string> log() const;
  int held() const;  // connections, streams and subscriptions not yet released

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tavrin::testing
