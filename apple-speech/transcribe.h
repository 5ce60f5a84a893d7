// `transcribe`: a raw sample file becomes a duration line, a segment line
// for every final result as the recognizer finishes it, and a result line
// with the whole text, the segments and the detected language.
//
// Threads: the command's flow feeds the recognizer; a results consumer
// thread reads its results, stores each final one in the ResultCollector and
// writes its segment line. After the input is finished the result sequence
// ends, and the flow waits for the consumer to drain it before reading the
// collector and writing the result line: every finished segment is written,
// and the result line comes last.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "apple-speech/arguments.h"
#include "apple-speech/language_detection.h"
#include "apple-speech/speech_output.h"
#include "speech-service/speech_service.h"

namespace tavrin::apple_speech {

struct TranscriptSegment {
  uint64_t startMs = 0;
  uint64_t endMs = 0;
  std::string text;
  std::optional<double> confidence;  // never set by transcribe
  void encode(JsonBuilder& json) const;
};

// The segments collected so far. Thread-safe: the consumer appends while
// the command's flow may read.
class ResultCollector {
 public:
  // Stores the segment made from a final result and returns it. Times are
  // clamped: start ≥ 0 (not a number or infinite: 0), end ≥ start (not a
  // number or infinite: start), milliseconds cut toward zero and capped at
  // the largest 64-bit count.
  TranscriptSegment append(const speech::RecognitionResult& result);
  std::vector<TranscriptSegment> segments() const;

 private:
  mutable std::mutex mutex_;
  std::vector<TranscriptSegment> values_;
};

// What transcribe needs from the system.
struct TranscribeContext {
  speech::SpeechService& service;
  SpeechOutput& out;
  LanguageRecognizer& languages;
  std::string currentLocale;  // identifier of the user's locale (en_US)
};

// Resolves the locale: HelperError::unavailable() or unsupportedLocale(...)
// when transcription cannot run for it; the supported locale otherwise.
std::string supportedLocaleFor(const std::optional<std::string>& language, TranscribeContext& context);

void transcribe(const TranscribeArguments& arguments, TranscribeContext& context);

// Chunk length handed to the recognizer at once: 15 s of raw samples.
constexpr uint32_t kChunkFrames = 240000;

}  // namespace tavrin::apple_speech
