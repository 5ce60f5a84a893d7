// A live final on the real Whisper engine (a random-weight tiny model) is
// what whisper.cpp's own whisper-cli prints for the same audio, greedy
// without fallback or timestamps, with the same context size and prompt. Skipped without whisper.cpp.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/processors.h"
#include "speech-service/whisper/testmodel/whisper_testmodel.h"
#include "speech-service/whisper/whisper_live.h"
#include "tests/support/speech_samples.h"

namespace tavrin::speech {
namespace {

TEST(WhisperCliSmokeTest, AFinalIsWhatWhisperCliPrintsForTheSameAudioContextAndPrompt) {
  if (!std::filesystem::exists(TAVRIN_WHISPER_CLI)) GTEST_SKIP() << "no whisper.cpp";
  testing::TempDir dir;
  const std::string model = dir.file("ggml-tiny.bin");
  using namespace testmodel;
  writeWhisperTestModel(model, {whisperTestHparams(WhisperSize::kTiny, true), 7, 3.0f});
  const std::unique_ptr<WhisperEngine> engine = makeWhisperLibraryEngine();
  const std::vector<float> speech = testing::spokenSamples("Good morning everyone, the budget is ready.");
  // A short utterance after a longer one (what the longer one left in the
  // engine must not change its text), padded, with a prompt.
  const std::pair<size_t, std::string> rows[] = {{speech.size(), ""}, {8000, "Tavrin, Q3"}};
  // Without flash attention (as live loads it) and with it (as transcribe does).
  for (const bool flash : {false, true}) {
    const std::unique_ptr<WhisperWindowDecoder> decoder = engine->load(model, "de", flash);
    for (const auto& [length, prompt] : rows) {
      const WhisperUtterance u = whisperUtterance({speech.begin(), speech.begin() + length}, prompt);
      const std::string ours = utteranceText(decoder->decode(u.samples.data(), u.samples.size(), u.settings));
      testing::writeFile(dir.file("u.raw"),
                         std::string(reinterpret_cast<const char*>(u.samples.data()), u.samples.size() * 4));
      const std::string toWav = "sox -t raw -e floating-point -b 32 -r 16000 -c 1 " + dir.file("u.raw") + " ";
      ASSERT_EQ(std::system((toWav + dir.file("u.wav")).c_str()), 0);  // the same floats
      std::vector<std::string> cli = {TAVRIN_WHISPER_CLI, "-m", model, "-f", dir.file("u.wav")};
      for (const char* flag : {"-l", "de", "-bs", "1", "-nf", "-nt", "-np", flash ? "-fa" : "-nfa"})
        cli.push_back(flag);
      cli.insert(cli.end(), {"-ac", std::to_string(u.settings.audioContext), "-t", std::to_string(allowedCpuCount())});
      if (!prompt.empty()) cli.insert(cli.end(), {"--prompt", prompt});
      const testing::ProcessResult r = testing::runProcess(cli, {{}, {}, {}, std::chrono::seconds(120)});
      ASSERT_EQ(r.exitStatus, 0) << r.err;
      // Its one segment (no timestamps: one a window), and a line feed.
      const std::string theirs = utteranceText({{0, 0, r.out}});
      EXPECT_EQ(ours, theirs) << "prompt '" << prompt << "', flash attention " << flash;
      EXPECT_NE(ours, "");
    }
  }
}

}  // namespace
}  // namespace tavrin::speech
