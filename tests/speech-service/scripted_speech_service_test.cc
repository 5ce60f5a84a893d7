// The scripted service plays its script exactly: the tests of its users rely
// on it.
#include "speech-service/scripted_speech_service.h"

#include <gtest/gtest.h>

#include <thread>

namespace tavrin::speech {
namespace {

PcmBufferPtr buffer(uint32_t frames, float value = 0.5f) {
  PcmBufferPtr b = PcmBuffer::create(PcmFormat::float32(16000, 1), frames);
  std::fill_n(b->floatChannel(0), frames, value);
  b->setFrameLength(frames);
  return b;
}

RecognitionResult result(const std::string& text, double start, double end, bool isFinal) {
  return RecognitionResult{text, start, end, isFinal};
}

TEST(ScriptedSpeechServiceTest, AnswersLocaleQuestionsFromItsTable) {
  ScriptedSpeechService service;
  service.locales = {
      {"en_US", AssetStatus::kInstalled}, {"en_GB", AssetStatus::kSupported}, {"ja_JP", AssetStatus::kDownloading}};
  EXPECT_EQ(service.supportedLocale("en-GB"), "en_GB");
  EXPECT_EQ(service.supportedLocale("en_AU"), "en_US");
  EXPECT_EQ(service.supportedLocale("ja"), "ja_JP");
  EXPECT_EQ(service.supportedLocale("fr_FR"), std::nullopt);
  EXPECT_EQ(service.supportedLocales(), (std::vector<std::string>{"en_US", "en_GB", "ja_JP"}));
  EXPECT_EQ(service.assetStatus("en_GB"), AssetStatus::kSupported);
  EXPECT_EQ(service.assetStatus("fr_FR"), AssetStatus::kUnsupported);
  service.installAssets("en_GB");
  EXPECT_EQ(service.assetStatus("en_GB"), AssetStatus::kInstalled);
  service.failInstall = "no network";
  EXPECT_THROW(service.installAssets("ja_JP"), SpeechServiceError);
  EXPECT_EQ(service.calls(), (std::vector<std::string>{"match:en-GB", "match:en_AU", "match:ja", "match:fr_FR",
                                                       "install:en_GB", "install:ja_JP"}));
}

TEST(ScriptedSpeechServiceTest, ReleasesResultsByFedFramesAndRecordsInput) {
  ScriptedSpeechService service;
  RecognizerScript script;
  script.results = {{result("a", 0, 1, false), 100}, {result("b", 0, 1, true), 150}, {result("c", 2, 3, true), 999}};
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
  EXPECT_EQ(log->mode, ReportingMode::kLive);
  EXPECT_EQ(log->contextualStrings(), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(log->chunkFrames(), (std::vector<uint32_t>{99, 60}));
  EXPECT_EQ(log->samples().size(), 159u);
  EXPECT_EQ(log->samples().back(), 0.25f);
  EXPECT_TRUE(log->finished());
}

TEST(ScriptedSpeechServiceTest, FailsAtEachScriptedStep) {
  ScriptedSpeechService service;
  RecognizerScript context;
  context.failSetContext = "context refused";
  RecognizerScript accept;
  accept.failAcceptAtCall = "engine broke";
  accept.failAcceptCall = 2;
  RecognizerScript finish;
  finish.results = {{result("kept", 0, 1, true), 0}};
  finish.failInputFinished = "finalize failed";
  RecognizerScript sequence;
  sequence.results = {{result("one", 0, 1, true), 0}, {result("two", 1, 2, true), 0}};
  sequence.failResultsText = "results failed";
  sequence.failResultsAfter = 1;
  service.scripts = {context, accept, finish, sequence};

  auto r1 = service.makeRecognizer("en_US", ReportingMode::kTranscription);
  EXPECT_THROW(r1->setContextualStrings({"x"}), SpeechServiceError);

  auto r2 = service.makeRecognizer("en_US", ReportingMode::kTranscription);
  r2->acceptWaveform(*buffer(10));
  EXPECT_THROW(r2->acceptWaveform(*buffer(10)), SpeechServiceError);
  EXPECT_THROW(r2->nextResult(), SpeechServiceError);
  EXPECT_EQ(r2->nextResult(), std::nullopt);

  auto r3 = service.makeRecognizer("en_US", ReportingMode::kTranscription);
  r3->acceptWaveform(*buffer(10));
  EXPECT_THROW(r3->inputFinished(), SpeechServiceError);
  EXPECT_EQ(r3->nextResult()->text, "kept");
  EXPECT_THROW(r3->nextResult(), SpeechServiceError);

  auto r4 = service.makeRecognizer("en_US", ReportingMode::kTranscription);
  r4->acceptWaveform(*buffer(10));
  r4->inputFinished();
  EXPECT_EQ(r4->nextResult()->text, "one");
  try {
    r4->nextResult();
    FAIL();
  } catch (const SpeechServiceError& e) {
    EXPECT_STREQ(e.what(), "results failed");
  }
  EXPECT_EQ(r4->nextResult(), std::nullopt);

  service.failMakeRecognizer = "no model";
  EXPECT_THROW(service.makeRecognizer("en_US", ReportingMode::kTranscription), SpeechServiceError);
}

}  // namespace
}  // namespace tavrin::speech
