// The speech engines of this machine, routed as every helper routes them:
// the Whisper models the user installed, PocketSphinx, and the Whisper
// models fetched on demand.
#pragma once

#include <memory>

#include "speech-service/pocketsphinx/pocketsphinx_service.h"
#include "speech-service/routing/routed_speech_service.h"
#include "speech-service/whisper/whisper_service.h"

namespace tavrin::speech {

// A Whisper model the user installed takes the locales it serves. English:
// the English model chosen for this machine, fetched when first needed;
// PocketSphinx serves until it is there, and whenever it cannot be had (a
// live run never waits for it: the download runs in the background and
// later runs use it). Any other language Whisper knows: its default model,
// downloaded when a channel first needs it. In live runs PocketSphinx still
// finds the utterances Whisper's recognizers decode. Nothing is loaded or
// downloaded until asked; translation-status asks the same routing what a
// run would do.
class MachineSpeech {
 public:
  MachineSpeech();
  SpeechService& service() { return *routed_; }

 private:
  std::unique_ptr<PocketSphinxService> builtIn_;
  std::unique_ptr<WhisperSpeechService> whisper_;
  std::unique_ptr<WhisperSpeechService> english_;
  std::unique_ptr<WhisperSpeechService> onDemand_;
  std::unique_ptr<RoutedSpeechService> routed_;
};

}  // namespace tavrin::speech
