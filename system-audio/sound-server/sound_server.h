// The sound server as the capture objects see it: a connection that answers
// a few questions (the defaults, a sink and its monitor, a source's format),
// opens record streams on a named source, and reports changes of the
// server's defaults.
//
// The real implementation (makePulseSoundServer, pulse_sound_server.cc) talks
// the PulseAudio native protocol through libpulse's threaded main loop, so it
// serves both PulseAudio and PipeWire (pipewire-pulse). Tests use
// tavrin::testing::FakeSoundServer (tests/support/fake_sound_server.h), which
// scripts the server and can fail any step.
//
// Typical use (system output capture; microphone capture does the same with
// ServerInfo::defaultSourceName, plus the default sink's monitor as an echo
// reference when it cancels echo):
//
//   auto connection = server.connect("tavrin-system-audio");   // kConnect
//   ServerInfo info = connection->serverInfo();                // kServerInfo
//   SinkInfo sink = connection->sinkInfo(info.defaultSinkName); // kSinkInfo
//   RecordStreamRequest request;
//   request.sourceName = sink.monitorSourceName;
//   request.fragment = 21ms;
//   request.onData = [stream](PcmBufferPtr buffer, uint64_t) { stream->add(std::move(buffer)); };
//   request.onFailure = [watcher](const std::string& text) { ... };
//   auto record = connection->createRecordStream(request);        // kSourceInfo, kCreateStream
//   record->start();                                           // kStartStream
//   ...
//   record.reset();       // no callback of this stream runs after this returns
//   connection.reset();   // disconnects
//
// Errors: every step that can fail throws SoundServerError naming the step,
// with the server's error number and its text. No step waits for the server
// for more than 3 seconds: a server that does not answer (stopped, hung)
// fails the step with PA_ERR_TIMEOUT and a sentence naming the step ("The
// sound server did not answer within 3 seconds while connecting."), and
// once one step of this process timed out, later connections fail at once
// with that error, so a command gives up once, not once per connection.
// Callers translate other errors into their own (the system output tap into
// CoreAudioError with its step names, see system_audio_tap.cc; the
// microphone into the platform's text) and pass timeouts on as they are.
// A step that waits also ends early, throwing StopRequested (errors.h), as
// soon as the server's stop check says so.
//
// Threading: the connection's operations block until the server answers and
// may be called from any thread except a callback of this layer (onData,
// onFailure, a change handler): those run on the connection's own server
// thread, and waiting there for the server would deadlock. Callbacks must be
// short (copy and enqueue); they never run after the stream or subscription
// that carries them has been destroyed. Streams and subscriptions keep the
// connection's machinery alive, so they may outlive the connection object.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/pcm_buffer.h"

namespace tavrin::system_audio {

// The steps that can fail, in the order a capture start takes them.
enum class SoundServerStep {
  kConnect,       // reaching the server and completing the handshake
  kServerInfo,    // reading the server's defaults
  kSinkInfo,      // reading a sink (its monitor source and format)
  kSourceInfo,    // reading a source's format (when a stream takes the source's own)
  kCreateStream,  // creating a record stream object
  kStartStream,   // connecting the record stream to its source until it runs
};

const char* soundServerStepName(SoundServerStep step);

class SoundServerError : public std::runtime_error {
 public:
  // `code` is the server's error number (0 when the server answered but
  // without what was asked, e.g. a sink without a monitor); `text` its
  // description ("Connection refused").
  SoundServerError(SoundServerStep step, int32_t code, const std::string& text)
      : std::runtime_error(text), step_(step), code_(code) {}
  SoundServerStep step() const { return step_; }
  int32_t code() const { return code_; }
  // The server did not answer in time; what() says which step.
  bool timedOut() const;

 private:
  SoundServerStep step_;
  int32_t code_;
};

struct ServerInfo {
  std::string defaultSinkName;    // empty when the server has no default sink
  std::string defaultSourceName;  // empty when the server has no default source
};

struct SinkInfo {
  std::string name;
  std::string monitorSourceName;  // empty when the sink has no monitor
  PcmFormat format;               // the sink's own sample format (interleaved)
};

struct SourceInfo {
  std::string name;
  PcmFormat format;  // the source's own sample format (interleaved)
  bool isMonitor = false;
};

struct RecordStreamRequest {
  // The source to record from, by name. The stream stays on this source: it
  // does not follow later changes of the server's defaults, and it fails
  // (onFailure) if the source goes away.
  std::string sourceName;
  // The sample format to deliver, converted by the server. Absent: the
  // source's own format, read with SoundServerStep::kSourceInfo (sample types
  // this program cannot hold are delivered as 32-bit float). Buffers are
  // always interleaved.
  std::optional<PcmFormat> format;
  // Channels taken by index from the source's first ones, unmixed (a stereo
  // stream of a 5.1 monitor is its front pair), instead of mixed by their
  // positions.
  bool channelsByIndex = false;
  // Preferred length of a delivered buffer, as a time (the same at any
  // rate: a frame count would be six times longer on an 8 kHz headset than
  // on a 48 kHz output, and a stop loses up to one buffer): the server's
  // small chunks are gathered into buffers of about this length (never
  // waiting for more than the server sends per wake-up). 0 leaves the size
  // to the server, whose default can be as long as two seconds.
  // Cost is dominated by the server's wake-ups: on PulseAudio 16, buffers
  // of ~43 ms cost about 1 % of a core; on a null sink, requests of 100 ms
  // or more could delay the first audio of a fresh server by a second or
  // more.
  std::chrono::microseconds fragment{0};
  // Shown in the server's client list.
  std::string streamName = "capture";

