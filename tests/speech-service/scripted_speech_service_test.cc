// The scripted service plays its script exactly: the tests of its users rely
// on it.
#include "speech-service/scripted_speech_service.h"

#include <gtest/gtest.h>

namespace tavrin::speech {
namespace {

PcmBufferPtr buffer(uint32_t frames, float value = 0.5f) {
  PcmBufferPtr b = PcmBuffer::create(PcmFormat::float32(16000, 1), frames);
  std::fill_n(b->floatChannel(0), frames, value);
  b->setFrameLength(frames);
  return b;
}

ScriptedResult result(const std::string& text, uint64_t afterFrames) {
  return ScriptedResult{RecognitionResult{text, 0, 1, true}, afterFrames};
}

TEST(ScriptedSpeechServiceTest, MatchesLocalesByLanguageAndInstalls) {
  ScriptedSpeechService service;
  service.locales = {{"en_US", AssetStatus::kInstalled}, {"en_GB", AssetStatus::kSupported}};
  EXPECT_EQ(service.supportedLocale("en-GB"), "en_GB");
  EXPECT_EQ(service.supportedLocale("en_AU"), "en_US");
  EXPECT_EQ(service.supportedLocale("fr_FR"), std::nullopt);
  service.installAssets("en_GB");
  EXPECT_EQ(service.assetStatus("en_GB"), AssetStatus::kInstalled);
  service.failInstall = "no network";
  EXPECT_THROW(service.installAssets("en_US"), SpeechServiceError);
}

TEST(ScriptedSpeechServiceTest, ReleasesResultsByFedFramesAndRecordsInput) {
  ScriptedSpeechService service;
  RecognizerScript script;
  script.results = {result("a", 100), result("b", 150), result("c", 999)};
  service.scripts = {script};
  auto recognizer = service.makeRecognizer("en_US", ReportingMode::kLive);
  recognizer->setContextualStrings({"x", "y"});
  recognizer->acceptWaveform(*buffer(99));
  recognizer->acceptWaveform(*buffer(60, 0.25f));
  EXPECT_EQ(recognizer->nextResult()->text, "a");
  EXPECT_EQ(recognizer->nextResult()->text, "b");
  recognizer->inputFinished();
  EXPECT_EQ(recognizer->nextResult()->text, "c");
  EXPECT_EQ(recognizer->nextResult(), std::nullopt);

  auto log = service.recognizers().at(0);
  EXPECT_EQ(log->contextualStrings(), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(log->chunkFrames(), (std::vector<uint32_t>{99, 60}));
  EXPECT_EQ(log->samples().back(), 0.25f);
  EXPECT_TRUE(log->finished());
}

TEST(ScriptedSpeechServiceTest, FailsAtEachScriptedStep) {
  ScriptedSpeechService service;
  RecognizerScript accept;
  accept.failAcceptAtCall = "engine broke";
  accept.failAcceptCall = 2;
  RecognizerScript finish;
  finish.results = {result("kept", 0)};
  finish.failInputFinished = "finalize failed";
  RecognizerScript sequence;
  sequence.results = {result("one", 0), result("two", 0)};
  sequence.failResultsText = "results failed";
  sequence.failResultsAfter = 1;
  service.scripts = {accept, finish, sequence};

  auto r1 = service.makeRecognizer("en_US", ReportingMode::kTranscription);
  r1->acceptWaveform(*buffer(10));
  EXPECT_THROW(r1->acceptWaveform(*buffer(10)), SpeechServiceError);
  EXPECT_THROW(r1->nextResult(), SpeechServiceError);
  EXPECT_EQ(r1->nextResult(), std::nullopt);

  auto r2 = service.makeRecognizer("en_US", ReportingMode::kTranscription);
  r2->acceptWaveform(*buffer(10));
  EXPECT_THROW(r2->inputFinished(), SpeechServiceError);
  EXPECT_EQ(r2->nextResult()->text, "kept");
  EXPECT_THROW(r2->nextResult(), SpeechServiceError);

  auto r3 = service.makeRecognizer("en_US", ReportingMode::kTranscription);
  r3->inputFinished();
  EXPECT_EQ(r3->nextResult()->text, "one");
  EXPECT_THROW(r3->nextResult(), SpeechServiceError);
  EXPECT_EQ(r3->nextResult(), std::nullopt);
}

}  // namespace
}  // namespace tavrin::speech
