// SoundServer over libpulse's threaded main loop.
//
// Ownership: a PulseCore owns the main loop thread and the context; the
// connection, every record stream and every subscription hold it through a
// shared_ptr, so it is torn down (context disconnected, loop thread stopped)
// only when the last of them is gone. Every libpulse call from outside the
// loop thread runs with the loop lock held; callbacks run on the loop thread
// with the lock already held.
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "system-audio/base/errors.h"
#include "system-audio/base/system_env.h"
#include "system-audio/sound-server/sound_server.h"

namespace tavrin::system_audio {

const char* soundServerStepName(SoundServerStep step) {
  switch (step) {
    case SoundServerStep::kConnect: return "connect";
    case SoundServerStep::kServerInfo: return "server info";
    case SoundServerStep::kSinkInfo: return "sink info";
    case SoundServerStep::kSourceInfo: return "source info";
    case SoundServerStep::kCreateStream: return "create stream";
    case SoundServerStep::kStartStream: return "start stream";
  }
  return "unknown";
}

bool SoundServerError::timedOut() const {
  return code_ == PA_ERR_TIMEOUT;
}

namespace {

// How long any one step may wait for the server (connecting, a query,
// starting a stream) before it fails with PA_ERR_TIMEOUT: a stopped or hung
// server must not hang the command.
constexpr pa_usec_t kServerAnswerUsec = 3'000'000;  // 3 s
// How far ahead a null sink may render before a new monitor stream
// restarts its clock (see restartClockOfRenderingAheadSink).
constexpr pa_usec_t kToleratedRenderAheadUsec = 100'000;
// How often a waiting step asks the stop check.
constexpr pa_usec_t kStopCheckUsec = 50'000;

// What a step was doing, for the sentence of its timeout.
const char* stepActivity(SoundServerStep step) {
  switch (step) {
    case SoundServerStep::kConnect: return "connecting";
    case SoundServerStep::kServerInfo: return "reading its default devices";
    case SoundServerStep::kSinkInfo: return "reading an output device";
    case SoundServerStep::kSourceInfo: return "reading a source's format";
    case SoundServerStep::kCreateStream: return "creating a record stream";
    case SoundServerStep::kStartStream: return "starting a record stream";
  }
  return "waiting";
}

// The first timeout of this process. A server that did not answer once is
// not waited for again: every later connection fails at once with it.
std::mutex hungMutex;
std::optional<SoundServerError> hungServer;

SoundServerError timeoutOf(SoundServerStep step) {
  return SoundServerError(
      step, PA_ERR_TIMEOUT,
      std::string("The sound server did not answer within 3 seconds while ") + stepActivity(step) + ".");
}

[[noreturn]] void fail(SoundServerStep step, int code) {
  if (code != PA_ERR_TIMEOUT) throw SoundServerError(step, code, pa_strerror(code));
  const SoundServerError error = timeoutOf(step);
  {
    std::lock_guard lock(hungMutex);
    if (!hungServer) hungServer = error;
  }
  throw error;
}

std::optional<PcmFormat> formatOf(const pa_sample_spec& sampleSpec) {
  PcmFormat format;
  format.sampleRate = sampleSpec.rate;
  format.channelCount = sampleSpec.channels;
  format.interleaved = true;
  switch (sampleSpec.format) {
    case PA_SAMPLE_FLOAT32NE: format.sampleType = SampleType::kFloat32; break;
    case PA_SAMPLE_S16NE: format.sampleType = SampleType::kInt16; break;
    case PA_SAMPLE_S32NE: format.sampleType = SampleType::kInt32; break;
    default: return std::nullopt;
  }
  return format;
}

// The server's channel positions with FFmpeg's mask bit for each, in the
// order of those bits.
constexpr std::array<std::pair<pa_channel_position_t, uint64_t>, 18> kPositions = {{
    {PA_CHANNEL_POSITION_FRONT_LEFT, AV_CH_FRONT_LEFT},
    {PA_CHANNEL_POSITION_FRONT_RIGHT, AV_CH_FRONT_RIGHT},
    {PA_CHANNEL_POSITION_FRONT_CENTER, AV_CH_FRONT_CENTER},
    {PA_CHANNEL_POSITION_LFE, AV_CH_LOW_FREQUENCY},
    {PA_CHANNEL_POSITION_REAR_LEFT, AV_CH_BACK_LEFT},
    {PA_CHANNEL_POSITION_REAR_RIGHT, AV_CH_BACK_RIGHT},
    {PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER, AV_CH_FRONT_LEFT_OF_CENTER},
    {PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER, AV_CH_FRONT_RIGHT_OF_CENTER},
    {PA_CHANNEL_POSITION_REAR_CENTER, AV_CH_BACK_CENTER},
    {PA_CHANNEL_POSITION_SIDE_LEFT, AV_CH_SIDE_LEFT},
    {PA_CHANNEL_POSITION_SIDE_RIGHT, AV_CH_SIDE_RIGHT},
    {PA_CHANNEL_POSITION_TOP_CENTER, AV_CH_TOP_CENTER},
    {PA_CHANNEL_POSITION_TOP_FRONT_LEFT, AV_CH_TOP_FRONT_LEFT},
    {PA_CHANNEL_POSITION_TOP_FRONT_CENTER, AV_CH_TOP_FRONT_CENTER},
    {PA_CHANNEL_POSITION_TOP_FRONT_RIGHT, AV_CH_TOP_FRONT_RIGHT},
    {PA_CHANNEL_POSITION_TOP_REAR_LEFT, AV_CH_TOP_BACK_LEFT},
    {PA_CHANNEL_POSITION_TOP_REAR_CENTER, AV_CH_TOP_BACK_CENTER},
    {PA_CHANNEL_POSITION_TOP_REAR_RIGHT, AV_CH_TOP_BACK_RIGHT},
}};

// PcmFormat::channelMask of a surround map: 0 for one or two channels (the
// default order serves) and for a map with a position FFmpeg has no bit for
// (aux channels) or twice the same one.
uint64_t channelMaskOf(const pa_channel_map& map) {
  if (map.channels <= 2) return 0;
  uint64_t mask = 0;
  for (unsigned c = 0; c < map.channels; ++c) {
    const auto* known =
        std::find_if(kPositions.begin(), kPositions.end(), [&](const auto& p) { return p.first == map.map[c]; });
    if (known == kPositions.end() || (mask & known->second) != 0) return 0;
    mask |= known->second;
  }
  return mask;
}

// A stream's channel map for `format`: its positions in the order of their
// mask bits (the server reorders the source's channels by position, mixing
// nothing), or the server's default map for the count.
pa_channel_map channelMapOf(const PcmFormat& format) {
  pa_channel_map map;
  pa_channel_map_init_extend(&map, static_cast<unsigned>(format.channelCount), PA_CHANNEL_MAP_DEFAULT);
  if (format.channelMask == 0 || std::popcount(format.channelMask) != static_cast<int>(format.channelCount)) {
    return map;
  }
  unsigned c = 0;
  for (const auto& [position, bit] : kPositions) {
    if ((format.channelMask & bit) != 0) map.map[c++] = position;
  }
  return map;
}

// The source's own rate, channels and their positions; a sample type this
// program cannot hold becomes 32-bit float, which the server converts to.
PcmFormat formatOrFloat(const pa_sample_spec& sampleSpec, const pa_channel_map& map) {
  PcmFormat format =
      formatOf(sampleSpec)
          .value_or(PcmFormat{static_cast<double>(sampleSpec.rate), sampleSpec.channels, SampleType::kFloat32, true});
  if (map.channels == sampleSpec.channels) format.channelMask = channelMaskOf(map);
  return format;
}

pa_sample_spec specOf(const PcmFormat& format) {
  pa_sample_spec sampleSpec{};
  switch (format.sampleType) {
    case SampleType::kFloat32: sampleSpec.format = PA_SAMPLE_FLOAT32NE; break;
    case SampleType::kInt16: sampleSpec.format = PA_SAMPLE_S16NE; break;
    case SampleType::kInt32: sampleSpec.format = PA_SAMPLE_S32NE; break;
  }
  sampleSpec.rate = static_cast<uint32_t>(format.sampleRate);
  sampleSpec.channels = static_cast<uint8_t>(format.channelCount);
  return sampleSpec;
}

struct MainloopDeleter {
  void operator()(pa_threaded_mainloop* loop) const { pa_threaded_mainloop_free(loop); }
};
struct ContextDeleter {
  void operator()(pa_context* context) const { pa_context_unref(context); }
};
struct OperationDeleter {
  void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
};
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;

// The main loop thread and the context. Created connected; destroyed by the
// last owner (never on the loop thread: owners are destroyed by their users).
class PulseCore {
 public:
  static std::shared_ptr<PulseCore> connect(const std::string& clientName, std::function<bool()> stopCheck);
  ~PulseCore();
  PulseCore(const PulseCore&) = delete;
  PulseCore& operator=(const PulseCore&) = delete;

