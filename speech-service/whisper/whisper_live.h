// Live recognition on the Whisper engine: one utterance at a time.
//
// An utterance's final result is Whisper's text for the utterance's audio,
// decoded with the engine's context sized to the audio plus a margin
// (whisperUtterance), not padded to the model's 30 s window. Where the
// utterances come from:
//   - a guide: another live recognizer (PocketSphinx for English) whose
//     final results mark the utterances; each final is replaced by
//     Whisper's text for the audio of the guide's time range (its times
//     stay). The guide's first volatile of an utterance opens it; the
//     volatiles are Whisper's text of the open utterance, decoded as below
//     (the first after kFirstVolatileSeconds of it), and the guide's own
//     are passed on only while the engine falls behind (it did not take the
//     last one);
//   - otherwise an energy segmenter (SpeechSegmenter), and the volatile
//     results are Whisper's text for the open utterance, decoded again
//     after every kVolatilePaceSeconds of new audio when the engine is idle
//     and, at the pace of the decodings so far, would take under half that
//     pace: none while the machine does not keep up.
//
// Every recognizer of one model and language shares one WhisperLiveEngine:
// one loaded model and one decoding thread. Finals are decoded in the order
// they were asked for, before anything else; then the English of finals
// whose recognizer translates (the same audio again, with the translate
// task), in order; a volatile is only taken while nothing else waits. Results come out of each recognizer in order (the
// volatiles of an utterance, then its final); a volatile that a newer
// result has overtaken before it was read is skipped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "speech-service/whisper/whisper_service.h"

namespace tavrin::speech {

constexpr double kVolatilePaceSeconds = 1.0;
// After a guide's start of an utterance, the first re-decode's pace.
constexpr double kFirstVolatileSeconds = 0.5;

// What the engine is given for one utterance: the samples, with silence
// appended up to the engine's shortest input (just over 1 s), and the
// context size for them.
struct WhisperUtterance {
  std::vector<float> samples;
  WhisperDecodeSettings settings;
};
WhisperUtterance whisperUtterance(std::vector<float> samples, std::string prompt);

// The text of an utterance's segments: joined, without the white space at
// either end that the engine's tokens carry.
std::string utteranceText(const std::vector<WhisperSegment>& segments);

// Cuts 16 kHz mono audio into utterances by loudness against a tracked
// noise floor, in 10 ms frames. An utterance starts at the first of 5 loud
// frames within 8 and ends after 30 quiet frames (0.3 s), or when it
// reaches kMaxSeconds. Positions are in samples fed.
class SpeechSegmenter {
 public:
  static constexpr double kMaxSeconds = 28;
  struct Event {
    bool start = false;  // true: an utterance starts at `at`; false: it ended at `at`
    uint64_t at = 0;
  };
  // Events for `n` more samples, in order.
  std::vector<Event> feed(const float* samples, size_t n);
  bool inUtterance() const { return inUtterance_; }

 private:
  void frame(const float* samples, std::vector<Event>& events);

  std::vector<float> partial_;
  uint64_t frames_ = 0;
  double floor_ = -60;
  uint32_t recent_ = 0;  // loudness of the last 8 frames, one bit each
  int quiet_ = 0;
  bool inUtterance_ = false;
  uint64_t start_ = 0;
};

// The results of one recognizer, in order: for each utterance its
// volatiles, then its final once decoded. Filled by the engine's thread and
// the recognizer's; read by the recognizer's reader.
class LiveResults {
 public:
  // A volatile of `utterance`, unless that utterance has been closed or
  // the results have ended.
  void addVolatile(uint64_t utterance, RecognitionResult result);
  // Every final closed from now on carries an English still to come.
  void translateFinals();
  // Closes the open utterance with a final whose text is still to come;
  // returns the utterance's number.
  uint64_t close(double start, double end);
  // Returns the final's English to fill in, if it has one.
  std::shared_ptr<EnglishOfFinal> deliverFinal(uint64_t utterance, std::string text);
  // The sequence fails (after the results ready before it).
  void fail(const std::string& message);
  // No utterance comes after those closed.
  void end();
  uint64_t open();
  // Blocks for the next result; a volatile overtaken by a later ready
  // result is skipped. std::nullopt at the end; throws SpeechServiceError
  // once on failure.
  std::optional<RecognitionResult> next();

