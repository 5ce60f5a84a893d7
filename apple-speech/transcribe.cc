#include "apple-speech/transcribe.h"

#include <cmath>
#include <limits>
#include <thread>

#include "apple-speech/helper_error.h"
#include "apple-speech/pcm_file.h"
#include "common/json.h"
#include "common/locale.h"
#include "common/text.h"

namespace tavrin::apple_speech {
namespace {

uint64_t toMilliseconds(double seconds) {
  const double ms = std::trunc(seconds * 1000.0);
  if (!(ms < 18446744073709551616.0)) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(ms);
}

// Reads the recognizer's results on its own thread. The owner either waits
// for the sequence to end (drain) or, when the command fails, abandons it:
// the sequence is ended and the thread joined before the error leaves, so
// every result the recognizer gave before the failure has its line, and no
// line follows the failure.
class ResultsConsumer {
 public:
  ResultsConsumer(speech::Recognizer& recognizer, ResultCollector& collector, SpeechOutput& out)
      : recognizer_(recognizer), collector_(collector), out_(out), thread_([this] { run(); }) {}

  ~ResultsConsumer() {
    if (thread_.joinable()) abandon();
  }

  // Waits until the result sequence has ended (after the input finished).
  void drain() { thread_.join(); }

  // Ends the sequence so the thread can finish, and waits for it.
  void abandon() {
    try {
      recognizer_.inputFinished();
    } catch (...) {
      // The sequence ends on a failure too; its error is not the command's.
    }
    thread_.join();
  }

 private:
  void run() {
    try {
      while (std::optional<speech::RecognitionResult> result = recognizer_.nextResult()) {
        if (!result->isFinal) continue;
        const TranscriptSegment segment = collector_.append(*result);
        JsonBuilder json = jsonBuilder();
        json.beginObject().field("type", "segment").key("segment");
        segment.encode(json);
        json.endObject();
        try {
          printJSON(out_, json.str());
        } catch (const std::exception&) {
          // A lost segment line does not end the run; the segment is in the
          // collector and in the result line.
        }
      }
    } catch (const std::exception&) {
      // A failing sequence ends the consumer; the command learns of engine
      // failures from its own calls.
    }
  }

  speech::Recognizer& recognizer_;
  ResultCollector& collector_;
  SpeechOutput& out_;
  std::thread thread_;
};

}  // namespace

void TranscriptSegment::encode(JsonBuilder& json) const {
  json.beginObject().field("startMs", startMs).field("endMs", endMs).field("text", text);
  json.optionalField("confidence", confidence);
  json.endObject();
}

TranscriptSegment ResultCollector::append(const speech::RecognitionResult& result) {
  const double start = std::isfinite(result.start) ? std::max(0.0, result.start) : 0.0;
  const double end = std::isfinite(result.end) ? std::max(start, result.end) : start;
  TranscriptSegment segment{toMilliseconds(start), toMilliseconds(end), result.text, std::nullopt};
  std::lock_guard lock(mutex_);
  values_.push_back(segment);
  return segment;
}

std::vector<TranscriptSegment> ResultCollector::segments() const {
  std::lock_guard lock(mutex_);
  return values_;
}

std::string supportedLocaleFor(const std::optional<std::string>& language, TranscribeContext& context) {
  if (!context.service.isAvailable()) throw HelperError::unavailable();
  const std::string requested = requestedLocale(language, context.currentLocale);
  std::optional<std::string> supported = context.service.supportedLocale(requested);
  if (!supported) throw HelperError::unsupportedLocale(requested);
  return *supported;
}

void transcribe(const TranscribeArguments& arguments, TranscribeContext& context) {
  speech::SpeechService& service = context.service;
  const std::string locale = supportedLocaleFor(arguments.language, context);
  // Returns at once when nothing is to be installed; may fetch a better
  // model for a locale that is already served.
  service.installAssets(locale, [] { return true; });
  const std::optional<PcmFormat> analyzerFormat = service.inputFormat(locale);
  if (!analyzerFormat) throw HelperError::incompatibleAudioFormat();

  const PcmFormat fileFormat = rawFileFormat();
  RawSampleReader audio(arguments.path);
  {
    JsonBuilder json = jsonBuilder();
    json.beginObject()
        .field("type", "duration")
        .field("ms", static_cast<int64_t>(static_cast<double>(audio.frames()) * 0.0625))
        .endObject();
    printJSON(context.out, json.str());
  }

  std::unique_ptr<speech::Recognizer> recognizer =
      service.makeRecognizer(locale, speech::ReportingMode::kTranscription);
  if (!arguments.contextualStrings.empty()) recognizer->setContextualStrings(arguments.contextualStrings);

  ResultCollector collector;
  {
    ResultsConsumer consumer(*recognizer, collector, context.out);
    // One chunk of the file in memory at a time: read, convert, feed.
    while (const PcmBufferPtr chunk = audio.next(kChunkFrames, fileFormat)) {
      silenceDamagedSamples(*chunk);
      recognizer->acceptWaveform(*convertIfNeeded(chunk, fileFormat, *analyzerFormat));
    }
    recognizer->inputFinished();
    consumer.drain();
  }  // on any failure above, the consumer is abandoned before the error leaves

  const std::vector<TranscriptSegment> segments = collector.segments();
  std::string joined;
  for (size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) joined.push_back(' ');
    joined += segments[i].text;
  }
  const std::string text(trimUnicodeSpace(sanitizeUtf8(joined)));
  const auto language = detectLanguage(text, context.languages);

  JsonBuilder json = jsonBuilder();
  json.beginObject().field("type", "result").field("text", text).key("segments").beginArray();
  for (const TranscriptSegment& segment : segments) segment.encode(json);
  json.endArray();
  if (language) json.field("detectedLanguage", language->first).field("detectionConfidence", language->second);
  json.endObject();
  printJSON(context.out, json.str());
}

}  // namespace tavrin::apple_speech
