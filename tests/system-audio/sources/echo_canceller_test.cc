// The echo canceller: the aligner's pairing of far and near end on a
// recording canceller, and WebRTC's canceller on a synthetic echo.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "system-audio/sources/echo_canceller.h"

namespace tavrin::system_audio {
namespace {

constexpr uint32_t kChunk = EchoCanceller::kChunkFrames;
constexpr uint64_t kMs = 1'000'000;

// Remembers the first far and near sample of every chunk it was given and
// passes the near end through.
class RecordingCanceller final : public EchoCanceller {
 public:
  struct Log {
    std::vector<float> farFirst, nearFirst;
  };
  explicit RecordingCanceller(std::shared_ptr<Log> log) : log_(std::move(log)) {}
  void analyzeFarEnd(const float* chunk) override { log_->farFirst.push_back(chunk[0]); }
  void processNearEnd(float* chunk) override { log_->nearFirst.push_back(chunk[0]); }

 private:
  std::shared_ptr<Log> log_;
};

// A 16 kHz mono buffer whose sample i is first + i (a time stamp in samples).
PcmBufferPtr ramp(float first, uint32_t frames) {
  PcmBufferPtr b = PcmBuffer::create(EchoAligner::format(), frames);
  b->setFrameLength(frames);
  for (uint32_t i = 0; i < frames; ++i) b->floatChannel(0)[i] = first + static_cast<float>(i);
  return b;
}

class EchoAlignerTest : public ::testing::Test {
 protected:
  EchoAligner make(uint32_t maxWait = 20) {
    return EchoAligner(std::make_unique<RecordingCanceller>(log), [this](PcmBufferPtr b) {
      for (uint32_t i = 0; i < b->frameLength(); ++i) out.push_back(b->floatChannel(0)[i]);
    }, maxWait);
  }
  std::shared_ptr<RecordingCanceller::Log> log = std::make_shared<RecordingCanceller::Log>();
  std::vector<float> out;
};

TEST_F(EchoAlignerTest, FarEndThatStartedEarlierIsTrimmedToTheNearEndsStart) {
  EchoAligner aligner = make();
  // Both ramps count samples since t = 0; far started at 0, near at 30 ms.
  aligner.pushFar(*ramp(0, 1600), 0);
  aligner.pushNear(*ramp(480, 800), 30 * kMs);
  ASSERT_EQ(log->nearFirst.size(), 5u);
  EXPECT_EQ(log->farFirst, log->nearFirst);  // each pair captured at the same moment
  EXPECT_EQ(out.size(), 800u);
  EXPECT_EQ(out[0], 480);
}

TEST_F(EchoAlignerTest, FarEndThatStartedLaterIsPaddedWithSilence) {
  EchoAligner aligner = make();
  aligner.pushNear(*ramp(0, 800), 0);
  EXPECT_TRUE(out.empty());  // waiting for the far end
  aligner.pushFar(*ramp(320, 800), 20 * kMs);
  ASSERT_EQ(log->farFirst.size(), 5u);
  EXPECT_EQ(log->farFirst, (std::vector<float>{0, 0, 320, 480, 640}));
  EXPECT_EQ(log->nearFirst, (std::vector<float>{0, 160, 320, 480, 640}));
}

TEST_F(EchoAlignerTest, NearEndDoesNotWaitForeverForAMissingFarEnd) {
  EchoAligner aligner = make(/*maxWait=*/3);
  aligner.pushNear(*ramp(0, 3 * kChunk), 0);
  EXPECT_TRUE(out.empty());
  aligner.pushNear(*ramp(3 * kChunk, kChunk), 30 * kMs);
  EXPECT_EQ(out.size(), kChunk);  // the oldest chunk went out against silence
  EXPECT_EQ(log->farFirst, std::vector<float>{0});
  // A far end arriving later lines up with the next near sample.
  aligner.pushFar(*ramp(kChunk, 4 * kChunk), 10 * kMs);
  EXPECT_EQ(log->farFirst, (std::vector<float>{0, 160, 320, 480}));
  EXPECT_EQ(log->nearFirst, (std::vector<float>{0, 160, 320, 480}));
  // finish() flushes a partial chunk.
  aligner.pushNear(*ramp(4 * kChunk, 50), 40 * kMs);
  aligner.finish();
  EXPECT_EQ(out.size(), 4 * kChunk + 50);
}

// A speech-like far end: noise shaped by a slow syllable envelope.
std::vector<float> speechLike(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0, 0.2f);
  std::vector<float> s(n);
  float lp = 0;
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / EchoCanceller::kSampleRate;
    const double envelope = 0.5 + 0.5 * std::sin(2 * M_PI * 3.7 * t) * std::sin(2 * M_PI * 0.9 * t);
    lp = 0.7f * lp + 0.3f * noise(rng);
    s[i] = static_cast<float>(envelope) * lp;
  }
  return s;
}