  pa_threaded_mainloop* loop() const { return loop_.get(); }
  pa_context* context() const { return context_.get(); }
  int contextError() const { return pa_context_errno(context_.get()); }

  // The monotonic time by which a step started now must have its answer.
  static pa_usec_t deadline() { return pa_rtclock_now() + kServerAnswerUsec; }

  // Waits (lock held) for the loop's next signal; throws `step`'s timeout
  // once `deadline` has passed (taken as the server hanging unless
  // `serverHangs` is false), and StopRequested when the stop check says
  // so. A timer event wakes the wait at the deadline or the next check.
  void waitUntil(pa_usec_t deadline, SoundServerStep step, bool serverHangs = true) {
    if (stopCheck_ && stopCheck_()) throw StopRequested();
    const pa_usec_t now = pa_rtclock_now();
    if (now >= deadline && !serverHangs) throw timeoutOf(step);
    if (now >= deadline) fail(step, PA_ERR_TIMEOUT);
    const pa_usec_t wake = stopCheck_ ? std::min(deadline, now + kStopCheckUsec) : deadline;
    pa_time_event* timer = pa_context_rttime_new(context(), wake, &PulseCore::onTimer, this);
    pa_threaded_mainloop_wait(loop());
    if (timer) pa_threaded_mainloop_get_api(loop())->time_free(timer);
    if (stopCheck_ && stopCheck_()) throw StopRequested();
  }

