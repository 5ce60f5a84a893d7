// Real speech through the real program: flite speech decoded and transcribed with contextual strings.
#include <gtest/gtest.h>

#include "tests/support/speech_samples.h"

namespace tavrin::testing {
namespace {

const std::string kBin = TAVRIN_APPLE_SPEECH_BIN;

TEST(AppleSpeechSmokeTest, ContextualStringsBringAMisheardName) {
  TempDir dir;
  ASSERT_TRUE(synthesizeSpeech("Please call Stella and ask her to bring these things with her from the store.",
                               dir.file("first.wav")));
  // Without help the engine hears "stallion" or "skeleton" here.
  writeFile(dir.file("first.raw"), runProcess({kBin, "decode", dir.file("first.wav")}).out);
  const ProcessResult r =
      runProcess({kBin, "transcribe", dir.file("first.raw"), "--contextual-strings", "Stella\nQuarterly review"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const size_t result = r.out.rfind("{\"type\":\"result\",\"text\":\"");
  ASSERT_NE(result, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("stella", result), std::string::npos) << r.out;
}

}  // namespace
}  // namespace tavrin::testing
