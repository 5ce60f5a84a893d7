// The live command on this machine: the sound server's captures, the
// PocketSphinx speech service, Apertium translation.
#pragma once

#include <memory>

#include "speech-service/pocketsphinx/pocketsphinx_service.h"
#include "speech-service/whisper/whisper_service.h"
#include "system-audio/base/requests.h"
#include "system-audio/base/system_env.h"

namespace tavrin::system_audio {

// The speech engines of this machine, routed as a live run routes them;
// translation-status asks the same routing what a run would do. Nothing is
// loaded or downloaded until asked.
class MachineSpeech {
 public:
  MachineSpeech();
  speech::SpeechService& service() { return *routed_; }

 private:
  std::unique_ptr<speech::PocketSphinxService> builtIn_;
  std::unique_ptr<speech::WhisperSpeechService> whisper_;
  std::unique_ptr<speech::WhisperSpeechService> english_;
  std::unique_ptr<speech::WhisperSpeechService> onDemand_;
  std::unique_ptr<speech::RoutedSpeechService> routed_;
};

void runRealLiveSubtitles(const LiveRequest& request, SystemEnv& env);

}  // namespace tavrin::system_audio