  // Waits (lock held) until `operation` completes or is cancelled. When the
  // wait ends early (timeout, stop) the operation is cancelled first, so its
  // callback (which points at the caller's stack) never runs.
  void await(pa_operation* raw, SoundServerStep step) {
    OperationPtr operation(raw);
    if (!operation) fail(step, contextError());
    const pa_usec_t until = deadline();
    try {
      while (pa_operation_get_state(operation.get()) == PA_OPERATION_RUNNING) waitUntil(until, step);
    } catch (...) {
      pa_operation_cancel(operation.get());
      throw;
    }
  }

  // Change handlers, keyed by subscription. Touched with the loop lock held.
  uint64_t addHandler(std::function<void(const ServerInfo&)> handler) {
    handlers_.emplace(++lastHandler_, std::move(handler));
    return lastHandler_;
  }
  void removeHandler(uint64_t id) { handlers_.erase(id); }
  // Whether the context already receives the server's change events.
  bool subscribed = false;
  // Whether the server is PipeWire's, which paces a monitor by its own
  // graph and lets a corked stream resume within a cycle (see
  // RecordStream::setStandby). Learned from the first answer about the
  // server; touched with the loop lock held.
  bool pipeWire = false;
  ServerInfo noteServer(const pa_server_info& info);

  static void onSubscriptionEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* self);
  static void onServerInfoChanged(pa_context*, const pa_server_info* info, void* self);

 private:
  PulseCore() = default;
  static void onContextState(pa_context*, void* self);
  static void onTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseCore*>(self)->loop(), 0);
  }

  std::unique_ptr<pa_threaded_mainloop, MainloopDeleter> loop_;
  std::unique_ptr<pa_context, ContextDeleter> context_;
  bool running_ = false;
  std::map<uint64_t, std::function<void(const ServerInfo&)>> handlers_;
  uint64_t lastHandler_ = 0;
  std::function<bool()> stopCheck_;
};

class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

