#include "system-audio/live/live_channel.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cmath>
#include <limits>
#include <thread>

#include "common/locale.h"
#include "system-audio/base/errors.h"

namespace tavrin::system_audio {

namespace {

uint64_t toMilliseconds(double seconds) {
  const double ms = seconds * 1000;
  // 2^64 as a double; anything at or above it (infinity included) saturates.
  constexpr double kLimit = 18446744073709551616.0;
  if (!(ms > 0)) return 0;
  if (ms >= kLimit) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(ms);
}

// A translator for a pair that was reported installed but could not be
// opened: every line reports the opening failure.
class FailedTranslator final : public Translator {
 public:
  explicit FailedTranslator(std::string description) : description_(std::move(description)) {}
  std::string translate(const std::string&) override { throw TranslationError(description_); }

 private:
  std::string description_;
};

// The results task of one channel. It never fails: a failing result
// sequence becomes one error event and ends the task.
void writeResults(speech::Recognizer& recognizer, const LiveChannelRequest& request, Translator* translator) {
  const std::string source = rawValue(request.source);
  NDJSONWriter& writer = *request.writer;
  int64_t id = 0;
  for (;;) {
    std::optional<speech::RecognitionResult> result;
    try {
      result = recognizer.nextResult();
    } catch (const std::exception& e) {
      writer.emit(LiveErrorEvent{std::string("Transcription failed: ") + e.what()});
      return;
    }
    if (!result) return;
    const SegmentTimes times = segmentTimes(result->start, result->end);
    writer.emit(LiveSegmentEvent{source, id, result->text, result->isFinal, times.startMs, times.endMs});
    if (request.timing) request.timing->log(result->isFinal ? "final" : "volatile", times.endSeconds);
    if (!result->isFinal) continue;
    if (translator && !isBlank(result->text)) {
      try {
        std::string line = result->text;
        if (translator->fromSpokenEnglish()) {
          // Decoded after the final on the engine's thread; later results
          // wait in the recognizer meanwhile.
          if (!result->english) throw TranslationError("The speech engine gave no English for the line.");
          line = result->english->wait();
        }
        writer.emit(LiveTranslationEvent{source, id, translator->translate(line)});
      } catch (const std::exception& e) {
        writer.emit(LiveErrorEvent{std::string("Translation failed: ") + e.what()});
      }
    }
    ++id;
  }
}

}  // namespace

SegmentTimes segmentTimes(double start, double end) {
  const double s = std::isnan(start) ? 0 : std::max(0.0, start);
  const double e = std::isnan(end) ? s : std::max(s, end);
  return SegmentTimes{toMilliseconds(s), toMilliseconds(e), s, e};
}

bool isBlank(const std::string& text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) return false;  // ill-formed bytes are content
  }
  return true;
}

LiveTranscriber makeLiveTranscriber(const std::optional<std::string>& language, const LiveServices& services,
                                    const speech::KeepWaiting& keepWaiting) {
  if (!services.speech.isAvailable()) throw SystemAudioError::speechUnavailable();
  const std::string requested = requestedLocale(language, services.currentLocale);
  std::optional<std::string> supported = services.speech.supportedLocale(requested);
  if (!supported) throw SystemAudioError::unsupportedLocale(requested);
  if (services.speech.assetStatus(*supported) != speech::AssetStatus::kInstalled) {
    services.speech.installAssets(*supported, keepWaiting);
  }
  return LiveTranscriber{*supported};
}

