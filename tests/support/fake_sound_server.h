// A scripted sound server for unit tests of capture objects.
//
// The test sets up sinks and sources, can make any step fail
// (failAt(step, code)), delivers audio to running streams (deliver), kills
// them (failStreams), and changes the defaults (setDefaultSink). The server
// keeps a log of what was acquired and released, in order ("connect",
// "stream:<source>", "start:<source>", "subscribe", and "~..." for each
// release), and counts what is currently held, so a test can check that a
// failed start released everything, in reverse order.
//
// Thread-safe: callbacks run on the thread that calls deliver/failStreams/
// setDefaultSink, never with the server's lock held, and never after the
// stream or subscription that carries them is destroyed.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "system-audio/sound-server/sound_server.h"

namespace tavrin::testing {

class FakeSoundServer final : public system_audio::SoundServer {
 public:
  // A server with the default sink "system_output" (48 kHz stereo float,
  // monitor "system_output.monitor") and the default source "virtual_mic"
  // (48 kHz mono float).
  FakeSoundServer();
  ~FakeSoundServer() override;

  std::unique_ptr<system_audio::SoundServerConnection> connect(const std::string& clientName) override;

  // --- scripting -----------------------------------------------------------
  void addSink(const system_audio::SinkInfo& sink);  // its monitor becomes a source too
  void addSource(const system_audio::SourceInfo& source);
  void removeSink(const std::string& name);  // the sink and its monitor; running streams on it fail
  // Changes the default sink and tells every subscription.
  void setDefaultSink(const std::string& name);
  void setDefaultSource(const std::string& name);
  // The next time `step` is taken it fails with `code` (and the server's
  // text "fake failure <code>"); later times succeed again.
  void failAt(system_audio::SoundServerStep step, int32_t code);
  // The server refuses subscriptions from now on.
  void refuseSubscriptions() { refuseSubscriptions_ = true; }

  // --- driving -------------------------------------------------------------
  // Hands a copy of `buffer` to every running stream on `sourceName`.
  // Returns the number of streams that received it.
  int deliver(const std::string& sourceName, const PcmBufferPtr& buffer, uint64_t captureNanos = 0);
  // Every running stream fails with `description`.
  void failStreams(const std::string& description);

  // --- inspection ----------------------------------------------------------
  std::vector<std::string> log() const;
  int connections() const;       // connections currently open
  int streams() const;           // record streams currently created
  int runningStreams() const;    // of which started
  int subscriptions() const;     // subscriptions currently held
  // The request of the most recently created stream.
  std::optional<system_audio::RecordStreamRequest> lastStreamRequest() const;

  // Shared with the connection, stream and subscription objects.
  struct State;

 private:
  std::shared_ptr<State> state_;
  bool refuseSubscriptions_ = false;
};

// A mono/stereo float interleaved buffer of `frames` frames whose every sample
// is `value`.
PcmBufferPtr makeFilledBuffer(const PcmFormat& format, uint32_t frames, float value);

}  // namespace tavrin::testing