std::shared_ptr<PulseCore> PulseCore::connect(const std::string& clientName, std::function<bool()> stopCheck) {
  {
    std::lock_guard lock(hungMutex);
    if (hungServer) throw *hungServer;
  }
  std::shared_ptr<PulseCore> core(new PulseCore());
  core->stopCheck_ = std::move(stopCheck);
  core->loop_.reset(pa_threaded_mainloop_new());
  if (!core->loop_) fail(SoundServerStep::kConnect, PA_ERR_INTERNAL);
  core->context_.reset(pa_context_new(pa_threaded_mainloop_get_api(core->loop()), clientName.c_str()));
  if (!core->context_) fail(SoundServerStep::kConnect, PA_ERR_INTERNAL);
  pa_context_set_state_callback(core->context(), &PulseCore::onContextState, core.get());
  // Never spawn a server: capture only ever joins the one that is running.
  if (pa_context_connect(core->context(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    fail(SoundServerStep::kConnect, core->contextError());
  }
  if (pa_threaded_mainloop_start(core->loop()) < 0) fail(SoundServerStep::kConnect, PA_ERR_INTERNAL);
  core->running_ = true;
  LoopLock lock(core->loop());
  const pa_usec_t until = deadline();
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(core->context());
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) fail(SoundServerStep::kConnect, core->contextError());
    core->waitUntil(until, SoundServerStep::kConnect);
  }
  return core;
}

PulseCore::~PulseCore() {
  if (context_) {
    if (running_) {
      LoopLock lock(loop());
      pa_context_set_state_callback(context(), nullptr, nullptr);
      pa_context_set_subscribe_callback(context(), nullptr, nullptr);
      pa_context_disconnect(context());
      context_.reset();
    } else {
      pa_context_set_state_callback(context(), nullptr, nullptr);
      pa_context_disconnect(context());
      context_.reset();
    }
  }
  if (running_) pa_threaded_mainloop_stop(loop());
}

void PulseCore::onContextState(pa_context*, void* self) {
  pa_threaded_mainloop_signal(static_cast<PulseCore*>(self)->loop(), 0);
}

void PulseCore::onSubscriptionEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t, void* self) {
  // The defaults, and the outputs there are (one plugged in or removed).
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  const bool sinkAddedOrRemoved = facility == PA_SUBSCRIPTION_EVENT_SINK &&
                                  (kind == PA_SUBSCRIPTION_EVENT_NEW || kind == PA_SUBSCRIPTION_EVENT_REMOVE);
  if (facility != PA_SUBSCRIPTION_EVENT_SERVER && !sinkAddedOrRemoved) return;
  // Ask for the new defaults; the answer arrives on this thread later.
  OperationPtr(pa_context_get_server_info(context, &PulseCore::onServerInfoChanged, self));
}

ServerInfo PulseCore::noteServer(const pa_server_info& info) {
  // PipeWire's server names itself "PulseAudio (on PipeWire 1.x)".
  if (info.server_name && std::strstr(info.server_name, "PipeWire")) pipeWire = true;
  ServerInfo out;
  if (info.default_sink_name) out.defaultSinkName = info.default_sink_name;
  if (info.default_source_name) out.defaultSourceName = info.default_source_name;
  return out;
}

void PulseCore::onServerInfoChanged(pa_context*, const pa_server_info* info, void* self) {
  if (!info) return;
  auto* core = static_cast<PulseCore*>(self);
  const ServerInfo current = core->noteServer(*info);
  for (auto& [id, handler] : core->handlers_) handler(current);
}

// ---------------------------------------------------------------------------

class PulseRecordStream final : public RecordStream {
 public:
  PulseRecordStream(std::shared_ptr<PulseCore> core, const RecordStreamRequest& request, const PcmFormat& format)
      : core_(std::move(core)), request_(request), format_(format) {}

  ~PulseRecordStream() override {
    if (!stream_) return;
    LoopLock lock(core_->loop());
    closing_ = true;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
  }

  // With the loop lock held.
  void create() {
    const pa_sample_spec sampleSpec = specOf(format_);
    const pa_channel_map map = channelMapOf(format_);
    if (!pa_sample_spec_valid(&sampleSpec)) fail(SoundServerStep::kCreateStream, PA_ERR_INVALID);
    stream_ = pa_stream_new(core_->context(), request_.streamName.c_str(), &sampleSpec, &map);
    if (!stream_) fail(SoundServerStep::kCreateStream, core_->contextError());
    pa_stream_set_state_callback(stream_, &PulseRecordStream::onState, this);
    pa_stream_set_read_callback(stream_, &PulseRecordStream::onRead, this);
  }

