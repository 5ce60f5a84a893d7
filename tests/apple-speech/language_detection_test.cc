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

TEST(Cld2LanguageRecognizerTest, NamesLanguagesInBcp47OrNothing) {
  Cld2LanguageRecognizer cld2;
  for (const auto& [text, code] : std::vector<std::pair<std::string, std::string>>{
           {"the quick brown fox jumped over the lazy dog please call stella", "en"},
           {"我们今天讨论下一季度的预算并做出决定，然后大家回去工作", "zh-Hans"}}) {
    const auto language = cld2.dominantLanguage(text);
    ASSERT_TRUE(language) << text;
    EXPECT_EQ(language->first, code);
    EXPECT_TRUE(language->second > 0.5 && language->second <= 1.0) << language->second;
  }
  EXPECT_EQ(cld2.dominantLanguage("12345 67890 !!!"), std::nullopt);
}

}  // namespace
}  // namespace tavrin::apple_speech
