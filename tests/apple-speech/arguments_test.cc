// Argument grammar of tavrin-apple-speech.
#include "apple-speech/arguments.h"

#include <gtest/gtest.h>

#include "apple-speech/helper_error.h"

namespace tavrin::apple_speech {
namespace {

using Strings = std::vector<std::string>;

TEST(ArgumentsTest, FlagValueIsTheElementAfterTheFirstOccurrenceAnywhere) {
  EXPECT_EQ(flagValue("--x", {"transcribe", "--x", "a", "--x", "b"}), "a");
  EXPECT_EQ(flagValue("--x", {"--x", "transcribe"}), "transcribe");
  EXPECT_EQ(flagValue("--x", {"transcribe", "p", "--x"}), std::nullopt);
  EXPECT_EQ(flagValue("--x", {"transcribe", "--X", "a"}), std::nullopt);
  EXPECT_EQ(splitContextualStrings(std::string("\na\r\n\nb c \n")), (Strings{"a\r", "b c "}));
}

TEST(ArgumentsTest, TranscribeTakesPathLanguageAndFlag) {
  const TranscribeArguments a = parseTranscribeArguments({"transcribe", "a.pcm", "en-US", "--contextual-strings", "p"});
  EXPECT_EQ(a.path, "a.pcm");
  EXPECT_EQ(a.language, "en-US");
  EXPECT_EQ(a.contextualStrings, Strings{"p"});
  EXPECT_EQ(parseTranscribeArguments({"transcribe", "a.pcm", "--contextual-strings", "X"}).language, std::nullopt);
  EXPECT_EQ(parseTranscribeArguments({"transcribe", "a.pcm", "ja", "--contextual-strings"}).contextualStrings,
            Strings{});
  EXPECT_THROW(parseTranscribeArguments({"transcribe"}), HelperError);
}

}  // namespace
}  // namespace tavrin::apple_speech
