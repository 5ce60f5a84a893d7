// The speech service of this platform: CMU PocketSphinx with the models the
// ModelCatalog finds.
//
// Each recognizer owns one decoder. Decoding happens on the feeding thread,
// inside acceptWaveform(); results are queued for the reading thread. The
// decoder's voice-activity detector cuts the audio into utterances: a final
// result is produced when an utterance ends (after a stretch of silence),
// with the time range of its words. In ReportingMode::kLive a volatile
// result is also produced whenever the partial hypothesis of the running
// utterance changes, and utterances end after a shorter silence.
//
// Feature normalisation: the decoder subtracts a cepstral mean from its
// features (see cepstral_mean.h). It is estimated from loud frames only
// and given to the decoder at the start and after every utterance. In
// ReportingMode::kTranscription the first settings.lookaheadSeconds of
// audio are held back so that the first utterances start from an estimate
// of the audio itself. Live, the estimate starts from the decoder's default
// mean, or for a named source from its previous run's estimate, kept in
// settings.cepstralMeanDirectory when the run heard speech. Live, an
// utterance (up to 30 s) during which the estimate moved far from the mean
// it was decoded with (its source's first speech, typically, after other
// sound such as the residue of echo cancellation set the mean) is decoded
// again, with a mean of its own speech, before its final is sent: that
// final comes later by the time of the second decoding, with the same times.
//
// Contextual strings: the words of the phrases get a second, small language
// model (their unigrams and in-phrase bigrams) interpolated with the main
// model, which raises their weight. A word missing from the pronunciation
// dictionary cannot be recognised: this engine has no way to derive a
// pronunciation for it (no grapheme-to-phoneme model), so such words are
// skipped and the phrase's other words still count; no bigram spans the gap.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "speech-service/models/model_catalog.h"
#include "speech-service/speech_service.h"

namespace tavrin::speech {

// Tunables of the decoder, per reporting mode.
struct PocketSphinxSettings {
  // Silence (in 10 ms frames) that ends an utterance.
  int transcriptionEndSilenceFrames = 40;
  int liveEndSilenceFrames = 25;
  // Live: the most HMMs the search keeps active in a frame (the engine's
  // own cap, 30000, is approached on noisy speech, which then costs up to
  // twice the CPU of clean speech). A real-time budget beside other
  // programs; transcription keeps the engine's cap.
  int liveMaxActiveHmms = 6000;
  // Live: whether the flat-lexicon pass searches each utterance again after
  // the tree search, and the most words the tree search may end in a frame
  // (0: no limit). The second pass costs a quarter of the CPU on clean
  // speech and up to half in noise, and delays each final by its run over
  // the whole utterance, for word error rates that go either way by about a
  // point on clean speech. Transcription keeps the engine's own search.
  bool liveFlatPass = false;
  int liveMaxWordsPerFrame = 10;
  // Live: audio gathered before the decoder runs on it (each run after a
  // sleep starts with the model out of the cache). 80 ms is four
  // system-audio fragments or two microphone ones; results come up to that
  // much later.
  double liveBatchSeconds = 0.08;
  // Weight of the contextual-strings model in the interpolation.
  float contextWeight = 0.1f;
  // Transcription: audio held back before decoding starts, from which the
  // first utterances' cepstral mean is estimated.
  double lookaheadSeconds = 20;
  // Directory where each named audio source's cepstral mean is kept for
  // its next run (see setSourceName); empty: nothing is kept.
  std::string cepstralMeanDirectory;
  // File that remembers the models that loaded (see modelLoads); empty:
  // remember nothing.
  std::string loadedModelsFile;
};

// The decoder options of live recognition under `settings`, as the engine's
// command line spells them (beside the model and the sample rate).
std::vector<std::string> liveDecoderOptions(const PocketSphinxSettings& settings);

// Whether the engine loads `model`. The engine's libraries end the process
// on some damaged files instead of reporting them, so a model is first
// loaded in a child process; one that loaded is remembered in
// settings.loadedModelsFile (by its files' paths, sizes and modification
// times), so the check costs one extra load per model and change.
bool modelLoads(const ModelFiles& model, const PocketSphinxSettings& settings);

class PocketSphinxService final : public SpeechService {
 public:
  explicit PocketSphinxService(ModelCatalog catalog, PocketSphinxSettings settings = {});
  // The service over the process's model directories; loaded models and
  // sources' cepstral means are kept under $XDG_CACHE_HOME/tavrin/speech/
  // (see settingsFromProcess).
  static std::unique_ptr<PocketSphinxService> fromProcess();
  // Settings with the process's cache paths (a relative $XDG_CACHE_HOME is
  // ignored, as for the models).
  static PocketSphinxSettings settingsFromProcess();

  bool isAvailable() override;
  std::optional<std::string> supportedLocale(const std::string& localeIdentifier) override;
  std::vector<std::string> supportedLocales() override;
  AssetStatus assetStatus(const std::string& localeIdentifier) override;
  void installAssets(const std::string& localeIdentifier, const KeepWaiting& keepWaiting) override;
  std::optional<PcmFormat> inputFormat(const std::string& localeIdentifier) override;
  std::unique_ptr<Recognizer> makeRecognizer(const std::string& localeIdentifier, ReportingMode mode) override;

  // The format every PocketSphinx recognizer takes: 16 kHz mono float32.
  static PcmFormat decoderFormat() { return PcmFormat::float32(16000, 1); }

 private:
  ModelCatalog catalog_;
  PocketSphinxSettings settings_;
};

// Makes a recognizer straight from model files (used by the service and by
// the benchmarks that measure the engine alone).
std::unique_ptr<Recognizer> makePocketSphinxRecognizer(const ModelFiles& model, ReportingMode mode,
                                                       const PocketSphinxSettings& settings);

}  // namespace tavrin::speech
