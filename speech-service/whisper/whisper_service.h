// The Whisper engine (whisper.cpp) behind the speech service, for users who
// install a Whisper model: file transcription here, live recognition in
// whisper_live.h.
//
// Models: findWhisperModels() (whisper_model.h). An English-only model
// serves every English locale, a multilingual one every language the engine
// knows; the first model in search order that serves a locale is its model.
// Locale identifiers: the requested language, with its region when one was
// given (en_GB, ja), canonicalised with ICU.
//
// Recognition: only the stretches of audio that hold speech are decoded
// (SpeechStretchDetector: silence and steady noise never reach the engine,
// where they cost a whole window's work and come back as invented words). A
// stretch starts kStretchLead before its first loud frames and ends
// kStretchTail after its last one, once kStretchGap has passed without a
// loud frame. Stretches are packed one after the other, the silence between
// them cut short, into windows of at most 30 s (the model's input length),
// so a window's work is spent on speech: a full window is decoded as soon
// as it is complete, the rest when the input ends (with silence appended
// when it is shorter than the engine's shortest input), encoded over its
// own length (whisperAudioContext) rather than 30 s. The last segment of a
// full window, when it starts in the window's second half, is decoded again
// at the head of the next window so a word at the cut is not split.
// Segments become final results at once, with the engine's times mapped
// back to the input across the silence left out, so they stay true to the
// audio. The recognizer holds one window of samples and the engine's fixed
// state, however long the input. Decoding happens on the feeding thread
// (acceptWaveform, inputFinished); results are queued for the reading
// thread.
//
// Contextual strings become the engine's initial prompt (joined with ", "),
// given to every window.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "speech-service/speech_service.h"
#include "speech-service/whisper/whisper_model.h"

namespace tavrin::speech {

// One segment the engine found in a window: times in 10 ms ticks from the
// window's first sample.
struct WhisperSegment {
  int64_t t0 = 0;
  int64_t t1 = 0;
  std::string text;
};

// How one window is decoded (greedy in every case).
struct WhisperDecodeSettings {
  int audioContext = 0;  // the encoder's context in 20 ms frames; 0: the model's whole 30 s
  bool fallback = true;  // decode again at higher temperatures when the text looks wrong
  // Times within the window (one segment without them: the window is
  // decoded once, with no timestamp tokens to spend).
  bool timestamps = true;
  std::string prompt;  // the initial prompt; empty: none
  // The translate task: the text in English, whatever language is spoken
  // (multilingual models only).
  bool translate = false;
};

// The initial prompt for contextual strings: the non-empty phrases joined
// with ", "; empty when there are none.
std::string whisperPrompt(const std::vector<std::string>& phrases);

// Decodes windows of 16 kHz mono samples with one loaded model.
class WhisperWindowDecoder {
 public:
  virtual ~WhisperWindowDecoder() = default;
  // The segments of `n` samples (at most kWhisperWindowFrames), in order.
  // Throws SpeechServiceError when the engine fails.
  virtual std::vector<WhisperSegment> decode(const float* samples, size_t n, const WhisperDecodeSettings& settings) = 0;
};

// What the service needs of whisper.cpp; the real one loads the library.
class WhisperEngine {
 public:
  virtual ~WhisperEngine() = default;
  // Whether the engine runs here (a CPU with its instructions, a library
  // that loads). Asked before anything else.
  virtual bool usable() = 0;
  // The engine's language codes (en, de, yue, ...), in its order.
  virtual std::vector<std::string> languages() = 0;
  // A decoder over the model file at `path` for `language` (an engine
  // code). Throws SpeechServiceError when the engine cannot load it.
  // Flash attention is faster over whole windows, but when the context size
  // shrinks between decodings it lets what a longer one left behind change
  // a shorter one's text (whisper.cpp 1.9.1): a decoder with it decodes such
  // a window on a fresh engine state (made in place of the old one), so
  // decoders whose context changes at every decoding go without it.
  virtual std::unique_ptr<WhisperWindowDecoder> load(const std::string& path, const std::string& language,
                                                     bool flashAttention) = 0;
};

// whisper.cpp through WhisperLibrary, loaded on first use; decoders use as
// many threads as the process may run on.
std::unique_ptr<WhisperEngine> makeWhisperLibraryEngine();

constexpr size_t kWhisperWindowFrames = 30 * 16000;

// Tells speech from silence and steady noise in 10 ms frames of 16 kHz
// audio. A frame is loud when it stands 12 dB above the quietest frame of
// the last 2 s and above -50 dBFS; speech is under way once 3 of the last 8
// frames were loud. Steady noise, however loud, never stands above its own
// quietest frames; speech dips between its syllables.
class SpeechStretchDetector {
 public:
  static constexpr size_t kFrameSamples = 160;
  // Takes the next frame; whether it is loud.
  bool frame(const float* samples);
  // Whether 3 of the last 8 frames were loud.
  bool speaking() const;

 private:
  std::deque<std::pair<uint64_t, double>> minima_;  // (frame, dB): rising, the quietest first
  uint64_t frames_ = 0;
  uint32_t recent_ = 0;  // loudness of the last 8 frames, one bit each
};

constexpr size_t kStretchLead = 4800;     // 0.3 s
constexpr size_t kStretchTail = 4800;     // 0.3 s
constexpr size_t kStretchGap = 16000;     // 1 s
constexpr size_t kShortestInput = 17600;  // 1.1 s: whisper.cpp decodes nothing under 1 s of input

// The context margin, in encoder frames (20 ms each), beyond the audio
// (bench_whisper_live measures it).
constexpr int kAudioContextMargin = 32;

// The encoder's context for `samples` samples: the frames that hold them
// and the margin, at most the model's 30 s. The encoder's work grows with
// it; a window shorter than 30 s costs its share of a whole one.
int whisperAudioContext(size_t samples);

// Windows the fed audio and turns each window's segments into final
// results, as described above.
class WhisperRecognizer final : public Recognizer {
 public:
  explicit WhisperRecognizer(std::unique_ptr<WhisperWindowDecoder> decoder);