  void start() override {
    LoopLock lock(core_->loop());
    const pa_buffer_attr attr = bufferAttr(request_.fragment);
    // DONT_MOVE pins the stream to its source: it never follows a new
    // default and fails if the source disappears.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                                      PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING |
                                                      (request_.channelsByIndex ? PA_STREAM_NO_REMIX_CHANNELS : 0));
    if (pa_stream_connect_record(stream_, request_.sourceName.c_str(), &attr, flags) < 0) {
      fail(SoundServerStep::kStartStream, core_->contextError());
    }
    const pa_usec_t until = PulseCore::deadline();
    for (;;) {
      const pa_stream_state_t state = pa_stream_get_state(stream_);
      if (state == PA_STREAM_READY) break;
      if (!PA_STREAM_IS_GOOD(state)) fail(SoundServerStep::kStartStream, core_->contextError());
      core_->waitUntil(until, SoundServerStep::kStartStream);
    }
    restartClockOfRenderingAheadSink();
    // Deliver in fragments of the size asked for, but never wait for more
    // than the server sends per wake-up.
    gatherBytes_ = static_cast<size_t>(fragmentFrames()) * frameBytes();
    if (const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_)) {
      gatherBytes_ = std::min<size_t>(gatherBytes_, granted->fragsize);
    }
    running_ = true;
    // The stream runs once its first audio comes (a monitor delivers
    // silence too): a server that hangs after accepting the stream, or a
    // source that stays suspended, fails this step in time rather than
    // recording nothing. Not taken as the whole server hanging: one
    // suspended output must not stop the others.
    const pa_usec_t firstAudioBy = PulseCore::deadline();
    while (!heard_) {
      if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) fail(SoundServerStep::kStartStream, core_->contextError());
      core_->waitUntil(firstAudioBy, SoundServerStep::kStartStream, /*serverHangs=*/false);
    }
  }

  const PcmFormat& format() const override { return format_; }

  // On PulseAudio only the server's fragment changes: onRead delivers
  // whatever is readable once a short fragment's worth is, so long ones
  // pass whole. On PipeWire the stream is corked instead: a long fragment
  // there still wakes this process at every graph cycle it is granted, and
  // the longest (170 ms) is too slow to come back from at a switch, while
  // an uncorked stream delivers again from the next cycle.
  void setStandby(bool standby) override {
    LoopLock lock(core_->loop());
    if (!running_ || standby == standby_ || request_.fragment.count() == 0) return;
    if (core_->pipeWire) {
      OperationPtr(pa_stream_cork(stream_, standby ? 1 : 0, nullptr, nullptr));
    } else {
      const pa_buffer_attr attr = bufferAttr(standby ? kStandbyFragment : request_.fragment);
      OperationPtr(pa_stream_set_buffer_attr(stream_, &attr, nullptr, nullptr));
    }
    standby_ = standby;
  }

 private:
  uint32_t frameBytes() const { return format_.bytesPerFrameInBuffer(); }
  uint32_t fragmentFrames() const { return framesIn(request_.fragment); }
  uint32_t framesIn(std::chrono::microseconds time) const {
    return static_cast<uint32_t>(format_.sampleRate * static_cast<double>(time.count()) / 1e6);
  }
  // The server's defaults but for the fragment (0: the server's too).
  pa_buffer_attr bufferAttr(std::chrono::microseconds fragment) const {
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = framesIn(fragment) > 0 ? framesIn(fragment) * frameBytes() : static_cast<uint32_t>(-1);
    return attr;
  }

  // PulseAudio's null sink has no device clock: it renders up to its latency
  // (two seconds while nothing asks for less) ahead and sleeps until then,
  // and a shorter latency asked for by a new monitor stream only applies
  // from its next wake-up, so the stream's first audio would come up to two
  // seconds late. Suspending and resuming the sink restarts its clock at
  // once, at this stream's latency. Nobody hears a null sink, so the
  // restart is silent; real devices keep their own clock and are left
  // alone. A suspend drops what the sink would render meanwhile (~20 ms)
  // from every recording of its monitor, so it is done only when the sink
  // is rendering far ahead (its reported latency): a recording that already
  // runs keeps the clock short, and one that started just before this one
  // has not yet. Best effort: a failure leaves the stream as it is, but a
  // server that stops answering fails the step now rather than after a
  // second wait for the first audio. With the lock.
  void restartClockOfRenderingAheadSink() {
    struct Answer {
      pa_threaded_mainloop* loop;
      uint32_t sink = PA_INVALID_INDEX;
      bool nullSink = false;
      pa_usec_t ahead = 0;
    } answer{core_->loop()};
    try {
      core_->await(pa_context_get_source_info_by_index(
                       core_->context(), pa_stream_get_device_index(stream_),
                       [](pa_context*, const pa_source_info* info, int eol, void* raw) {
                         auto* a = static_cast<Answer*>(raw);
                         if (eol == 0 && info) a->sink = info->monitor_of_sink;
                         if (eol != 0) pa_threaded_mainloop_signal(a->loop, 0);
                       },
                       &answer),
                   SoundServerStep::kStartStream);
      if (answer.sink == PA_INVALID_INDEX) return;
      core_->await(pa_context_get_sink_info_by_index(
                       core_->context(), answer.sink,
                       [](pa_context*, const pa_sink_info* info, int eol, void* raw) {
                         auto* a = static_cast<Answer*>(raw);
                         if (eol == 0 && info) {
                           a->nullSink = info->driver && std::strcmp(info->driver, "module-null-sink.c") == 0;
                           a->ahead = info->latency;
                         }
                         if (eol != 0) pa_threaded_mainloop_signal(a->loop, 0);
                       },
                       &answer),
                   SoundServerStep::kStartStream);
      if (!answer.nullSink || answer.ahead <= kToleratedRenderAheadUsec) return;
      auto onDone = [](pa_context*, int, void* raw) {
        pa_threaded_mainloop_signal(static_cast<Answer*>(raw)->loop, 0);
      };
      // Both requests go out together, before any wait: the server carries
      // out a client's requests in order, so the sink is resumed whatever
      // ends the wait (a stop, a signal, a timeout, this process's end).
      OperationPtr suspend(pa_context_suspend_sink_by_index(core_->context(), answer.sink, 1, nullptr, nullptr));
      if (!suspend) return;
      core_->await(pa_context_suspend_sink_by_index(core_->context(), answer.sink, 0, onDone, &answer),
                   SoundServerStep::kStartStream);
    } catch (const SoundServerError& error) {
      if (error.timedOut()) throw;
    }
  }

  static void onState(pa_stream* stream, void* raw) {
    auto* self = static_cast<PulseRecordStream*>(raw);
    pa_threaded_mainloop_signal(self->core_->loop(), 0);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
    if (!self->running_ || self->closing_ || self->failureReported_) return;
    self->failureReported_ = true;
    int error = self->core_->contextError();
    if (error == PA_OK) error = PA_ERR_KILLED;
    if (self->request_.onFailure) self->request_.onFailure(pa_strerror(error));
  }

  // The server hands over audio in whatever chunks its source produced
  // (a few milliseconds each on a busy sink). Chunks are gathered until a
  // fragment's worth is readable, then copied into one buffer.
  static void onRead(pa_stream* stream, size_t, void* raw) {
    auto* self = static_cast<PulseRecordStream*>(raw);
    const uint32_t bytesPerFrame = self->frameBytes();
    const size_t readable = pa_stream_readable_size(stream);
    if (!self->heard_ && readable != static_cast<size_t>(-1) && readable > 0) {
      self->heard_ = true;
      pa_threaded_mainloop_signal(self->core_->loop(), 0);
    }
    if (readable == static_cast<size_t>(-1) || readable == 0 || readable < self->gatherBytes_) return;

    // The first readable frame was captured `latency` ago.
    const uint64_t now = monotonicNowNanos();
    pa_usec_t latency = 0;
    int negative = 0;
    uint64_t captured = now;
    if (pa_stream_get_latency(stream, &latency, &negative) == 0 && !negative && latency * 1000 < now) {
      captured = now - latency * 1000;
    }

    const auto frames = static_cast<uint32_t>(readable / bytesPerFrame);
    PcmBufferPtr buffer = PcmBuffer::create(self->format_, frames);
    size_t filled = 0;
    const size_t capacity = static_cast<size_t>(frames) * bytesPerFrame;
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
      // A hole (data == nullptr) is audio the server did not have: skipped.
      if (data != nullptr && buffer) {
        const size_t n = std::min(bytes, capacity - filled);
        std::memcpy(buffer->data(0) + filled, data, n);
        filled += n;
      }
      pa_stream_drop(stream);
      if (filled == capacity) break;
    }
    if (!buffer || filled < bytesPerFrame) return;
    buffer->setFrameLength(static_cast<uint32_t>(filled / bytesPerFrame));
    if (self->request_.onData) self->request_.onData(std::move(buffer), captured);
  }

  std::shared_ptr<PulseCore> core_;
  RecordStreamRequest request_;
  PcmFormat format_;
  pa_stream* stream_ = nullptr;
  size_t gatherBytes_ = 0;
  bool running_ = false;
  bool standby_ = false;
  bool heard_ = false;  // audio has come
  bool closing_ = false;
  bool failureReported_ = false;
};

