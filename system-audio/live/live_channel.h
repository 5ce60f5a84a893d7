// One live channel: the transcription of one audio source (system output or
// microphone) during a live run, with optional translation of every finished
// line, written as events.
//
// runLiveChannel runs on its own thread (the channel task). It sets up the
// recognizer and the translator, then feeds every buffer of its capture
// stream, converted to the recognizer's format, while a results thread of
// its own turns results into segment, translation and error events. When the
// stream ends it finishes the recognizer and returns after the last result
// has been written.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/audio_converter.h"
#include "common/capture_stream.h"
#include "speech-service/speech_service.h"
#include "system-audio/live/events.h"
#include "system-audio/live/ndjson_writer.h"
#include "system-audio/live/translation.h"

namespace tavrin::system_audio {

// The services a live run uses; shared by its channels. The services must be
// usable from several threads (one recognizer / translator per channel).
struct LiveServices {
  speech::SpeechService& speech;
  TranslationService& translation;
  std::string currentLocale;  // the user's locale, for an absent language
  FormatConverterFactory converterFactory = makeResamplingConverter;
};

// What one channel is given.
struct LiveChannelRequest {
  AudioChannel source = AudioChannel::kSystem;
  std::shared_ptr<CaptureStream> buffers;
  std::optional<std::string> language;
  std::optional<std::string> translateTo;
  NDJSONWriter* writer = nullptr;  // the run's writer; outlives the channel
  LiveTiming* timing = nullptr;    // the run's timer, or none
  bool emitStatus = false;         // whether this channel writes the status event
};

// The transcriber set-up of a channel: the supported locale it uses.
struct LiveTranscriber {
  std::string locale;
};

// Checks that speech is available, finds the supported locale equivalent to
// the requested one and installs its assets, waiting for their download
// while `keepWaiting` says so. Throws SystemAudioError::speechUnavailable /
// unsupportedLocale, or the service's error when assets cannot be installed
// (the download was ended included). Writes nothing.
LiveTranscriber makeLiveTranscriber(
    const std::optional<std::string>& language, const LiveServices& services,
    const speech::KeepWaiting& keepWaiting = [] { return true; });

// Decides translation for a channel and, when `emitStatus`, writes its one
// status event ("disabled", "sameLanguage", "installed", "needsDownload",
// "unsupported"). Returns a translator only for an installed pair; nothing is
// downloaded. With `speech`, the recognizers of `sourceLocale` may translate
// into English themselves (planTranslation()); the translator then says
// fromSpokenEnglish() and the channel asks its recognizer for that English.
std::unique_ptr<Translator> makeTranslator(const std::string& sourceLocale,
                                           const std::optional<std::string>& targetLanguage, NDJSONWriter& writer,
                                           bool emitStatus, TranslationService& service,
                                           speech::SpeechService* speech = nullptr);

// Runs one channel until its stream ends and every result is written.
// Throws when set-up fails (after cancelling the stream, so that nothing
// piles up on it) or when the recognizer cannot finish. A download of the
// locale's assets ends when the stream ends (the capture was stopped): the
// channel then fails, having written nothing.
void runLiveChannel(const LiveChannelRequest& request, const LiveServices& services);

// Result times in seconds to event milliseconds: start = max(0, s) (NaN: 0),
// end = max(start, e) (NaN: start), each × 1000 truncated toward zero and
// saturated at the largest value.
struct SegmentTimes {
  uint64_t startMs;
  uint64_t endMs;
  double startSeconds;
  double endSeconds;
};
SegmentTimes segmentTimes(double start, double end);

// Whether `text` holds nothing but Unicode white space and line breaks.
bool isBlank(const std::string& text);

}  // namespace tavrin::system_audio
