// The Whisper recognizer fed on one thread and read on another, as
// transcribe runs it: every segment arrives once, in order, then the end.
// PocketSphinx decoders made and freed at once, as by two live channels.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>

#include "speech-service/pocketsphinx/pocketsphinx_service.h"
#include "speech-service/whisper/whisper_service.h"

namespace tavrin::speech {
namespace {

// Two segments per window, early in it, so none is held back for the next.
class TwoSegments final : public WhisperWindowDecoder {
 public:
  std::vector<WhisperSegment> decode(const float*, size_t, const WhisperDecodeSettings&) override {
    ++n_;
    return {{0, 100, std::to_string(2 * n_)}, {100, 200, std::to_string(2 * n_ + 1)}};
  }

 private:
  int n_ = -1;
};

TEST(WhisperRecognizerConcurrentTest, ResultsReadWhileWindowsAreDecoded) {
  WhisperRecognizer recognizer(std::make_unique<TwoSegments>());
  const int windows = 40;
  std::thread feeder([&] {
    PcmBufferPtr chunk = PcmBuffer::create(PcmFormat::float32(16000, 1), 160000);
    chunk->setFrameLength(160000);
    // Speech-like throughout (0.1 s loud, 0.1 s quiet): every window is decoded.
    for (uint32_t i = 0; i < 160000; ++i)
      chunk->floatChannel(0)[i] = (i / 1600) % 2 == 0 ? ((i / 8) % 2 ? 0.3f : -0.3f) : 0;
    for (int i = 0; i < windows * 3; ++i) recognizer.acceptWaveform(*chunk);
    recognizer.inputFinished();
  });
  int next = 0;
  while (auto result = recognizer.nextResult()) EXPECT_EQ(result->text, std::to_string(next++));
  feeder.join();
  EXPECT_EQ(next, 2 * windows);
}

TEST(PocketSphinxConcurrentTest, TwoRecognizersAreMadeAndFreedAtOnce) {
  const ModelFiles model = ModelCatalog(ModelSearchPaths::fromProcess()).installedModel("en_US").value();
  std::barrier together(2);
  auto channel = [&] {
    together.arrive_and_wait();
    auto recognizer =
        makePocketSphinxRecognizer(model, ReportingMode::kLive, PocketSphinxService::settingsFromProcess());
    together.arrive_and_wait();
  };
  std::jthread other(channel);
  channel();
}

}  // namespace
}  // namespace tavrin::speech