class PulseSubscription final : public ServerSubscription {
 public:
  PulseSubscription(std::shared_ptr<PulseCore> core, uint64_t id) : core_(std::move(core)), id_(id) {}
  ~PulseSubscription() override {
    LoopLock lock(core_->loop());
    core_->removeHandler(id_);
  }

 private:
  std::shared_ptr<PulseCore> core_;
  uint64_t id_;
};

class PulseConnection final : public SoundServerConnection {
 public:
  explicit PulseConnection(std::shared_ptr<PulseCore> core) : core_(std::move(core)) {}

  bool connected() override {
    // The server thread holds the loop's lock already while it runs callbacks.
    if (pa_threaded_mainloop_in_thread(core_->loop())) return contextReady();
    LoopLock lock(core_->loop());
    return contextReady();
  }

  ServerInfo serverInfo() override {
    struct Answer {
      PulseCore* core;
      std::optional<ServerInfo> info;
    } answer{core_.get(), std::nullopt};
    LoopLock lock(core_->loop());
    core_->await(pa_context_get_server_info(
                     core_->context(),
                     [](pa_context*, const pa_server_info* info, void* raw) {
                       auto* a = static_cast<Answer*>(raw);
                       if (info) a->info = a->core->noteServer(*info);
                       pa_threaded_mainloop_signal(a->core->loop(), 0);
                     },
                     &answer),
                 SoundServerStep::kServerInfo);
    if (!answer.info) fail(SoundServerStep::kServerInfo, core_->contextError());
    return *answer.info;
  }

