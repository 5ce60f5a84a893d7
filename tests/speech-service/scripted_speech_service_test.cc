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

TEST(ScriptedSpeechServiceTest, ReleasesResultsByFedFramesRecordsInputAndFailsWhereTold) {
  ScriptedSpeechService service;
  RecognizerScript script;
  for (const auto& [text, after] : std::vector<std::pair<std::string, uint64_t>>{{"a", 100}, {"b", 150}, {"c", 999}}) {
    script.results.push_back({RecognitionResult{text, 0, 1, true}, after});
  }
  script.failInputFinished = "finalize failed";
  RecognizerScript accept;
  accept.failAcceptAtCall = "engine broke";
  accept.failAcceptCall = 2;
  service.scripts = {script, accept};

  auto recognizer = service.makeRecognizer("en_US", ReportingMode::kLive);
  recognizer->setContextualStrings({"x", "y"});
  recognizer->acceptWaveform(*buffer(99));
  recognizer->acceptWaveform(*buffer(60, 0.25f));
  EXPECT_EQ(recognizer->nextResult()->text, "a");
  EXPECT_EQ(recognizer->nextResult()->text, "b");
  EXPECT_THROW(recognizer->inputFinished(), SpeechServiceError);
  EXPECT_THROW(recognizer->nextResult(), SpeechServiceError);
  const auto log = service.recognizers().at(0);
  EXPECT_EQ(log->contextualStrings(), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(log->chunkFrames(), (std::vector<uint32_t>{99, 60}));
  EXPECT_EQ(log->samples().back(), 0.25f);

  recognizer = service.makeRecognizer("en_US", ReportingMode::kTranscription);
  recognizer->acceptWaveform(*buffer(10));
  EXPECT_THROW(recognizer->acceptWaveform(*buffer(10)), SpeechServiceError);
  EXPECT_THROW(recognizer->nextResult(), SpeechServiceError);
  EXPECT_EQ(recognizer->nextResult(), std::nullopt);
}

}  // namespace
}  // namespace tavrin::speech