std::unique_ptr<Translator> makeTranslator(const std::string& sourceLocale,
                                           const std::optional<std::string>& targetLanguage, NDJSONWriter& writer,
                                           bool emitStatus, TranslationService& service,
                                           speech::SpeechService* speech) {
  auto writeStatus = [&](const std::string& name) {
    if (emitStatus) writer.emit(LiveStatusEvent{name, sourceLocale, targetLanguage});
  };
  const std::optional<std::string> from = languageCode(sourceLocale);
  if (!targetLanguage) {
    writeStatus("disabled");
    return nullptr;
  }
  const std::optional<std::string> to = languageCode(*targetLanguage);
  if (from == to) {  // both absent too: neither names a language
    writeStatus("sameLanguage");
    return nullptr;
  }
  const speech::AssetStatus spoken =
      speech ? speech->englishTranslation(sourceLocale) : speech::AssetStatus::kUnsupported;
  const TranslationPlan plan = planTranslation(from, to, spoken, service);
  writeStatus(translationStatusName(plan.availability));
  if (plan.availability != TranslationAvailability::kInstalled) return nullptr;
  try {
    if (!plan.throughSpeech) return service.open(*from, *to);
    return std::make_unique<SpokenEnglishTranslator>(*to == "en" ? nullptr : service.open("en", *to));
  } catch (const std::exception& e) {
    return std::make_unique<FailedTranslator>(e.what());
  }
}

void runLiveChannel(const LiveChannelRequest& request, const LiveServices& services) {
  std::unique_ptr<speech::Recognizer> recognizer;
  std::unique_ptr<Translator> translator;
  std::optional<PcmFormat> format;
  try {
    std::optional<LiveTranscriber> transcriber;
    try {
      transcriber = makeLiveTranscriber(request.language, services, [&] { return !request.buffers->isFinished(); });
    } catch (const speech::SpeechServiceError& e) {
      // The locale's model cannot be had (downloads off, no network, a bad
      // download): the user learns why, in the words `transcribe` uses. A
      // download cut short by the stop is no news.
      if (!request.buffers->isFinished()) request.writer->emit(LiveErrorEvent{e.what()});
      throw;
    }
    translator = makeTranslator(transcriber->locale, request.translateTo, *request.writer, request.emitStatus,
                                services.translation, &services.speech);
    format = services.speech.inputFormat(transcriber->locale);
    if (!format) throw SystemAudioError::incompatibleAudioFormat();
    recognizer = services.speech.makeRecognizer(transcriber->locale, speech::ReportingMode::kLive);
    // A better model that could not be used (the engine that can serve the
    // locale does instead): said once per run, by whichever channel asks
    // first.
    if (const std::optional<std::string> notice = services.speech.fallbackNotice(transcriber->locale)) {
      request.writer->emit(LiveErrorEvent{*notice});
    }
    // Each channel hears its own sound; the engine may start from what it
    // learnt about it in the last run.
    recognizer->setSourceName(rawValue(request.source));
    // The status said installed: the engine can. Were it not so, each line
    // reports that it has no English.
    if (translator && translator->fromSpokenEnglish()) recognizer->translateFinalsToEnglish();
  } catch (...) {
    // Nobody will read this stream: drop what it holds and what comes.
    request.buffers->cancel();
    throw;
  }

  std::thread results([&] { writeResults(*recognizer, request, translator.get()); });
  // The results task reads the recognizer, the translator and the request:
  // it is joined on every way out, after the recognizer has been told that
  // input ended (which ends its result sequence).
  bool inputEnded = false;
  try {
    LiveAudioConverter converter(*format, services.converterFactory);
    if (request.timing) request.timing->begin();
    bool feeding = true;
    while (std::optional<PcmBufferPtr> buffer = request.buffers->next()) {
      if (!feeding) continue;  // keep draining so the capture's stream empties
      // Damage is silenced before the resampler can smear it and again
      // after it; the buffer is this channel's own copy.
      if (*buffer) silenceDamagedSamples(**buffer);
      PcmBufferPtr converted = converter.convert(*buffer);
      if (!converted) continue;
      silenceDamagedSamples(*converted);
      try {
        recognizer->acceptWaveform(*converted);
      } catch (const speech::SpeechServiceError&) {
        // The engine failed; its result sequence reports it. The stream is
        // still read to its end.
        feeding = false;
      }
    }
    inputEnded = true;
    recognizer->inputFinished();
  } catch (...) {
    if (!inputEnded) {
      request.buffers->cancel();
      try {
        recognizer->inputFinished();
      } catch (...) {
        // The failure that brought us here is the one to report.
      }
    }
    results.join();
    throw;
  }
  results.join();
}

}  // namespace tavrin::system_audio
