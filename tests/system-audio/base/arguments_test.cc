#include "system-audio/base/arguments.h"

#include <gtest/gtest.h>

#include "system-audio/base/errors.h"

namespace tavrin::system_audio {
namespace {

Arguments args(std::vector<std::string> rest) {
  rest.insert(rest.begin(), "/usr/bin/tavrin-system-audio");
  return Arguments(std::move(rest));
}

TEST(ReadUnsignedDecimal, AcceptsDigitsWithOptionalPlusAndMinusZero) {
  EXPECT_EQ(readUnsignedDecimal("7"), 7u);
  EXPECT_EQ(readUnsignedDecimal("+7"), 7u);
  EXPECT_EQ(readUnsignedDecimal("007"), 7u);
  EXPECT_EQ(readUnsignedDecimal("-0"), 0u);
  EXPECT_EQ(readUnsignedDecimal("-000"), 0u);
  EXPECT_EQ(readUnsignedDecimal("18446744073709551615"), 18446744073709551615u);
}

TEST(ReadUnsignedDecimal, RejectsEverythingElse) {
  for (const char* bad : {"", "+", "-", "-3", " 7", "7 ", "7.0", "1e3", "abc", "++7", "+-0", "0x10",
                          "18446744073709551616", "99999999999999999999999"}) {
    EXPECT_FALSE(readUnsignedDecimal(bad)) << bad;
  }
}

TEST(ArgumentsTest, CommandDefaultsToStatus) {
  EXPECT_EQ(args({}).command(), "status");
  EXPECT_EQ(args({"Status"}).command(), "Status");
}

TEST(ArgumentsTest, ValuesAreVerbatimAndTheFirstOccurrenceWins) {
  const auto a = args({"live", "--language", "--no-mic", "--language", "fr", "--stop-file", ""});
  EXPECT_EQ(a.parseArgValue("--language"), "--no-mic");
  EXPECT_TRUE(a.hasFlag("--no-mic"));
  EXPECT_FALSE(a.hasFlag("--NO-MIC"));
  EXPECT_FALSE(a.parseStopFilePath());  // followed by the empty string
  EXPECT_FALSE(args({"live", "--language"}).parseArgValue("--language"));  // last argument
  EXPECT_FALSE(args({"live"}).parseArgValue("--language"));
}

TEST(ArgumentsTest, ProbeDurationIsClampedAndDefaultsToFive) {
  EXPECT_EQ(args({"probe"}).parseDuration(), 5u);
  EXPECT_EQ(args({"probe", "--seconds", "0"}).parseDuration(), 1u);
  EXPECT_EQ(args({"probe", "--seconds", "99"}).parseDuration(), 30u);
  EXPECT_EQ(args({"probe", "--seconds", "abc"}).parseDuration(), 5u);
  EXPECT_EQ(args({"probe", "--seconds", "-3"}).parseDuration(), 5u);
  EXPECT_EQ(args({"probe", "--seconds"}).parseDuration(), 5u);
  EXPECT_EQ(args({"probe", "--seconds", "+7"}).parseDuration(), 7u);
  EXPECT_EQ(args({"probe", "--seconds", "-0"}).parseDuration(), 1u);
}

TEST(ArgumentsTest, RecordDurationHasAFloorOfOneAndNoCeiling) {
  EXPECT_FALSE(args({"record"}).parseOptionalDuration());
  EXPECT_FALSE(args({"record", "--seconds", "7.0"}).parseOptionalDuration());
  EXPECT_EQ(args({"record", "--seconds", "0"}).parseOptionalDuration(), 1u);
  EXPECT_EQ(args({"record", "--seconds", "100000"}).parseOptionalDuration(), 100000u);
}

TEST(ArgumentsTest, OutputPathAcceptsAnEmptyValueButNotAMissingOne) {
  EXPECT_EQ(args({"record", "--output", ""}).parseOutputPath(), "");
  EXPECT_EQ(args({"record", "--output", "--seconds"}).parseOutputPath(), "--seconds");
  EXPECT_THROW(args({"record", "--output"}).parseOutputPath(), SystemAudioError);
  try {
    args({"record"}).parseOutputPath();
    FAIL();
  } catch (const SystemAudioError& e) {
    EXPECT_STREQ(e.what(), "Missing --output path for system audio recording.");
  }
}

TEST(ErrorTexts, EveryCaseHasItsExactText) {
  EXPECT_STREQ(SystemAudioError::invalidCommand("Status").what(), "Unknown system audio command: Status.");
  EXPECT_STREQ(SystemAudioError::outputUnavailable("/x/y.raw").what(),
               "Could not open system audio output file: /x/y.raw.");
  EXPECT_STREQ(SystemAudioError::unsupportedLocale("xx_YY").what(),
               "Apple SpeechTranscriber does not support locale xx_YY.");
  EXPECT_STREQ(SystemAudioError::streamStopped("gone").what(), "System audio stream stopped: gone.");
  EXPECT_STREQ(SystemAudioError::missingTargetLanguage().what(), "Missing --target language for translation status.");
  EXPECT_STREQ(SystemAudioError::noDisplay().what(), "No display is available for ScreenCaptureKit content filtering.");
  EXPECT_STREQ(SystemAudioError::liveUnsupported().what(), "Live subtitles require macOS 26.0 or later.");
  EXPECT_STREQ(SystemAudioError::speechUnavailable().what(), "Apple SpeechTranscriber is not available on this device.");
  EXPECT_STREQ(SystemAudioError::incompatibleAudioFormat().what(),
               "No compatible SpeechAnalyzer audio format is installed.");
  EXPECT_STREQ(CoreAudioError("connect", -15).what(), "CoreAudio error (connect): -15");
}

}  // namespace
}  // namespace tavrin::system_audio
