// The transcribe protocol on the scripted speech service: chunking, times,
// line order, the result line, and every failure with what was already
// written.
#include "apple-speech/transcribe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "apple-speech/tavrin_apple_speech.h"
#include "speech-service/scripted_speech_service.h"
#include "tests/apple-speech/fake_output.h"
#include "tests/support/subprocess.h"

namespace tavrin::apple_speech {
namespace {

using speech::AssetStatus;
using speech::RecognitionResult;
using speech::RecognizerScript;
using speech::ScriptedResult;
using testing::FakeOutput;
using Lines = std::vector<std::string>;

class FixedLanguage final : public LanguageRecognizer {
 public:
  std::optional<std::pair<std::string, double>> dominantLanguage(const std::string& text) override {
    seen.push_back(text);
    return std::make_pair(std::string("en"), 0.97);
  }
  std::vector<std::string> seen;
};

ScriptedResult final(const std::string& text, double start, double end, uint64_t afterFrames = 0) {
  return ScriptedResult{RecognitionResult{text, start, end, true}, afterFrames};
}
ScriptedResult partial(const std::string& text, double start, double end, uint64_t afterFrames = 0) {
  return ScriptedResult{RecognitionResult{text, start, end, false}, afterFrames};
}

class TranscribeTest : public ::testing::Test {
 protected:
  // A raw file of `frames` frames whose sample i is i (mod 1000) / 1000.
  std::string rawFile(uint32_t frames) {
    std::vector<float> samples(frames);
    for (uint32_t i = 0; i < frames; ++i) samples[i] = static_cast<float>(i % 1000) / 1000.0f;
    std::string bytes(samples.size() * 4, '\0');
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    const std::string path = dir.file("audio.raw");
    testing::writeFile(path, bytes);
    return path;
  }
  void script(RecognizerScript s) { service.scripts = {std::move(s)}; }
  int run(std::vector<std::string> args) { return TavrinAppleSpeech::run(args, platform); }
  std::shared_ptr<speech::RecognizerLog> recognizer() { return service.recognizers().at(0); }

