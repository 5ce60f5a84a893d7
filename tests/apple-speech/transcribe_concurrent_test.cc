// transcribe with results released all through the feeding: every segment
// line is whole, in order, and before the result line.
#include <gtest/gtest.h>

#include "apple-speech/transcribe.h"
#include "tests/apple-speech/fake_output.h"
#include "tests/support/scripted_speech_service.h"
#include "tests/support/subprocess.h"

namespace tavrin::apple_speech {
namespace {

TEST(TranscribeConcurrentTest, EverySegmentLineComesBeforeTheResultLine) {
  testing::TempDir dir;
  testing::writeFile(dir.file("a.raw"), std::string(240000 * 8 * 4, '\0'));
  for (int round = 0; round < 5; ++round) {
    speech::ScriptedSpeechService service;
    speech::RecognizerScript script;
    for (int i = 0; i < 300; ++i) {  // every third one volatile
      script.results.push_back({speech::RecognitionResult{"w" + std::to_string(i), i * 0.1, i * 0.1 + 0.05, i % 3 != 0},
                                static_cast<uint64_t>(i) * 7000});
    }
    service.scripts = {script};
    testing::FakeOutput out;
    testing::FakeLanguage languages;
    TranscribeContext context{service, out, languages, "en_US"};
    transcribe(TranscribeArguments{dir.file("a.raw"), std::nullopt, {}}, context);
    const std::vector<std::string> lines = out.lines();
    ASSERT_EQ(lines.size(), 1u + 200u + 1u);
    for (size_t i = 1, word = 1; i + 1 < lines.size(); ++i, word += word % 3 == 2 ? 2 : 1) {
      EXPECT_NE(lines[i].find("\"text\":\"w" + std::to_string(word) + "\""), std::string::npos) << lines[i];
    }
    EXPECT_EQ(lines.back().rfind("{\"type\":\"result\",\"text\":\"w1 w2 w4", 0), 0u);
  }
}

}  // namespace
}  // namespace tavrin::apple_speech
