// Argument grammar of tavrin-apple-speech.
#include "apple-speech/arguments.h"

#include <gtest/gtest.h>

#include "apple-speech/helper_error.h"

namespace tavrin::apple_speech {
namespace {

using Strings = std::vector<std::string>;

TEST(FlagValueTest, TakesTheElementAfterTheFirstOccurrence) {
  EXPECT_EQ(flagValue("--x", {"transcribe", "--x", "a", "--x", "b"}), "a");
  EXPECT_EQ(flagValue("--x", {"--x", "transcribe"}), "transcribe");  // the command is searched too
  EXPECT_EQ(flagValue("--x", {"transcribe", "p", "--x"}), std::nullopt);
  EXPECT_EQ(flagValue("--x", {"transcribe", "--X", "a"}), std::nullopt);
  EXPECT_EQ(flagValue("--x", {"transcribe", "--x", "--y"}), "--y");
}

TEST(ContextualStringsTest, CutAtLineFeedsWithoutEmptyPieces) {
  EXPECT_EQ(splitContextualStrings(std::nullopt), Strings{});
  EXPECT_EQ(splitContextualStrings(std::string("one")), Strings{"one"});
  EXPECT_EQ(splitContextualStrings(std::string("\na\n\nb\n")), (Strings{"a", "b"}));
  EXPECT_EQ(splitContextualStrings(std::string("a\r\nb c ")), (Strings{"a\r", "b c "}));
  EXPECT_EQ(splitContextualStrings(std::string("\n\n")), Strings{});
  EXPECT_EQ(splitContextualStrings(std::string("")), Strings{});
}

TEST(TranscribeArgumentsTest, PathLanguageAndFlag) {
  auto a = parseTranscribeArguments({"transcribe", "a.pcm", "--contextual-strings", "X"});
  EXPECT_EQ(a.path, "a.pcm");
  EXPECT_EQ(a.language, std::nullopt);
  EXPECT_EQ(a.contextualStrings, Strings{"X"});

  a = parseTranscribeArguments({"transcribe", "a.pcm", "ja"});
  EXPECT_EQ(a.language, "ja");
  EXPECT_EQ(a.contextualStrings, Strings{});

  a = parseTranscribeArguments({"transcribe", "a.pcm", "en-US", "--contextual-strings", "p\nq"});
  EXPECT_EQ(a.language, "en-US");
  EXPECT_EQ(a.contextualStrings, (Strings{"p", "q"}));

  a = parseTranscribeArguments({"transcribe", "a.pcm", "ja", "--contextual-strings"});
  EXPECT_EQ(a.contextualStrings, Strings{});

  EXPECT_THROW(parseTranscribeArguments({"transcribe"}), HelperError);
}

TEST(HelperErrorTest, ExactMessages) {
  EXPECT_STREQ(HelperError::unsupportedLocale("xx_YY").what(),
               "Apple SpeechTranscriber does not support locale xx_YY.");
  EXPECT_STREQ(HelperError::decodeFailed("file not found").what(), "Could not decode the media file: file not found");
  EXPECT_STREQ(HelperError::unsupportedOS().what(), "Apple SpeechAnalyzer requires macOS 26.0 or later.");
  EXPECT_STREQ(HelperError::unavailable().what(), "Apple SpeechTranscriber is not available on this device.");
  EXPECT_STREQ(HelperError::invalidArguments().what(), "Invalid helper arguments.");
  EXPECT_STREQ(HelperError::invalidAudio().what(), "Invalid audio input.");
  EXPECT_STREQ(HelperError::incompatibleAudioFormat().what(),
               "No compatible SpeechAnalyzer audio format is installed.");
}

}  // namespace
}  // namespace tavrin::apple_speech
