#include "speech-service/routing/machine_speech.h"

#include "models/http.h"
#include "speech-service/whisper/model_download.h"

namespace tavrin::speech {

MachineSpeech::MachineSpeech()
    : builtIn_(PocketSphinxService::fromProcess()),
      whisper_(WhisperSpeechService::fromProcess()),
      english_(std::make_unique<WhisperSpeechService>(
          makeCatalogueWhisperDownload(models::makeCurlClient(), englishCatalogueModel()), makeWhisperLibraryEngine())),
      onDemand_(std::make_unique<WhisperSpeechService>(
          makeCatalogueWhisperDownload(models::makeCurlClient(), models::defaultModel(models::ModelKind::kSpeech)),
          makeWhisperLibraryEngine())),
      routed_(std::make_unique<RoutedSpeechService>(*whisper_, *builtIn_, onDemand_.get(), english_.get())) {
  // Live recognizers only: a transcription never asks for a guide.
  whisper_->setLiveGuide(builtIn_.get());
  english_->setLiveGuide(builtIn_.get());
  onDemand_->setLiveGuide(builtIn_.get());
}

}  // namespace tavrin::speech