 private:
  struct Slot {
    RecognitionResult result;
    uint64_t utterance = 0;
    bool ready = false;
  };

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Slot> slots_;
  uint64_t open_ = 0;
  std::optional<std::string> failure_;
  bool ended_ = false;
  bool failed_ = false;
  bool translating_ = false;
};

// One model's decoding thread, shared by the recognizers of a live run.
class WhisperLiveEngine {
 public:
  using Clock = std::function<double()>;  // monotonic seconds
  // `translates`: the model can translate this language into English.
  WhisperLiveEngine(std::unique_ptr<WhisperWindowDecoder> decoder, Clock clock, bool translates = false);
  ~WhisperLiveEngine();  // waits for the decoding in progress
  WhisperLiveEngine(const WhisperLiveEngine&) = delete;
  WhisperLiveEngine& operator=(const WhisperLiveEngine&) = delete;

  // Queues the final of `utterance`; decoded in turn.
  void submitFinal(std::shared_ptr<LiveResults> results, uint64_t utterance, WhisperUtterance audio);
  // Whether nothing is decoding or queued.
  bool idle();
  bool translates() const { return translates_; }
  // How long decoding `samples` samples is expected to take, from the
  // decodings so far (0 before the first).
  double expectedSeconds(size_t samples);
  // Takes a volatile (of `times`, whose text the engine fills in) only when
  // idle; false when it was not taken.
  bool offerVolatile(std::shared_ptr<LiveResults> results, uint64_t utterance, WhisperUtterance audio,
                     RecognitionResult times);

 private:
  struct Job {
    std::shared_ptr<LiveResults> results;
    uint64_t utterance = 0;
    bool isFinal = false;
    WhisperUtterance audio;
    RecognitionResult times;                            // a volatile's
    std::shared_ptr<EnglishOfFinal> english = nullptr;  // a translation's
  };
  void run();

  std::unique_ptr<WhisperWindowDecoder> decoder_;
  Clock clock_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> finals_;
  std::deque<Job> translations_;
  std::optional<Job> volatile_;
  bool busy_ = false;
  double secondsPerSample_ = 0;  // of recent decodings, smoothed
  bool stopping_ = false;
  const bool translates_;
  std::thread thread_;
};

class WhisperLiveRecognizer final : public Recognizer {
 public:
  // `guide` may be null (the energy segmenter then finds the utterances).
  WhisperLiveRecognizer(std::shared_ptr<WhisperLiveEngine> engine, std::unique_ptr<Recognizer> guide);
  ~WhisperLiveRecognizer() override;

  void setContextualStrings(const std::vector<std::string>& phrases) override;
  void setSourceName(const std::string& source) override;
  bool translateFinalsToEnglish() override;
  void acceptWaveform(const PcmBuffer& buffer) override;
  void inputFinished() override;
  std::optional<RecognitionResult> nextResult() override;

 private:
  void segment(const float* samples, size_t n);
  // With a guide: Whisper's text of the guide's open utterance so far, at
  // a steady pace, when the engine keeps up.
  void offerGuidedVolatile();
  void closeUtterance(uint64_t end);
  // The guide's results, on a thread of their own.
  void followGuide();
  // Audio fed between two positions (samples), as far as it is still kept.
  std::vector<float> audioBetween(uint64_t from, uint64_t to);

  std::shared_ptr<WhisperLiveEngine> engine_;
  std::unique_ptr<Recognizer> guide_;
  std::shared_ptr<LiveResults> results_;
  std::string prompt_;
  bool finished_ = false;

  std::mutex audioMutex_;  // the guide's thread reads the audio
  std::deque<float> audio_;
  uint64_t audioStart_ = 0;  // samples fed before audio_'s first
  uint64_t fed_ = 0;

  SpeechSegmenter segmenter_;
  std::optional<uint64_t> utteranceStart_;  // of its audio, the lead included
  double startSeconds_ = 0;                 // of its speech
  // The position of the last volatile (or of the utterance's start); with a
  // guide, guarded by audioMutex_ like the two below.
  uint64_t lastVolatileAt_ = 0;
  std::optional<uint64_t> guideStart_;  // the guide's open utterance, from its first volatile
  bool whisperBehind_ = false;          // the engine did not take the last volatile
  std::thread guideThread_;
};

}  // namespace tavrin::speech
