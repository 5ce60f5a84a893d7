#include "system-audio/recording/record_audio.h"

#include <algorithm>
#include <cerrno>
#include <thread>

#include "common/audio_converter.h"
#include "system-audio/base/errors.h"
#include "system-audio/sources/system_audio_tap.h"

namespace tavrin::system_audio {

namespace {

constexpr uint64_t kNanosPerSecond = 1'000'000'000ull;
constexpr uint64_t kPollNanos = 100'000'000ull;

constexpr auto kReaderPoll = std::chrono::milliseconds(50);
constexpr auto kWriteEvery = std::chrono::milliseconds(100);

// What stops a recording that is still starting: a termination signal and,
// without --seconds, the stop file and the parent's exit (those a timed
// recording does not watch).
std::function<bool()> stopCheckFor(const RecordRequest& request, SystemEnv& env) {
  if (request.seconds) return [&env] { return env.terminationSignalPending(); };
  return [stopFile = request.stopFilePath, &env] { return stopSignalPending(stopFile, env); };
}

// Opens the output. A FIFO is opened once something reads it, waiting as
// long as the recording would last; a stop before that, or a FIFO that no
// one reads in time, means the output could not be opened.
OutputFile openOutput(const RecordRequest& request, SystemEnv& env) {
  const std::function<bool()> stopped = stopCheckFor(request, env);
  const uint64_t start = env.monotonicNanos();
  const uint64_t limit = std::min(request.seconds.value_or(kMaxRecordSeconds), kMaxRecordSeconds) * kNanosPerSecond;
  for (;;) {
    int error = 0;
    if (auto file = OutputFile::create(request.outputPath, &error)) return std::move(*file);
    if (error != ENXIO || stopped() || env.monotonicNanos() - start >= limit) {
      throw SystemAudioError::outputUnavailable(request.outputPath);
    }
    env.sleepFor(kReaderPoll);
  }
}

// A failed append ends the recording with the platform's description.
void throwIfWriteFailed(const std::optional<std::string>& writeError) {
  if (writeError) throw PlatformError(*writeError);
}

}  // namespace

void waitForRecordingEnd(const RecordRequest& request, const StreamDeathWatcher& watcher, SystemEnv& env) {
  if (!request.seconds) {
    waitForStopSignal(request.stopFilePath, &watcher, env);
    return;
  }
  // The whole wait in nanoseconds, capped so that it cannot overflow; slept
  // in slices so that a failed append ends it at once.
  const uint64_t total = std::min(*request.seconds, kMaxRecordSeconds) * kNanosPerSecond;
  const uint64_t start = env.monotonicNanos();
  for (;;) {
    const uint64_t elapsed = env.monotonicNanos() - start;
    if (watcher.error() || elapsed >= total ||
        env.sleepUnlessSignalled(std::chrono::nanoseconds(std::min(total - elapsed, kPollNanos)))) {
      env.stopReached();
      return;
    }
  }
}

AudioRecordingStats recordAudio(const RecordRequest& request, RecordingPlatform& platform) {
  // Every wait on the server while capture starts ends at a stop signal.
  platform.server.setStopCheck(stopCheckFor(request, platform.env));
  // Opened first: a stop that comes while the path is chosen (the tap gate
  // asks the server) still leaves the empty file the reply describes.
  OutputFile file = openOutput(request, platform.env);
  try {
    if (platform.gates.processTapAvailable()) return recordAudioViaTap(request, file, platform);
    return recordAudioViaScreenCapture(request, file, platform);
  } catch (const StopRequested&) {
    // Stopped before capture ran: an empty recording. The wait returns at
    // once (the signal is still there) and says so if the parent exited.
    waitForRecordingEnd(request, StreamDeathWatcher(), platform.env);
    return AudioRecordingStats{};
  }
}

AudioRecordingStats recordAudioViaTap(const RecordRequest& request, OutputFile& file, RecordingPlatform& platform) {
  const PcmFormat target = PcmFormat::float32(16000, 1);
  if (!target.isValid()) throw SystemAudioError::incompatibleAudioFormat();

  // Set by a failed append or by the tap's stream dying; either ends the
  // wait at once.
  StreamDeathWatcher watcher;
  TapRecordingWriter writer(file, request.startFilePath, platform.wallClock, &watcher);
  LiveAudioConverter converter(target);
  SystemAudioTap tap(platform.server);
  tap.setOnFailure([&watcher](const std::string& description) { watcher.streamDidStop(description); });
  tap.start();

  std::shared_ptr<CaptureStream> stream = tap.stream();
  std::thread consumer([&] {
    auto write = [&](const PcmBufferPtr& buffer) {
      if (PcmBufferPtr converted = converter.convert(buffer)) writer.write(*converted);
    };
    // The first buffer is written as it comes (the start file takes its
    // time), the rest every 100 ms: a fifth of the wake-ups, and a stop
    // still ends the wait at once.
    if (auto first = stream->next()) write(*first);
    for (auto batch = stream->nextBatch(kWriteEvery); !batch.empty(); batch = stream->nextBatch(kWriteEvery)) {
      for (const PcmBufferPtr& buffer : batch) write(buffer);
    }
  });
  struct JoinOnExit {
    SystemAudioTap& tap;
    std::thread& consumer;
    ~JoinOnExit() {
      tap.stop();
      if (consumer.joinable()) consumer.join();
    }
  } joinOnExit{tap, consumer};

  waitForRecordingEnd(request, watcher, platform.env);
  // Stop the tap (finishing its stream), then let the consumer write every
  // buffer delivered before the stop.
  tap.stop();
  consumer.join();
  writer.waitForStartFile();
  throwIfWriteFailed(writer.writeError());
  // The stream died: the file keeps what was captured, the reply is the
  // failure.
  if (auto error = watcher.error()) throw SystemAudioError::streamStopped(*error);
  AudioRecordingStats stats = writer.snapshot();
  file.close();
  return stats;
}

AudioRecordingStats recordAudioViaScreenCapture(const RecordRequest& request, OutputFile& file,
                                                RecordingPlatform& platform) {
  ScreenCaptureService& service = platform.screenCapture;
  const std::vector<CaptureDisplay> displays = service.shareableContent();
  if (displays.empty()) throw SystemAudioError::noDisplay();

  StreamConfiguration configuration;  // 2 × 2, 1 s frames, audio only, 16 kHz mono
  StreamDeathWatcher watcher;
  AudioRecordingOutput output(file, request.startFilePath, platform.wallClock, &watcher);
  std::unique_ptr<ScreenCaptureStream> stream = service.makeStream(displays.front(), configuration, &watcher);
  stream->addAudioOutput([&output](const SampleBuffer& buffer, StreamOutputType type) { output.stream(buffer, type); });
  stream->startCapture();

  waitForRecordingEnd(request, watcher, platform.env);
  throwIfWriteFailed(output.writeError());
  if (auto error = watcher.error()) throw SystemAudioError::streamStopped(*error);
  stream->stopCapture();
  output.waitForStartFile();
  throwIfWriteFailed(output.writeError());
  AudioRecordingStats stats = output.snapshot();
  file.close();
  return stats;
}

}  // namespace tavrin::system_audio
