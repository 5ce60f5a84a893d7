// The real program with the real Whisper engine on a random-weight tiny
// model: the shape of what transcribe writes (never what the noise model
// says), and a damaged model as one line. Skipped without whisper.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "speech-service/testmodel/whisper_testmodel.h"
#include "tests/support/speech_samples.h"

namespace tavrin::testing {
namespace {

TEST(WhisperSmokeTest, DurationSegmentsInOrderTheResultOfThemAndADamagedModelAsOneLine) {
  if (!std::filesystem::exists(TAVRIN_WHISPER_LIBDIR "/libwhisper.so")) GTEST_SKIP() << "no whisper.cpp";
  TempDir dir;
  const std::string model = dir.file("data/tavrin/speech/whisper/ggml-tiny.en.bin");
  std::filesystem::create_directories(dir.file("data/tavrin/speech/whisper"));
  using namespace speech::testmodel;
  writeWhisperTestModel(model, {whisperTestHparams(WhisperSize::kTiny, false), 1, 3.0f});
  std::vector<float> noise(3 * 16000 + 8);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = 0.3f * static_cast<float>((i * 7919) % 2000) / 1000.0f - 0.3f;
  writeFile(dir.file("noise.raw"), std::string(reinterpret_cast<const char*>(noise.data()), noise.size() * 4));
  const auto transcribe = [&] {
    return runProcess(
        {TAVRIN_APPLE_SPEECH_BIN, "transcribe", dir.file("noise.raw"), "en-US", "--contextual-strings", "Tavrin"},
        ProcessOptions{{{"XDG_DATA_HOME", dir.file("data")}}, {}, {}, std::chrono::seconds(300)});
  };
  const ProcessResult r = transcribe();
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::regex line(R"(\{"type":"segment","segment":(\{"startMs":(\d+),"endMs":(\d+),"text":"[^"\\]*"\})\}\n)");
  const std::string duration = "{\"type\":\"duration\",\"ms\":3000}\n";
  ASSERT_EQ(r.out.rfind(duration, 0), 0u) << r.out;
  std::string segments;
  uint64_t lastStart = 0;
  auto at = r.out.cbegin() + static_cast<std::ptrdiff_t>(duration.size());
  for (std::smatch m; std::regex_search(at, r.out.cend(), m, line, std::regex_constants::match_continuous);
       at = m[0].second) {
    const uint64_t start = std::stoull(m[2]), end = std::stoull(m[3]);
    EXPECT_TRUE(lastStart <= start && start <= end && end <= 3000) << m[0];
    lastStart = start;
    segments += (segments.empty() ? "" : ",") + m[1].str();
  }
  const std::string tail(at, r.out.cend());
  EXPECT_EQ(tail.rfind(R"({"type":"result","text":")", 0), 0u) << tail;
  EXPECT_TRUE(tail.ends_with(R"(","segments":[)" + segments + "]}\n")) << tail;
  const std::string whole = readFile(model);
  for (const std::string& damaged : {whole.substr(0, whole.size() / 2), whole.substr(0, 60)}) {
    writeFile(model, damaged);
    const ProcessResult d = transcribe();
    EXPECT_EQ(d.exitStatus, 1);
    EXPECT_EQ(d.out, "");
    EXPECT_EQ(d.err, "The Whisper model " + model + " is damaged: it ends early.\n");
  }
}

}  // namespace
}  // namespace tavrin::testing