  SinkInfo sinkInfo(const std::string& name) override {
    auto all = querySinks(name.c_str());
    if (all.empty()) fail(SoundServerStep::kSinkInfo, errorOr(PA_ERR_NOENTITY));
    return all.front();
  }

  std::vector<SinkInfo> sinks() override { return querySinks(nullptr); }

  SourceInfo sourceInfo(const std::string& name) override {
    LoopLock lock(core_->loop());
    return sourceInfoLocked(name);
  }

  std::unique_ptr<RecordStream> createRecordStream(const RecordStreamRequest& request) override {
    LoopLock lock(core_->loop());
    const PcmFormat format = request.format ? *request.format : sourceInfoLocked(request.sourceName).format;
    auto stream = std::make_unique<PulseRecordStream>(core_, request, format);
    stream->create();
    return stream;
  }

  std::unique_ptr<ServerSubscription> subscribeServerChanges(std::function<void(const ServerInfo&)> onChange) override {
    LoopLock lock(core_->loop());
    if (!core_->subscribed) {
      pa_context_set_subscribe_callback(core_->context(), &PulseCore::onSubscriptionEvent, core_.get());
      struct Answer {
        pa_threaded_mainloop* loop;
        bool ok = false;
      } answer{core_->loop()};
      pa_operation* operation = pa_context_subscribe(
          core_->context(),
          static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK),
          [](pa_context*, int success, void* raw) {
            auto* a = static_cast<Answer*>(raw);
            a->ok = success != 0;
            pa_threaded_mainloop_signal(a->loop, 0);
          },
          &answer);
      if (!operation) return nullptr;
      try {
        core_->await(operation, SoundServerStep::kServerInfo);
      } catch (const SoundServerError&) {
        return nullptr;
      }
      if (!answer.ok) return nullptr;
      core_->subscribed = true;
    }
    return std::make_unique<PulseSubscription>(core_, core_->addHandler(std::move(onChange)));
  }

 private:
  int errorOr(int fallback) const {
    const int error = core_->contextError();
    return error != PA_OK ? error : fallback;
  }

  // With the loop lock held.
  SourceInfo sourceInfoLocked(const std::string& name) {
    struct Answer {
      pa_threaded_mainloop* loop;
      std::optional<SourceInfo> info;
    } answer{core_->loop(), std::nullopt};
    core_->await(pa_context_get_source_info_by_name(
                     core_->context(), name.c_str(),
                     [](pa_context*, const pa_source_info* info, int eol, void* raw) {
                       auto* a = static_cast<Answer*>(raw);
                       if (eol == 0 && info && !a->info) {
                         SourceInfo out;
                         out.name = info->name ? info->name : "";
                         out.format = formatOrFloat(info->sample_spec, info->channel_map);
                         out.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
                         a->info = out;
                       }
                       if (eol != 0) pa_threaded_mainloop_signal(a->loop, 0);
                     },
                     &answer),
                 SoundServerStep::kSourceInfo);
    if (!answer.info) fail(SoundServerStep::kSourceInfo, errorOr(PA_ERR_NOENTITY));
    return *answer.info;
  }

  // One named sink (`name`) or all of them (nullptr).
  std::vector<SinkInfo> querySinks(const char* name) {
    struct Answer {
      pa_threaded_mainloop* loop;
      std::vector<SinkInfo> sinks;
      bool failed = false;
    } answer{core_->loop(), {}};
    auto onSink = [](pa_context*, const pa_sink_info* info, int eol, void* raw) {
      auto* a = static_cast<Answer*>(raw);
      if (eol < 0) a->failed = true;
      if (eol == 0 && info) {
        SinkInfo out;
        out.name = info->name ? info->name : "";
        out.monitorSourceName = info->monitor_source_name ? info->monitor_source_name : "";
        out.format = formatOrFloat(info->sample_spec, info->channel_map);
        a->sinks.push_back(std::move(out));
      }
      if (eol != 0) pa_threaded_mainloop_signal(a->loop, 0);
    };
    LoopLock lock(core_->loop());
    core_->await(name ? pa_context_get_sink_info_by_name(core_->context(), name, onSink, &answer)
                      : pa_context_get_sink_info_list(core_->context(), onSink, &answer),
                 SoundServerStep::kSinkInfo);
    // A named sink that does not exist ends the query with an error; the
    // caller sees an empty answer. A failed list is the server's failure.
    if (name == nullptr && answer.failed) fail(SoundServerStep::kSinkInfo, errorOr(PA_ERR_INTERNAL));
    return answer.sinks;
  }

  bool contextReady() { return pa_context_get_state(core_->context()) == PA_CONTEXT_READY; }

  std::shared_ptr<PulseCore> core_;
};

class PulseSoundServer final : public SoundServer {
 public:
  std::unique_ptr<SoundServerConnection> connect(const std::string& clientName) override {
    std::function<bool()> check;
    {
      std::lock_guard lock(mutex_);
      check = stopCheck_;
    }
    return std::make_unique<PulseConnection>(PulseCore::connect(clientName, std::move(check)));
  }

  void setStopCheck(std::function<bool()> check) override {
    std::lock_guard lock(mutex_);
    stopCheck_ = std::move(check);
  }

 private:
  std::mutex mutex_;
  std::function<bool()> stopCheck_;
};

}  // namespace

void keepServerLibraryLogOffStderr() {
  // libpulse reads its log settings from the environment at its first log
  // line, once per process.
  if (std::getenv("PULSE_LOG_FILE") == nullptr) ::setenv("PULSE_LOG_SYSLOG", "1", 1);
}

SoundServer& pulseSoundServer() {
  static PulseSoundServer server;
  return server;
}

}  // namespace tavrin::system_audio