  // One call per fragment, in capture order, on the server thread: `buffer`
  // is an independent copy owned by the callee; `captureNanos` is the
  // monotonic clock (CLOCK_MONOTONIC, ns) at which its first frame was
  // captured, as the server's timing reports it.
  std::function<void(PcmBufferPtr buffer, uint64_t captureNanos)> onData;
  // At most one call, on the server thread, when the running stream ends
  // without being asked to (source removed, server gone, connection lost),
  // with the server's description of why.
  std::function<void(const std::string& description)> onFailure;
};

class RecordStream {
 public:
  virtual ~RecordStream() = default;  // disconnects; no callback runs afterwards
  // Connects the stream and waits until it runs. Throws SoundServerError
  // (kStartStream). Call once.
  virtual void start() = 0;
  // The format of the buffers onData receives.
  virtual const PcmFormat& format() const = 0;
  // On standby nobody needs the buffers: the server delivers them in
  // buffers of about kStandbyFragment, at a fraction of the wake-ups of a
  // short fragment, or (where the server resumes a paused stream within
  // one of its cycles: PipeWire) not at all; off standby the requested
  // fragment applies again within one long buffer. What a stream on
  // standby captures may be lost. Best effort, never throws; once started,
  // not from the stream's own callbacks.
  virtual void setStandby(bool standby) = 0;
  // Longer is cheaper, but a monitor's fragment sets how far ahead its sink
  // renders: what an app plays after moving onto it is heard that much
  // later (silence in the recording at a switch), and past 100 ms a new
  // stream on a null sink restarts its clock (see the PulseAudio server).
  static constexpr std::chrono::milliseconds kStandbyFragment{100};
};

// Keeps a change handler registered; destroying it unregisters the handler.
class ServerSubscription {
 public:
  virtual ~ServerSubscription() = default;
};

class SoundServerConnection {
 public:
  virtual ~SoundServerConnection() = default;

  // Whether the connection still stands (false once the server is gone or
  // the connection lost). Answers at once, without asking the server; may
  // also be called from this layer's callbacks.
  virtual bool connected() = 0;
  virtual ServerInfo serverInfo() = 0;                         // throws kServerInfo
  virtual SinkInfo sinkInfo(const std::string& name) = 0;      // throws kSinkInfo
  virtual SourceInfo sourceInfo(const std::string& name) = 0;  // throws kSourceInfo
  // Every sink the server has, in the server's order. Throws kSinkInfo.
  virtual std::vector<SinkInfo> sinks() = 0;

  // Makes a record stream (not yet running). When request.format is absent the
  // source's format is read first (kSourceInfo). Throws kSourceInfo or
  // kCreateStream.
  virtual std::unique_ptr<RecordStream> createRecordStream(const RecordStreamRequest& request) = 0;

  // Calls `onChange` on the server thread with the server's defaults after
  // each change of them and after a sink is added or removed (and possibly
  // after other server changes; compare yourself). Returns nullptr when the server refuses; watching is best
  // effort.
  virtual std::unique_ptr<ServerSubscription> subscribeServerChanges(
      std::function<void(const ServerInfo&)> onChange) = 0;
};

class SoundServer {
 public:
  virtual ~SoundServer() = default;
  // Connects as `clientName`. Never starts a server. Throws kConnect.
  virtual std::unique_ptr<SoundServerConnection> connect(const std::string& clientName) = 0;
  // Asked while a step waits for the server (every few tens of
  // milliseconds, on the waiting thread, with the server's lock held: it
  // must not call into the server); when it answers true the step throws
  // StopRequested. Applies to connections made afterwards. Set it before
  // any thread uses the server.
  virtual void setStopCheck(std::function<bool()> check) { (void)check; }
};

// Sends the client library's own log lines (a missing cookie or home
// directory, running out of file descriptors: it writes them to standard
// error by default) to the system log, where a failed syslog() drops them
// silently, so that standard error carries only this program's one line.
// Leaves a PULSE_LOG_FILE the user set for debugging alone. Call first thing
// in main, before any thread starts.
void keepServerLibraryLogOffStderr();

// The server named by the environment (PULSE_SERVER, PULSE_RUNTIME_PATH,
// XDG_RUNTIME_DIR, as libpulse resolves them). Stateless; thread-safe.
SoundServer& pulseSoundServer();

}  // namespace tavrin::system_audio
