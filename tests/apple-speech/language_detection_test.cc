// Trimming, character counting and language detection of transcripts.
#include "apple-speech/language_detection.h"

#include <gtest/gtest.h>

#include "tests/apple-speech/fake_output.h"

namespace tavrin::apple_speech {
namespace {

TEST(DetectLanguageTest, EightUserPerceivedCharactersAfterTrimmingAreNeeded) {
  testing::FakeLanguage recognizer{std::make_pair(std::string("en"), 0.5)};
  // e + combining acute, and thumbs up with a skin tone, are one character each.
  for (const char* text : {"  abcdefg  ", "e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301",
                           "\U0001F44D\U0001F3FD\U0001F44D\U0001F3FDabcde", " \n "}) {
    EXPECT_EQ(detectLanguage(text, recognizer), std::nullopt) << text;
  }
  EXPECT_TRUE(recognizer.seen.empty());
  EXPECT_EQ(detectLanguage("\t\u00a0\u2028 abc  defgh\u3000\n", recognizer), recognizer.answer);
  EXPECT_EQ(recognizer.seen, std::vector<std::string>{"abc  defgh"});
}

}  // namespace
}  // namespace tavrin::apple_speech
