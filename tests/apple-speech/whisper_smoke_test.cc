// The real program with the real Whisper engine on a random-weight tiny
// model: the shape of what transcribe writes (never what the noise model
// says), and a damaged model as one line. Skipped where whisper.cpp is not
// installed.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "speech-service/testmodel/whisper_testmodel.h"
#include "tests/support/speech_samples.h"

namespace tavrin::testing {
namespace {

class WhisperSmokeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(TAVRIN_WHISPER_LIBDIR "/libwhisper.so")) GTEST_SKIP() << "whisper.cpp is not installed";
    std::filesystem::create_directories(dir.file("data/tavrin/speech/whisper"));
    speech::testmodel::WhisperTestModel model;
    model.hparams = speech::testmodel::whisperTestHparams(speech::testmodel::WhisperSize::kTiny, false);
    model.endBias = 3;
    speech::testmodel::writeWhisperTestModel(modelPath, model);
    std::vector<float> noise(3 * 16000 + 8);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = 0.3f * static_cast<float>((i * 7919) % 2000) / 1000.0f - 0.3f;
    writeFile(dir.file("noise.raw"), rawBytes(noise));
  }
  ProcessResult transcribe() {
    return runProcess({TAVRIN_APPLE_SPEECH_BIN, "transcribe", dir.file("noise.raw"), "en-US", "--contextual-strings", "Tavrin"},
                      ProcessOptions{{{"XDG_DATA_HOME", dir.file("data")}}, {}, {}, std::chrono::seconds(300)});
  }

  TempDir dir;
  const std::string modelPath = dir.file("data/tavrin/speech/whisper/ggml-tiny.en.bin");
};

TEST_F(WhisperSmokeTest, DurationSegmentsInOrderAndTheResultOfThem) {
  const ProcessResult r = transcribe();
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1) lines.push_back(r.out.substr(at, end - at));
  ASSERT_GE(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines.front(), R"({"type":"duration","ms":3000})");
  const std::regex segment(R"(\{"type":"segment","segment":(\{"startMs":(\d+),"endMs":(\d+),"text":"[^"\\]*"\})\})");
  std::string segments;
  uint64_t lastStart = 0;
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, segment)) << lines[i];
    const uint64_t start = std::stoull(m[2]), end = std::stoull(m[3]);
    EXPECT_TRUE(lastStart <= start && start <= end && end <= 3000) << lines[i];
    lastStart = start;
    segments += (segments.empty() ? "" : ",") + m[1].str();
  }
  const nlohmann::json result = nlohmann::json::parse(lines.back());
  EXPECT_EQ(lines.back().rfind(R"({"type":"result","text":)", 0), 0u) << lines.back();
  EXPECT_NE(lines.back().find(",\"segments\":[" + segments + "]"), std::string::npos) << lines.back();
  EXPECT_TRUE(result.at("text").is_string());
}

TEST_F(WhisperSmokeTest, ADamagedModelIsOneLineAndNothingElse) {
  const std::string whole = readFile(modelPath);
  for (const std::string& damaged : {whole.substr(0, whole.size() / 2), whole.substr(0, 60)}) {
    writeFile(modelPath, damaged);
    const ProcessResult r = transcribe();
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "The Whisper model " + modelPath + " is damaged: it ends early.\n");
  }
}

}  // namespace
}  // namespace tavrin::testing