  testing::TempDir dir;
  speech::ScriptedSpeechService service;
  FakeOutput out, err;
  FixedLanguage languages;
  Platform platform{service, out, err, languages, true, "en_US", {}};
};

TEST_F(TranscribeTest, ChunksOfAtMost240000Frames) {
  const std::string path = rawFile(70000);
  ASSERT_EQ(run({"transcribe", path}), 0);
  EXPECT_EQ(out.lines(), (Lines{R"({"type":"duration","ms":4375})", R"({"type":"result","text":"","segments":[]})"}));
  EXPECT_EQ(recognizer()->chunkFrames(), (std::vector<uint32_t>{70000}));
  EXPECT_TRUE(recognizer()->finished());
  EXPECT_EQ(recognizer()->mode, speech::ReportingMode::kTranscription);
  EXPECT_EQ(err.text(), "");
}

TEST_F(TranscribeTest, LongerFilesAreCutAndFedInOrder) {
  const std::string path = rawFile(240001);
  ASSERT_EQ(run({"transcribe", path}), 0);
  EXPECT_EQ(recognizer()->chunkFrames(), (std::vector<uint32_t>{240000, 1}));
  const std::vector<float> fed = recognizer()->samples();
  ASSERT_EQ(fed.size(), 240001u);
  EXPECT_EQ(fed[239999], 0.999f);
  EXPECT_EQ(fed[240000], 0.0f);
  EXPECT_EQ(out.lines().at(0), R"({"type":"duration","ms":15000})");

  service.scripts.clear();
  const std::string even = rawFile(480000);
  ASSERT_EQ(run({"transcribe", even}), 0);
  EXPECT_EQ(service.recognizers().at(1)->chunkFrames(), (std::vector<uint32_t>{240000, 240000}));
}

TEST_F(TranscribeTest, DurationIsCutTowardZero) {
  ASSERT_EQ(run({"transcribe", rawFile(17)}), 0);
  EXPECT_EQ(out.lines().at(0), R"({"type":"duration","ms":1})");
}

TEST_F(TranscribeTest, ChunksAreConvertedToTheServiceFormat) {
  service.format = PcmFormat::float32(48000, 1);
  ASSERT_EQ(run({"transcribe", rawFile(240001)}), 0);
  const std::vector<uint32_t> chunks = recognizer()->chunkFrames();
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_NEAR(chunks[0], 720000u, 64);
  EXPECT_LE(chunks[1], 3u + 1024u);
  EXPECT_EQ(recognizer()->chunkFormats().at(0), PcmFormat::float32(48000, 1));
}

TEST_F(TranscribeTest, SegmentLinesThenTheResultWithLanguage) {
  RecognizerScript s;
  s.results = {partial("hel", 0, 0.5, 1000), final("Hello", 0.1, 1.2345, 16000), partial("wor", 2, 2.5, 20000),
               final(" world ", 2, 2.0009, 30000), final("Hello", 3, 4)};
  script(s);
  ASSERT_EQ(run({"transcribe", rawFile(70000), "en-US"}), 0);
  EXPECT_EQ(
      out.lines(),
      (Lines{
          R"({"type":"duration","ms":4375})",
          R"({"type":"segment","segment":{"startMs":100,"endMs":1234,"text":"Hello"}})",
          R"({"type":"segment","segment":{"startMs":2000,"endMs":2000,"text":" world "}})",
          R"({"type":"segment","segment":{"startMs":3000,"endMs":4000,"text":"Hello"}})",
          R"({"type":"result","text":"Hello  world  Hello","segments":[{"startMs":100,"endMs":1234,"text":"Hello"},{"startMs":2000,"endMs":2000,"text":" world "},{"startMs":3000,"endMs":4000,"text":"Hello"}],"detectedLanguage":"en","detectionConfidence":0.97})",
      }));
  EXPECT_EQ(languages.seen, std::vector<std::string>{"Hello  world  Hello"});
  EXPECT_EQ(service.calls().at(0), "match:en_US");
}

TEST_F(TranscribeTest, TimesAreClampedAndCut) {
  RecognizerScript s;
  s.results = {final("a", -1, 0.5), final("b", 2, 1), final("c", std::nan(""), std::nan("")),
               final("d", 1, std::numeric_limits<double>::infinity()), final("e", 1e30, 1e30)};
  script(s);
  ASSERT_EQ(run({"transcribe", rawFile(100)}), 0);
  const Lines lines = out.lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[1], R"({"type":"segment","segment":{"startMs":0,"endMs":500,"text":"a"}})");
  EXPECT_EQ(lines[2], R"({"type":"segment","segment":{"startMs":2000,"endMs":2000,"text":"b"}})");
  EXPECT_EQ(lines[3], R"({"type":"segment","segment":{"startMs":0,"endMs":0,"text":"c"}})");
  EXPECT_EQ(lines[4], R"({"type":"segment","segment":{"startMs":1000,"endMs":1000,"text":"d"}})");
  EXPECT_EQ(lines[5],
            R"({"type":"segment","segment":{"startMs":18446744073709551615,"endMs":18446744073709551615,"text":"e"}})");
}

TEST_F(TranscribeTest, BlankAndShortTextsHaveNoLanguage) {
  RecognizerScript s;
  s.results = {final("", 0, 1), final(" \n", 1, 2), final("1234567", 2, 3)};
  script(s);
  ASSERT_EQ(run({"transcribe", rawFile(100)}), 0);
  EXPECT_EQ(
      out.lines().back(),
      R"({"type":"result","text":"1234567","segments":[{"startMs":0,"endMs":1000,"text":""},{"startMs":1000,"endMs":2000,"text":" \n"},{"startMs":2000,"endMs":3000,"text":"1234567"}]})");
  EXPECT_TRUE(languages.seen.empty());
}

TEST_F(TranscribeTest, ContextualStringsOnlyWhenThereAreSome) {
  ASSERT_EQ(run({"transcribe", rawFile(100), "--contextual-strings", "\n\n"}), 0);
  EXPECT_EQ(recognizer()->contextualStrings(), std::nullopt);
  ASSERT_EQ(run({"transcribe", rawFile(100), "--contextual-strings", "Tavrin\nQ3 budget\n"}), 0);
  EXPECT_EQ(service.recognizers().at(1)->contextualStrings(), (std::vector<std::string>{"Tavrin", "Q3 budget"}));
}

TEST_F(TranscribeTest, MissingAssetsAreInstalledFirst) {
  service.locales = {{"en_US", AssetStatus::kSupported}};
  ASSERT_EQ(run({"transcribe", rawFile(100)}), 0);
  EXPECT_EQ(service.calls(), (Lines{"match:en_US", "install:en_US", "make:en_US"}));
}

struct FailureCase {
  std::string name;
  std::function<void(speech::ScriptedSpeechService&, RecognizerScript&)> setUp;
  std::vector<std::string> extraArgs;
  std::string message;
  size_t linesWritten;  // lines on standard output before the failure
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class TranscribeFailureTest : public TranscribeTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TranscribeFailureTest, EndsWithOneErrorLineAfterWhatWasWritten) {
  const FailureCase& c = GetParam();
  RecognizerScript s;
  s.results = {final("first", 0, 1, 1), final("second", 1, 2, 240001)};
  c.setUp(service, s);
  script(s);
  std::vector<std::string> args = {"transcribe", rawFile(300000)};
  args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
  EXPECT_EQ(run(args), 1);
  EXPECT_EQ(err.text(), c.message + "\n");
  const Lines lines = out.lines();
  EXPECT_EQ(lines.size(), c.linesWritten) << out.text();
  for (const std::string& line : lines) EXPECT_EQ(line.find("\"result\""), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Steps, TranscribeFailureTest,
                         ::testing::Values(FailureCase{"Unavailable",
                                                       [](auto& svc, auto&) { svc.available = false; },
                                                       {},
                                                       "Apple SpeechTranscriber is not available on this device.",
                                                       0},
                                           FailureCase{"UnsupportedLocale",
                                                       [](auto&, auto&) {},
                                                       {"xx-YY"},
                                                       "Apple SpeechTranscriber does not support locale xx_YY.",
                                                       0},
                                           FailureCase{"InstallFails",
                                                       [](auto& svc, auto&) {
                                                         svc.locales = {{"en_US", AssetStatus::kSupported}};
                                                         svc.failInstall =
                                                             "The speech model for locale en_US is not installed.";
                                                       },
                                                       {},
                                                       "The speech model for locale en_US is not installed.",
                                                       0},
                                           FailureCase{"NoFormat",
                                                       [](auto& svc, auto&) { svc.format = std::nullopt; },
                                                       {},
                                                       "No compatible SpeechAnalyzer audio format is installed.",
                                                       0},
                                           FailureCase{
                                               "RecognizerCannotBeMade",
                                               [](auto& svc, auto&) { svc.failMakeRecognizer = "model broken"; },
                                               {},
                                               "model broken",
                                               1},
                                           FailureCase{"ContextRefused",
                                                       [](auto&, auto& s) { s.failSetContext = "context refused"; },
                                                       {"--contextual-strings", "x"},
                                                       "context refused",
                                                       1},
                                           FailureCase{"SecondChunkFails",
                                                       [](auto&, auto& s) {
                                                         s.failAcceptCall = 2;
                                                         s.failAcceptAtCall = "engine failed";
                                                       },
                                                       {},
                                                       "engine failed",
                                                       2},
                                           FailureCase{"FinalizingFails",
                                                       [](auto&, auto& s) { s.failInputFinished = "finalize failed"; },
                                                       {},
                                                       "finalize failed",
                                                       3}),
                         [](const auto& param) { return param.param.name; });

TEST_F(TranscribeTest, FileProblemsWriteNothing) {
  EXPECT_EQ(run({"transcribe", dir.file("missing.raw")}), 1);
  EXPECT_EQ(err.text(), "No such file or directory\n");
  EXPECT_EQ(out.text(), "");
  testing::writeFile(dir.file("odd.raw"), "12345");
  err.clear();
  EXPECT_EQ(run({"transcribe", dir.file("odd.raw")}), 1);
  EXPECT_EQ(err.text(), "Invalid audio input.\n");
  EXPECT_EQ(out.text(), "");
}

TEST_F(TranscribeTest, AFailingResultSequenceLosesLaterSegmentsButNotTheRun) {
  RecognizerScript s;
  s.results = {final("kept", 0, 1), final("lost", 1, 2)};
  s.failResultsText = "results failed";
  s.failResultsAfter = 1;
  script(s);
  ASSERT_EQ(run({"transcribe", rawFile(100)}), 0);
  EXPECT_EQ(out.lines().back(),
            R"({"type":"result","text":"kept","segments":[{"startMs":0,"endMs":1000,"text":"kept"}]})");
}

}  // namespace
}  // namespace tavrin::apple_speech
