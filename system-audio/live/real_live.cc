#include "system-audio/live/real_live.h"

#include <cstdlib>

#include "common/locale.h"
#include "common/output.h"
#include "models/http.h"
#include "speech-service/model_download.h"
#include "speech-service/pocketsphinx_service.h"
#include "speech-service/whisper_service.h"
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

MachineSpeech::MachineSpeech()
    : builtIn_(speech::PocketSphinxService::fromProcess()),
      // A Whisper model the user installed takes the locales it serves; any
      // other language Whisper knows gets its default model, downloaded when
      // a channel first needs it. PocketSphinx still finds English
      // utterances.
      whisper_(speech::WhisperSpeechService::fromProcess()),
      // English: the English model chosen for this machine, fetched in the
      // background while PocketSphinx serves the run.
      english_(std::make_unique<speech::WhisperSpeechService>(
          speech::makeCatalogueWhisperDownload(models::makeCurlClient(), speech::englishCatalogueModel()),
          speech::makeWhisperLibraryEngine())),
      onDemand_(std::make_unique<speech::WhisperSpeechService>(
          speech::makeCatalogueWhisperDownload(models::makeCurlClient(),
                                               models::defaultModel(models::ModelKind::kSpeech)),
          speech::makeWhisperLibraryEngine())),
      routed_(std::make_unique<speech::RoutedSpeechService>(*whisper_, *builtIn_, onDemand_.get(), english_.get())) {
  whisper_->setLiveGuide(builtIn_.get());
  english_->setLiveGuide(builtIn_.get());
  onDemand_->setLiveGuide(builtIn_.get());
}

void runRealLiveSubtitles(const LiveRequest& request, SystemEnv& env) {
  // whisper.cpp's threads (OpenMP) wait for each other passively: spinning,
  // they stall whenever another thread takes a core (PocketSphinx, the other
  // channel, any program): a 3 s utterance took 4 to 8 s instead of 1 s on a
  // busy 2-core machine. Set before the library loads; a user's value wins.
  ::setenv("OMP_WAIT_POLICY", "PASSIVE", 0);
  MachineSpeech speech;
  ApertiumTranslationService translation;
  LiveServices services{speech.service(), translation, currentLocaleIdentifier()};
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
