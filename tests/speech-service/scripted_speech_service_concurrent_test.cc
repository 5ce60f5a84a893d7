// The scripted recognizer used across threads: one feeds, one reads.
#include <gtest/gtest.h>

#include <thread>

#include "speech-service/scripted_speech_service.h"

namespace tavrin::speech {
namespace {

PcmBufferPtr buffer(uint32_t frames) {
  PcmBufferPtr b = PcmBuffer::create(PcmFormat::float32(16000, 1), frames);
  b->setFrameLength(frames);
  return b;
}

RecognitionResult result(const std::string& text, double start, double end, bool isFinal) {
  return RecognitionResult{text, start, end, isFinal};
}

// One thread feeds, another reads, as every caller does.
TEST(ScriptedSpeechServiceConcurrentTest, ReaderSeesEveryResultInOrderWhileFeeding) {
  ScriptedSpeechService service;
  RecognizerScript script;
  for (int i = 0; i < 200; ++i)
    script.results.push_back({result(std::to_string(i), i, i + 1, i % 2 == 0), uint64_t(i) * 10});
  service.scripts = {script};
  auto recognizer = service.makeRecognizer("en_US", ReportingMode::kLive);
  std::vector<std::string> seen;
  std::thread reader([&] {
    while (auto r = recognizer->nextResult()) seen.push_back(r->text);
  });
  for (int i = 0; i < 100; ++i) recognizer->acceptWaveform(*buffer(10));
  recognizer->inputFinished();
  reader.join();
  ASSERT_EQ(seen.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], std::to_string(i));
}

}  // namespace
}  // namespace tavrin::speech