  void setContextualStrings(const std::vector<std::string>& phrases) override;
  void acceptWaveform(const PcmBuffer& buffer) override;
  void inputFinished() override;
  std::optional<RecognitionResult> nextResult() override;

 private:
  // Takes one 10 ms frame of audio.
  void frame(const float* samples);
  // Drops the silence after the stretches the window holds, all but its
  // last `keep` samples.
  void dropSilence(size_t keep);
  // The position in the input of position `position` of the window.
  uint64_t sourceOf(size_t position) const;
  // Decodes the first `n` samples of the window; keeps the samples from a
  // held-back last segment on (only when not `last`).
  void decodeWindow(bool last, size_t n);
  void fail(const std::string& message);
  void push(RecognitionResult result);

  std::unique_ptr<WhisperWindowDecoder> decoder_;
  WhisperDecodeSettings settings_;
  // The stretches of speech not decoded yet, one after the other with the
  // silence between them cut short, then what came since.
  std::vector<float> window_;
  // Where the window's pieces come from: (window position, input position)
  // of each piece's first sample, in order; the first at 0.
  std::vector<std::pair<size_t, uint64_t>> pieces_{{0, 0}};
  size_t committed_ = 0;        // the end of the window's last closed stretch
  std::vector<float> partial_;  // the start of the next 10 ms frame
  SpeechStretchDetector detector_;
  uint64_t fed_ = 0;        // frames fed, partial_ excepted
  bool inStretch_ = false;  // the window holds speech not yet decoded
  uint64_t lastLoud_ = 0;   // the end of the stretch's last loud frame
  double lastStart_ = 0;    // seconds; segment starts never go back
  bool finished_ = false;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<RecognitionResult> queue_;
  bool ended_ = false;
  std::optional<std::string> failure_;
};

// A Whisper model that is not installed yet and can be downloaded.
class WhisperDownload {
 public:
  virtual ~WhisperDownload() = default;
  // Where the model will be.
  virtual std::string path() const = 0;
  // Whether it serves every language the engine knows (else English only).
  virtual bool multilingual() const = 0;
  // Whether some process is downloading it now.
  virtual bool inProgress() = 0;
  // Downloads and installs it for `locale` (or waits for the process that
  // does); returns once it is in place. Throws SpeechServiceError with the
  // line to report (downloads turned off, a failed download, `keepWaiting`
  // turned false).
  virtual void install(const std::string& locale, const KeepWaiting& keepWaiting) = 0;
};

class WhisperLiveEngine;

// Thread-safe. Live recognizers (ReportingMode::kLive, whisper_live.h) of
// one model and language share one loaded model while any of them lives;
// those of a locale that the live guide has installed follow its
// utterances.
class WhisperSpeechService final : public SpeechService {
 public:
  WhisperSpeechService(std::vector<WhisperModel> models, std::unique_ptr<WhisperEngine> engine);
  // The models under the process's data directories, with whisper.cpp.
  static std::unique_ptr<WhisperSpeechService> fromProcess();
  // A service of the one model `download` fetches: every language it
  // knows is "supported" ("downloading" while a process fetches it) until
  // the file is there; installAssets() downloads it.
  WhisperSpeechService(std::unique_ptr<WhisperDownload> download, std::unique_ptr<WhisperEngine> engine);
  ~WhisperSpeechService() override;

  // The service whose live recognizers find the utterances (and give the
  // volatile results) of the locales it has installed.
  void setLiveGuide(SpeechService* guide) { guide_ = guide; }

  bool isAvailable() override;
  std::optional<std::string> supportedLocale(const std::string& localeIdentifier) override;
  std::vector<std::string> supportedLocales() override;
  // Installed when the locale's model file is whole; a damaged one leaves
  // the locale "supported", and installAssets() and makeRecognizer() throw
  // a SpeechServiceError naming the file and the damage: it never reaches
  // the engine.
  AssetStatus assetStatus(const std::string& localeIdentifier) override;
  void installAssets(const std::string& localeIdentifier, const KeepWaiting& keepWaiting) override;
  std::optional<PcmFormat> inputFormat(const std::string& localeIdentifier) override;
  std::unique_ptr<Recognizer> makeRecognizer(const std::string& localeIdentifier, ReportingMode mode) override;
  // A multilingual model serving a language other than English translates;
  // its status is the locale's asset status.
  AssetStatus englishTranslation(const std::string& localeIdentifier) override;

 private:
  // The model serving `localeIdentifier` and the engine's code of its
  // language, or nothing.
  std::optional<std::pair<WhisperModel, std::string>> route(const std::string& localeIdentifier);
  bool usable();
  const std::vector<std::string>& languages();
  // The line that reports the model's damage; nothing when it is whole.
  // Read once per model and run.
  std::optional<std::string> damage(const WhisperModel& model);

  std::vector<WhisperModel> models_;
  std::unique_ptr<WhisperEngine> engine_;
  std::optional<bool> usable_;
  std::optional<std::vector<std::string>> languages_;
  std::map<std::string, std::optional<std::string>> damage_;
  std::unique_ptr<WhisperDownload> download_;
  SpeechService* guide_ = nullptr;
  std::map<std::string, std::weak_ptr<WhisperLiveEngine>> liveEngines_;  // by model path and language
  std::mutex mutex_;                                                     // guards all of the above
};

}  // namespace tavrin::speech
