// Trimming, character counting and language detection of transcripts.
#include "apple-speech/language_detection.h"

#include <gtest/gtest.h>

namespace tavrin::apple_speech {
namespace {

TEST(TrimWhitespaceTest, TrimsUnicodeSpaceAndLineBreaksAtBothEndsOnly) {
  EXPECT_EQ(trimWhitespace("  Hello  world \n"), "Hello  world");
  EXPECT_EQ(trimWhitespace("\t\r\n\u00a0\u2028\u3000x y\u2003"), "x y");
  EXPECT_EQ(trimWhitespace(" \n "), "");
  EXPECT_EQ(trimWhitespace("日本語"), "日本語");
  EXPECT_EQ(trimWhitespace(""), "");
}

TEST(CharacterCountTest, CountsUserPerceivedCharacters) {
  EXPECT_EQ(characterCount("abcdefgh"), 8u);
  EXPECT_EQ(characterCount("e\u0301"), 1u);               // e + combining acute
  EXPECT_EQ(characterCount("\U0001F44D\U0001F3FD"), 1u);  // thumbs up, skin tone
  EXPECT_EQ(characterCount("日本語"), 3u);
}

class RecordingRecognizer final : public LanguageRecognizer {
 public:
  std::optional<std::pair<std::string, double>> dominantLanguage(const std::string& text) override {
    seen.push_back(text);
    return std::make_pair(std::string("en"), 0.5);
  }
  std::vector<std::string> seen;
};

TEST(DetectLanguageTest, EightCharactersAfterTrimmingAreNeeded) {
  RecordingRecognizer recognizer;
  EXPECT_EQ(detectLanguage("  abcdefg  ", recognizer), std::nullopt);
  EXPECT_EQ(detectLanguage("e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301", recognizer), std::nullopt);
  EXPECT_TRUE(recognizer.seen.empty());
  EXPECT_EQ(detectLanguage(" abcdefgh\n", recognizer), std::make_pair(std::string("en"), 0.5));
  EXPECT_EQ(recognizer.seen, std::vector<std::string>{"abcdefgh"});
}

TEST(Cld2LanguageRecognizerTest, NamesCommonLanguages) {
  Cld2LanguageRecognizer cld2;
  auto en = cld2.dominantLanguage("the quick brown fox jumped over the lazy dog please call stella");
  ASSERT_TRUE(en);
  EXPECT_EQ(en->first, "en");
  EXPECT_GT(en->second, 0.5);
  EXPECT_LE(en->second, 1.0);
  auto de = cld2.dominantLanguage("Wir werden heute das Budget für das nächste Quartal besprechen und entscheiden");
  ASSERT_TRUE(de);
  EXPECT_EQ(de->first, "de");
  auto zh = cld2.dominantLanguage("我们今天讨论下一季度的预算并做出决定，然后大家回去工作");
  ASSERT_TRUE(zh);
  EXPECT_EQ(zh->first, "zh-Hans");
  EXPECT_EQ(cld2.dominantLanguage("12345 67890 !!!"), std::nullopt);
  EXPECT_NO_THROW(cld2.dominantLanguage(std::string("\xff\xfe bad bytes here and there", 28)));
}

}  // namespace
}  // namespace tavrin::apple_speech