double energyDb(const std::vector<float>& s, size_t from, size_t to) {
  double e = 1e-12;
  for (size_t i = from; i < to; ++i) e += static_cast<double>(s[i]) * s[i];
  return 10 * std::log10(e / static_cast<double>(to - from));
}

// Runs `near` through the WebRTC canceller with `far` as the far end.
std::vector<float> cancel(const std::vector<float>& far, const std::vector<float>& near) {
  std::vector<float> out;
  EchoAligner aligner(makeWebRtcEchoCanceller(), [&](PcmBufferPtr b) {
    out.insert(out.end(), b->floatChannel(0), b->floatChannel(0) + b->frameLength());
  });
  for (size_t i = 0; i + 1600 <= near.size(); i += 1600) {
    PcmBufferPtr f = PcmBuffer::create(EchoAligner::format(), 1600);
    PcmBufferPtr n = PcmBuffer::create(EchoAligner::format(), 1600);
    f->setFrameLength(1600);
    n->setFrameLength(1600);
    std::copy_n(far.begin() + static_cast<std::ptrdiff_t>(i), 1600, f->floatChannel(0));
    std::copy_n(near.begin() + static_cast<std::ptrdiff_t>(i), 1600, n->floatChannel(0));
    const uint64_t t = i * 1'000'000'000ull / EchoCanceller::kSampleRate;
    aligner.pushFar(*f, t);
    aligner.pushNear(*n, t);
  }
  aligner.finish();
  return out;
}

TEST(WebRtcEchoCanceller, StronglyReducesADelayedEchoOfTheFarEnd) {
  const size_t n = 8 * EchoCanceller::kSampleRate;
  std::vector<float> far = speechLike(n, 1);
  std::vector<float> near(n, 0.0f);
  const size_t delay = 80 * EchoCanceller::kSampleRate / 1000;  // 80 ms echo path
  for (size_t i = delay; i < n; ++i) near[i] = 0.6f * far[i - delay];
  std::vector<float> out = cancel(far, near);
  ASSERT_EQ(out.size(), n);
  // After the canceller has converged (the first 4 s), the echo is down by
  // well over 15 dB.
  const double reduction = energyDb(near, 4 * 16000, n) - energyDb(out, 4 * 16000, n);
  RecordProperty("echoReductionDb", std::to_string(reduction));
  EXPECT_GT(reduction, 15.0);
}

TEST(WebRtcEchoCanceller, LeavesNearEndSpeechWithoutFarEndAudible) {
  const size_t n = 4 * EchoCanceller::kSampleRate;
  std::vector<float> far(n, 0.0f);
  std::vector<float> near = speechLike(n, 2);
  std::vector<float> out = cancel(far, near);
  ASSERT_EQ(out.size(), n);
  EXPECT_LT(energyDb(near, 16000, n) - energyDb(out, 16000, n), 6.0);
}

}  // namespace
}  // namespace tavrin::system_audio
