// PocketSphinx on synthetic speech and noise: utterances, times, volatile results closed by
// finals, contextual strings. Word accuracy is left to bench/.
#include <gtest/gtest.h>

#include <future>
#include <random>

#include "speech-service/pocketsphinx/pocketsphinx_service.h"
#include "tests/support/speech_samples.h"

namespace tavrin::speech {
namespace {

// A sentence at 1 s, 2 s of silence, a second one from *secondStart s, 1 s of silence.
std::vector<float> twoSentences(double* secondStart) {
  const std::vector<float> a = testing::spokenSamples("Good morning everyone.");
  const std::vector<float> b = testing::spokenSamples("We will discuss the budget for the next quarter today.");
  std::vector<float> all(16000, 0.0f);
  all.insert(all.end(), a.begin(), a.end());
  all.insert(all.end(), 32000, 0.0f);
  *secondStart = static_cast<double>(all.size()) / 16000;
  all.insert(all.end(), b.begin(), b.end());
  all.insert(all.end(), 16000, 0.0f);
  return all;
}

// Feeds `samples` in `chunk`-frame buffers and finishes; reads results on a second thread.
std::vector<RecognitionResult> recognize(Recognizer& recognizer, const std::vector<float>& samples, uint32_t chunk) {
  auto reader = std::async(std::launch::async, [&] {
    std::vector<RecognitionResult> results;
    try {
      while (auto r = recognizer.nextResult()) results.push_back(*r);
    } catch (const SpeechServiceError&) {  // the feeding side reports it
    }
    return results;
  });
  for (size_t offset = 0; offset < samples.size(); offset += chunk) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(chunk, samples.size() - offset));
    PcmBufferPtr buffer = PcmBuffer::create(PocketSphinxService::decoderFormat(), n);
    std::copy_n(samples.data() + offset, n, buffer->floatChannel(0));
    buffer->setFrameLength(n);
    recognizer.acceptWaveform(*buffer);
  }
  recognizer.inputFinished();
  return reader.get();
}

class PocketSphinxSmokeTest : public ::testing::Test {
 protected:
  std::unique_ptr<PocketSphinxService> service = PocketSphinxService::fromProcess();
  double secondStart = 0;
  const std::vector<float> samples = twoSentences(&secondStart);
};

// One final per utterance with its times; live, changing volatile results before each final.
TEST_F(PocketSphinxSmokeTest, OneFinalPerUtteranceWithItsTimesAndLiveVolatileResultsBefore) {
  ASSERT_EQ(service->assetStatus("en_US"), AssetStatus::kInstalled);
  for (const ReportingMode mode : {ReportingMode::kTranscription, ReportingMode::kLive}) {
    auto recognizer = service->makeRecognizer("en_US", mode);
    // Known words are weighted up; a word with no pronunciation is skipped.
    recognizer->setContextualStrings({"budget for the next quarter", "Zorblaxian plans"});
    std::vector<RecognitionResult> finals;
    size_t volatilesBeforeFirstFinal = 0;
    std::string previous;
    for (const auto& r : recognize(*recognizer, samples, mode == ReportingMode::kLive ? 1600 : 240000)) {
      if (r.isFinal) finals.push_back(r);
      EXPECT_TRUE(r.isFinal ? !r.text.empty() : mode == ReportingMode::kLive && r.text != previous) << r.text;
      volatilesBeforeFirstFinal += !r.isFinal && finals.empty();
      previous = r.isFinal ? "" : r.text;
    }
    EXPECT_THROW(recognizer->setContextualStrings({"late"}), SpeechServiceError);
    ASSERT_EQ(finals.size(), 2u);
    EXPECT_EQ(volatilesBeforeFirstFinal > 0, mode == ReportingMode::kLive);
    // Speech starts at 1 s and at secondStart (flite adds a little lead-in).
    EXPECT_NEAR(finals[0].start, 1.1, 0.3);
    EXPECT_GT(finals[0].end, finals[0].start + 0.8);
    EXPECT_LT(finals[0].end, secondStart);
    EXPECT_NEAR(finals[1].start, secondStart + 0.1, 0.3);
    EXPECT_LE(finals[1].end, static_cast<double>(samples.size()) / 16000);
  }
}

TEST_F(PocketSphinxSmokeTest, InputMayEndAnywhereAndItsLastSamplesAreDecoded) {
  std::vector<float> hello = testing::spokenSamples("Hello there.");
  size_t speechEnd = hello.size();
  while (speechEnd > 0 && std::abs(hello[speechEnd - 1]) < 0.01f) --speechEnd;
  hello.resize(speechEnd + 16000, 0.0f);
  // The detector closes the utterance about 0.25 s after the speech: end in each block around.
  for (size_t n = (speechEnd + 1600) / 320 * 320; n < speechEnd + 8000; n += 320) {
    auto recognizer = service->makeRecognizer("en_US", ReportingMode::kLive);
    const std::vector<float> cut(hello.begin(), hello.begin() + static_cast<ptrdiff_t>(n));
    EXPECT_NO_THROW(recognize(*recognizer, cut, 320)) << n;
  }
  // Stopped during "there", fed as capture feeds live (20 ms buffers), three quarters into
  // one of the decoder's batches: the final reaches the last sample given.
  const auto batch = static_cast<size_t>(PocketSphinxSettings{}.liveBatchSeconds * 16000);
  for (const size_t before : {2400, 1600}) {
    const size_t n = (speechEnd - before) / batch * batch + batch * 3 / 4;
    auto recognizer = service->makeRecognizer("en_US", ReportingMode::kLive);
    const std::vector<RecognitionResult> results =
        recognize(*recognizer, std::vector<float>(hello.begin(), hello.begin() + static_cast<ptrdiff_t>(n)), 320);
    ASSERT_FALSE(results.empty()) << n;
    EXPECT_TRUE(results.back().isFinal);
    EXPECT_NEAR(results.back().end, static_cast<double>(n) / 16000, 0.02) << results.back().text;
  }
}

TEST_F(PocketSphinxSmokeTest, EveryUtteranceWithVolatileResultsEndsWithAFinal) {
  // Bursts of noise: the engine sometimes guesses a word in one, then finishes with no words.
  std::mt19937 random(2);
  std::vector<float> noise(16000, 0.0f);
  for (int burst = 0; burst < 24; ++burst) {
    const size_t length = 16000 * std::vector<size_t>{8, 12, 20, 30, 45}[random() % 5] / 100;
    std::normal_distribution<float> sample(0.0f, std::vector<float>{0.05f, 0.1f, 0.3f}[random() % 3]);
    for (size_t i = 0; i < length; ++i) noise.push_back(sample(random));
    noise.insert(noise.end(), 19200, 0.0f);
  }
  auto recognizer = service->makeRecognizer("en_US", ReportingMode::kLive);
  std::optional<RecognitionResult> open;  // the last volatile result since the last final
  for (const RecognitionResult& r : recognize(*recognizer, noise, 1600)) {
    if (r.isFinal && open) {
      EXPECT_LE(r.start, open->end) << "a final that is not the utterance's: " << r.text;
    }
    open = r.isFinal ? std::nullopt : std::optional(r);
  }
  EXPECT_FALSE(open) << open->text;
}

}  // namespace
}  // namespace tavrin::speech
