#include "system-audio/live/live_subtitles.h"

#include <thread>

#include "system-audio/base/errors.h"
#include "system-audio/base/stop_signals.h"

namespace tavrin::system_audio {

namespace {

// A channel thread; its failure is discarded (the channel has written
// whatever it had to say).
std::thread startChannel(LiveChannelRequest request, const LiveServices& services) {
  return std::thread([request = std::move(request), &services] {
    try {
      runLiveChannel(request, services);
    } catch (...) {
    }
  });
}

}  // namespace

void runLiveSubtitles(const LiveRequest& request, LiveCaptureFactory& captures, const LiveServices& services,
                      SystemEnv& env, const LiveRunOptions& options) {
  NDJSONWriter writer(options.outputFd);

  std::unique_ptr<AudioCapture> tap;
  if (request.systemEnabled) {
    tap = captures.makeSystemCapture(
        [&writer] { writer.emit(LiveErrorEvent{"System audio output device changed; stopping capture."}); });
    // A tap whose stream dies ends its stream (the system channel drains and
    // ends); the microphone channel goes on.
    tap->setOnFailure([&writer](const std::string& description) {
      writer.emit(LiveErrorEvent{SystemAudioError::streamStopped(description).what()});
    });
    try {
      tap->start();  // undoes its own work and throws on failure
    } catch (const StopRequested&) {
      return;  // stopped before capture ran: nothing to drain
    }
  }

  std::unique_ptr<AudioCapture> mic;
  if (request.micEnabled) {
    mic = captures.makeMicCapture(request.echoCancellation);
    mic->setOnFailure([&writer](const std::string& description) {
      writer.emit(LiveErrorEvent{"Microphone capture failed: " + description});
    });
    try {
      mic->start();
    } catch (const StopRequested&) {
      mic.reset();  // the wait below returns at once
    } catch (const std::exception& e) {
      writer.emit(LiveErrorEvent{std::string("Microphone capture failed: ") + e.what()});
      mic.reset();
    }
  }

  LiveTiming timing(options.timingEnabled, options.clock, options.timingSink);

  std::thread systemTask;
  std::thread micTask;
  auto stopAndDrain = [&] {
    if (tap) tap->stop();
    if (mic) mic->stop();
    if (systemTask.joinable()) systemTask.join();
    if (micTask.joinable()) micTask.join();
  };
  // A channel thread that cannot start (std::system_error) ends the run
  // through the normal failure path, after the one already running drained.
  try {
    if (tap) {
      systemTask = startChannel(LiveChannelRequest{AudioChannel::kSystem, tap->stream(), request.language,
                                                   request.translateTo, &writer, &timing, true},
                                services);
    }
    if (mic) {
      micTask = startChannel(LiveChannelRequest{AudioChannel::kMic, mic->stream(), request.language,
                                                request.translateTo, &writer, nullptr, !request.systemEnabled},
                             services);
    }
    waitForStopSignal(request.stopFilePath, nullptr, env);
  } catch (...) {
    stopAndDrain();
    throw;
  }
  // Both captures stop before either channel is awaited, so both drain at
  // the same time.
  stopAndDrain();
}

}  // namespace tavrin::system_audio
