// Real media through the real program: speech synthesized with flite, put
// into media files with the ffmpeg tool, decoded and transcribed.
#include <gtest/gtest.h>

#include "tests/speech-service/speech_samples.h"
#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

const std::string kBin = TAVRIN_APPLE_SPEECH_BIN;
constexpr const char* kFirst = "Please call Stella and ask her to bring these things with her from the store.";
constexpr const char* kSecond = "We will discuss the budget for the next quarter today.";

// The value of the "text" key of a result line.
std::string resultText(const std::string& line) {
  const std::string key = "{\"type\":\"result\",\"text\":\"";
  if (line.rfind(key, 0) != 0) return "";
  const size_t end = line.find('"', key.size());
  return line.substr(key.size(), end - key.size());
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t nl = text.find('\n', start);
    lines.push_back(text.substr(start, nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return lines;
}

class AppleSpeechSmokeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(synthesizeSpeech(kFirst, dir.file("first.wav")));
    ASSERT_TRUE(synthesizeSpeech(kSecond, dir.file("second.wav")));
  }

  TempDir dir;
};

TEST_F(AppleSpeechSmokeTest, ContextualStringsBiasTowardAName) {
  const ProcessResult decoded = runProcess({kBin, "decode", dir.file("first.wav")});
  writeFile(dir.file("first.raw"), decoded.out);
  // Without help the engine hears "stallion" or "skeleton" here.
  const ProcessResult plain = runProcess({kBin, "transcribe", dir.file("first.raw")});
  ASSERT_EQ(plain.exitStatus, 0) << plain.err;
  const std::string before = resultText(splitLines(plain.out).back());
  EXPECT_EQ(before.find("stella"), std::string::npos) << before;

  const ProcessResult r =
      runProcess({kBin, "transcribe", dir.file("first.raw"), "--contextual-strings", "Stella\nQuarterly review"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const std::string text = resultText(splitLines(r.out).back());
  EXPECT_NE(text.find("stella"), std::string::npos) << text;
}

}  // namespace
}  // namespace tavrin::testing
