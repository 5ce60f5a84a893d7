// The transcribe protocol on the scripted speech service: chunks, times, lines, failures.
#include "apple-speech/transcribe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "apple-speech/tavrin_apple_speech.h"
#include "tests/apple-speech/fake_output.h"
#include "tests/support/scripted_speech_service.h"
#include "tests/support/subprocess.h"

namespace tavrin::apple_speech {
namespace {

using speech::AssetStatus;
using speech::RecognitionResult;
using speech::RecognizerScript;
using speech::ScriptedResult;
using Lines = std::vector<std::string>;

ScriptedResult result(const std::string& text, double start, double end, uint64_t afterFrames = 0,
                      bool isFinal = true) {
  return ScriptedResult{RecognitionResult{text, start, end, isFinal}, afterFrames};
}

class TranscribeTest : public ::testing::Test {
 protected:
  // A raw file of `frames` frames whose sample i is i (mod 1000) / 1000.
  std::string rawFile(uint32_t frames) {
    std::vector<float> samples(frames);
    for (uint32_t i = 0; i < frames; ++i) samples[i] = static_cast<float>(i % 1000) / 1000.0f;
    testing::writeFile(dir.file("audio.raw"), std::string(reinterpret_cast<const char*>(samples.data()), frames * 4));
    return dir.file("audio.raw");
  }
  void script(RecognizerScript s) { service.scripts = {std::move(s)}; }
  int run(std::vector<std::string> args) { return TavrinAppleSpeech::run(args, platform); }
  std::shared_ptr<speech::RecognizerLog> recognizer(size_t i = 0) { return service.recognizers().at(i); }

  testing::TempDir dir;
  speech::ScriptedSpeechService service;
  testing::FakeOutput out, err;
  testing::FakeLanguage languages{std::make_pair(std::string("en"), 0.9712345678901234)};
  Platform platform{service, out, err, languages, true, "en_US", {}};
};

TEST_F(TranscribeTest, FileIsFedInOrderInChunksOf240000FramesAfterItsDurationInTheServicesFormat) {
  struct Row {
    uint32_t frames;
    std::vector<uint32_t> chunks;
    int durationMs;
  };
  const std::vector<Row> rows = {
      {24, {24}, 1}, {70000, {70000}, 4375}, {240001, {240000, 1}, 15000}, {480000, {240000, 240000}, 30000}};
  for (size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(run({"transcribe", rawFile(rows[i].frames)}), 0);
    const Lines lines = out.lines();
    EXPECT_EQ(lines.at(2 * i), R"({"type":"duration","ms":)" + std::to_string(rows[i].durationMs) + "}");
    EXPECT_EQ(lines.at(2 * i + 1), R"({"type":"result","text":"","segments":[]})");
    EXPECT_EQ(recognizer(i)->chunkFrames(), rows[i].chunks);
    EXPECT_TRUE(recognizer(i)->finished());
    EXPECT_EQ(recognizer(i)->mode, speech::ReportingMode::kTranscription);
    const std::vector<float> fed = recognizer(i)->samples();
    ASSERT_EQ(fed.size(), rows[i].frames);
    for (uint32_t f = 0; f < rows[i].frames; f += 997) EXPECT_EQ(fed[f], static_cast<float>(f % 1000) / 1000.0f);
  }
  EXPECT_EQ(err.text(), "");
  // Converted to the service's format.
  service.format = PcmFormat::float32(48000, 1);
  ASSERT_EQ(run({"transcribe", rawFile(16000)}), 0);
  EXPECT_NEAR(recognizer(4)->chunkFrames().at(0), 48000u, 64);
  EXPECT_EQ(recognizer(4)->chunkFormats().at(0), PcmFormat::float32(48000, 1));
}

TEST_F(TranscribeTest, SegmentLinesThenTheResultWithLanguage) {
  RecognizerScript s;
  s.results = {result("hel", 0, 0.5, 1000, false), result("Hello", 0.1, 1.2345, 16000),
               result("wor", 2, 2.5, 20000, false), result(" world ", 2, 2.0009, 30000), result("Hello", 3, 4)};
  script(s);
  ASSERT_EQ(run({"transcribe", rawFile(70000), "en-US"}), 0);
  EXPECT_EQ(
      out.lines(),
      (Lines{
          R"({"type":"duration","ms":4375})",
          R"({"type":"segment","segment":{"startMs":100,"endMs":1234,"text":"Hello"}})",
          R"({"type":"segment","segment":{"startMs":2000,"endMs":2000,"text":" world "}})",
          R"({"type":"segment","segment":{"startMs":3000,"endMs":4000,"text":"Hello"}})",
          R"({"type":"result","text":"Hello  world  Hello","segments":[{"startMs":100,"endMs":1234,"text":"Hello"},{"startMs":2000,"endMs":2000,"text":" world "},{"startMs":3000,"endMs":4000,"text":"Hello"}],"detectedLanguage":"en","detectionConfidence":0.9712345678901234})"}));
  EXPECT_EQ(languages.seen, std::vector<std::string>{"Hello  world  Hello"});
  EXPECT_EQ(service.calls().at(0), "match:en_US");
}

// Times clamped and cut; a result sequence that fails loses its later segments but not the run; contextual strings
// only when there are some.
TEST_F(TranscribeTest, TheResultLineOfTheSegmentsThatCameAndTheirTimesClamped) {
  RecognizerScript s;
  s.results = {result("a", -1, 0.5),
               result("b", 2, 1),
               result("c", std::nan(""), std::nan("")),
               result("d", 1, std::numeric_limits<double>::infinity()),
               result("e", 1e30, 1e30),
               result("lost", 1, 2)};
  s.failResultsText = "results failed";
  s.failResultsAfter = 5;
  script(s);
  ASSERT_EQ(run({"transcribe", rawFile(100), "--contextual-strings", "\n\n"}), 0);
  EXPECT_EQ(out.lines().back(),
            R"({"type":"result","text":"a b c d e","segments":[{"startMs":0,"endMs":500,"text":"a"},)"
            R"({"startMs":2000,"endMs":2000,"text":"b"},{"startMs":0,"endMs":0,"text":"c"},)"
            R"({"startMs":1000,"endMs":1000,"text":"d"},)"
            R"({"startMs":18446744073709551615,"endMs":18446744073709551615,"text":"e"}],)"
            R"("detectedLanguage":"en","detectionConfidence":0.9712345678901234})");
  EXPECT_EQ(recognizer()->contextualStrings(), std::nullopt);
  ASSERT_EQ(run({"transcribe", rawFile(100), "--contextual-strings", "Tavrin\nQ3 budget\n"}), 0);
  EXPECT_EQ(recognizer(1)->contextualStrings(), (std::vector<std::string>{"Tavrin", "Q3 budget"}));
}

}  // namespace
}  // namespace tavrin::apple_speech
