// transcribe's two writers: the consumer thread writes segment lines while
// the command feeds; the result line must come after every segment line.
#include <gtest/gtest.h>

#include <cstring>

#include "apple-speech/transcribe.h"
#include "speech-service/scripted_speech_service.h"
#include "tests/apple-speech/fake_output.h"
#include "tests/support/subprocess.h"

namespace tavrin::apple_speech {
namespace {

class NoLanguage final : public LanguageRecognizer {
 public:
  std::optional<std::pair<std::string, double>> dominantLanguage(const std::string&) override { return std::nullopt; }
};

TEST(TranscribeConcurrentTest, EverySegmentLineComesBeforeTheResultLine) {
  testing::TempDir dir;
  const uint32_t frames = 240000 * 8;
  testing::writeFile(dir.file("a.raw"), std::string(frames * 4, '\0'));
  for (int round = 0; round < 5; ++round) {
    speech::ScriptedSpeechService service;
    speech::RecognizerScript script;
    // Results released all through the feeding and at the end.
    for (int i = 0; i < 300; ++i) {
      script.results.push_back({speech::RecognitionResult{"w" + std::to_string(i), i * 0.1, i * 0.1 + 0.05, i % 3 != 0},
                                static_cast<uint64_t>(i) * 7000});
    }
    service.scripts = {script};
    testing::FakeOutput out;
    NoLanguage languages;
    TranscribeContext context{service, out, languages, "en_US"};
    transcribe(TranscribeArguments{dir.file("a.raw"), std::nullopt, {}}, context);

    const std::vector<std::string> lines = out.lines();
    ASSERT_EQ(lines.size(), 1u + 200u + 1u);
    EXPECT_EQ(lines.front(), "{\"type\":\"duration\",\"ms\":120000}");
    int expected = 1;
    for (size_t i = 1; i + 1 < lines.size(); ++i, ++expected) {
      if (expected % 3 == 0) ++expected;
      EXPECT_NE(lines[i].find("\"text\":\"w" + std::to_string(expected) + "\""), std::string::npos) << lines[i];
    }
    EXPECT_EQ(lines.back().rfind("{\"type\":\"result\",\"text\":\"w1 w2 w4", 0), 0u);
  }
}

}  // namespace
}  // namespace tavrin::apple_speech
