// The scripted service releases results by fed frames and records what it is fed: its users rely
// on both.
#include "speech-service/scripted_speech_service.h"

#include <gtest/gtest.h>

namespace tavrin::speech {
namespace {

TEST(ScriptedSpeechServiceTest, ReleasesResultsByFedFramesAndRecordsInput) {
  ScriptedSpeechService service;
  RecognizerScript script;
  for (const auto& [text, after] : std::vector<std::pair<std::string, uint64_t>>{{"a", 100}, {"b", 150}, {"c", 999}}) {
    script.results.push_back({RecognitionResult{text, 0, 1, true}, after});
  }
  service.scripts = {script};
  auto recognizer = service.makeRecognizer("en_US", ReportingMode::kLive);
  for (const auto& [frames, value] : std::vector<std::pair<uint32_t, float>>{{99, 0.5f}, {60, 0.25f}}) {
    PcmBufferPtr b = PcmBuffer::create(PcmFormat::float32(16000, 1), frames);
    std::fill_n(b->floatChannel(0), frames, value);
    b->setFrameLength(frames);
    recognizer->acceptWaveform(*b);
  }
  EXPECT_EQ(recognizer->nextResult()->text, "a");
  EXPECT_EQ(recognizer->nextResult()->text, "b");
  EXPECT_EQ(service.recognizers().at(0)->chunkFrames(), (std::vector<uint32_t>{99, 60}));
  EXPECT_EQ(service.recognizers().at(0)->samples().back(), 0.25f);
}

}  // namespace
}  // namespace tavrin::speech
