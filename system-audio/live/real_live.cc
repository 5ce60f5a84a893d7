#include "system-audio/live/real_live.h"

#include <cstdlib>

#include "common/locale.h"
#include "common/output.h"
#include "speech-service/pocketsphinx_service.h"
#include "system-audio/base/stop_signals.h"
#include "system-audio/live/apertium.h"
#include "system-audio/live/live_subtitles.h"
#include "system-audio/sources/mic_capture.h"
#include "system-audio/sources/system_audio_tap.h"

namespace tavrin::system_audio {

namespace {

class SoundServerCaptures final : public LiveCaptureFactory {
 public:
  SoundServerCaptures(SoundServer& server, SystemEnv& env) : server_(server), env_(env) {}

  std::unique_ptr<AudioCapture> makeSystemCapture(std::function<void()> onDeviceLost) override {
    auto tap = std::make_unique<SystemAudioTap>(server_);
    tap->setOnDeviceLost(std::move(onDeviceLost));
    return tap;
  }

  std::unique_ptr<AudioCapture> makeMicCapture(bool voiceProcessing) override {
    return std::make_unique<MicCapture>(server_, voiceProcessing,
                                        [&env = env_](const std::string& line) { (void)env.writeStderrLine(line); });
  }

 private:
  SoundServer& server_;
  SystemEnv& env_;
};

}  // namespace

void runRealLiveSubtitles(const LiveRequest& request, SystemEnv& env) {
  std::unique_ptr<speech::PocketSphinxService> speech = speech::PocketSphinxService::fromProcess();
  ApertiumTranslationService translation;
  LiveServices services{*speech, translation, currentLocaleIdentifier()};
  LiveRunOptions options;
  options.outputFd = 1;
  options.timingEnabled = std::getenv("TAVRIN_LIVE_TIMING") != nullptr;
  options.timingSink = [](const std::string& line) { (void)writeAll(2, line); };
  options.clock = monotonicNowNanos;
  // Every wait on the server while capture starts ends at a stop signal.
  pulseSoundServer().setStopCheck([stopFile = request.stopFilePath, &env] { return stopSignalPending(stopFile, env); });
  SoundServerCaptures captures(pulseSoundServer(), env);
  runLiveSubtitles(request, captures, services, env, options);
}

}  // namespace tavrin::system_audio
