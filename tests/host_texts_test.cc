// Every text the host matches byte for byte, compared whole: the notes instructions and prompts, and the error and
// reason sentences of the three helpers. Other tests name these texts through the product's own functions.
#include <gtest/gtest.h>

#include "apple-llm/app.h"
#include "apple-llm/prompts.h"
#include "apple-speech/helper_error.h"
#include "apple-speech/media_decoder.h"
#include "system-audio/base/errors.h"

namespace tavrin {
namespace {

const std::string kSame = "Write the output in the same language as the transcript.";
const std::string kJapanese =
    "IMPORTANT: Write EVERY field of the output \u2014 every label, note, and sentence \u2014 in Japanese. Do not "
    "output any English (or any other language); translate if the source is in another language.";
const std::string kExtract =
    "You are a notes assistant. Extract structured notes from ONE section of a longer transcript: the substantive "
    "topics with their concrete points (facts, figures, names, dates, opinions, reasoning), plus any decisions and "
    "action items. Lines are prefixed with a speaker label (\"You\" = the user, \"Others\"). Prefer fewer, denser "
    "topics over many vague ones. Summarize in your own words; never use a bare speaker label as a topic. Do not copy "
    "long lines verbatim, but you may keep short exact phrases for names, numbers, or terms when accuracy needs it. "
    "Ignore intros, outros, greetings, self-introductions, the source's name, jingles, sponsor reads, and social-media "
    "plugs; if a section is only these, return no topics. The transcript comes from automatic speech recognition and "
    "may contain errors. Handle words and numbers differently: - Words (homophones, names, terms): you MAY silently "
    "fix an obvious mis-transcription, but ONLY when the surrounding context makes the intended word unambiguous. - "
    "Numbers: never reconstruct or guess a figure. If a number is garbled, implausible, or inconsistent with its "
    "context, omit it or describe it qualitatively (e.g. \"a large increase\") instead of stating a precise value you "
    "are unsure of. Stay faithful: report only what is actually said; do not invent events or conclusions. Do not "
    "confuse who said what \u2014 never attribute one person's statements to another. Keep buyer/seller, "
    "purchase/sale, before/after, increase/decrease, and cause/effect distinctions as stated.";
const std::string kSynthesize =
    "You are a notes assistant. From the ordered notes (topics, decisions, action items) of a whole conversation, "
    "produce: - title: a specific phrase naming the CORE subject actually discussed. Describe WHAT was discussed, not "
    "WHO discussed it; do not use or start with the source's name or a person's name. - summary: 3-5 sentences on "
    "the main substance, weighting the topics discussed most. Use only what is in the notes; never invent facts. If a "
    "detail looks uncertain or garbled (especially a number or name), do not present it as a confirmed fact \u2014 "
    "omit it or keep it qualitative.";

TEST(HostTexts, EveryTextWhole) {
  using R = llm::UnavailableReason;
  using Llm = llm::HelperError;
  using Speech = apple_speech::HelperError;
  using Audio = system_audio::SystemAudioError;
  const std::string input = "  You: a/b\n\nOthers: \"c\" ";
  const std::pair<std::string, std::string> rows[] = {
      // tavrin-apple-llm: instructions are clause, body, clause; prompts head, input as given, clause.
      {llm::extractInstructions(std::nullopt), kSame + " " + kExtract + " " + kSame},
      {llm::synthesizeInstructions("ja"), kJapanese + " " + kSynthesize + " " + kJapanese},
      {llm::buildPrompt(llm::extractPass(), input, ""),
       "Extract the notes from this transcript section.\n\n" + input + "\n\n" + kSame},
      {llm::buildPrompt(llm::synthesizePass(), input, "ja_JP"),
       "These are the notes extracted from the conversation, in order. Produce a title and overall summary.\n\n" +
           input + "\n\n" + kJapanese},
      {Llm::invalidArguments().what(), "Invalid arguments."},
      {Llm::unsupportedOS().what(), "Apple Foundation Models requires macOS 26.0 or later."},
      {Llm::fileNotFound("/a b.txt").what(), "Transcript file not found: /a b.txt"},
      {Llm::emptyTranscript().what(), "Transcript is empty."},
      {Llm::tooLong().what(), "Transcript is too long."},
      {llm::describe(R::kDeviceNotEligible), "This device does not support Apple Intelligence."},
      {llm::describe(R::kAppleIntelligenceNotEnabled),
       "Enable Apple Intelligence in System Settings to generate summaries."},
      {llm::describe(R::kModelNotReady), "The on-device model is still downloading. Try again shortly."},
      {llm::describe(R::kOther), "Apple Intelligence is unavailable on this device."},
      // tavrin-apple-speech, with FFmpeg's codes as sentences.
      {Speech::unsupportedLocale("xx_YY").what(), "Apple SpeechTranscriber does not support locale xx_YY."},
      {Speech::decodeFailed("file not found").what(), "Could not decode the media file: file not found"},
      {Speech::unsupportedOS().what(), "Apple SpeechAnalyzer requires macOS 26.0 or later."},
      {Speech::unavailable().what(), "Apple SpeechTranscriber is not available on this device."},
      {Speech::invalidArguments().what(), "Invalid helper arguments."},
      {Speech::invalidAudio().what(), "Invalid audio input."},
      {Speech::incompatibleAudioFormat().what(), "No compatible SpeechAnalyzer audio format is installed."},
      {apple_speech::ffmpegErrorText(-541478725), "The file ends before its audio does"},  // AVERROR_EOF
      {apple_speech::ffmpegErrorText(-16976906), "The audio data is damaged or of an unsupported kind"},
      {apple_speech::ffmpegErrorText(-1094995529), "Invalid data found when processing input"},
      {apple_speech::ffmpegErrorText(-2), "No such file or directory"},
      // tavrin-system-audio.
      {Audio::invalidCommand("Status").what(), "Unknown system audio command: Status."},
      {Audio::outputUnavailable("/a b").what(), "Could not open system audio output file: /a b."},
      {Audio::unsupportedLocale("xx").what(), "Apple SpeechTranscriber does not support locale xx."},
      {Audio::streamStopped("gone").what(), "System audio stream stopped: gone."},
      {Audio::missingOutputPath().what(), "Missing --output path for system audio recording."},
      {Audio::missingTargetLanguage().what(), "Missing --target language for translation status."},
      {Audio::noDisplay().what(), "No display is available for ScreenCaptureKit content filtering."},
      {Audio::liveUnsupported().what(), "Live subtitles require macOS 26.0 or later."},
      {Audio::speechUnavailable().what(), "Apple SpeechTranscriber is not available on this device."},
      {Audio::incompatibleAudioFormat().what(), "No compatible SpeechAnalyzer audio format is installed."},
      {system_audio::CoreAudioError("CreateProcessTap", -6).what(), "CoreAudio error (CreateProcessTap): -6"}};
  for (const auto& [text, whole] : rows) EXPECT_EQ(text, whole);
}

}  // namespace
}  // namespace tavrin
