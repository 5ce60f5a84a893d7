// MicCapture on the scripted sound server: plain capture, the echo
// cancellation fallback line, start failures that release everything, and
// the cancelling path (far end from the default sink's monitor).
#include <gtest/gtest.h>

#include <atomic>

#include "system-audio/sources/mic_capture.h"
#include "system-audio/base/errors.h"
#include "tests/support/fake_sound_server.h"

namespace tavrin::system_audio {
namespace {

using testing::FakeSoundServer;
using testing::makeFilledBuffer;

const PcmFormat kMicFormat{48000, 1, SampleType::kFloat32, true};
const PcmFormat kSinkFormat{48000, 2, SampleType::kFloat32, true};
constexpr const char* kPrefix = "mic: voice processing unavailable, continuing without echo cancellation (";

// Counts the chunks it sees and scales the near end by 0.5, so a test can
// tell processed audio from raw audio.
class HalvingCanceller final : public EchoCanceller {
 public:
  explicit HalvingCanceller(std::shared_ptr<std::atomic<int>> farChunks) : farChunks_(std::move(farChunks)) {}
  void analyzeFarEnd(const float*) override { ++*farChunks_; }
  void processNearEnd(float* chunk) override {
    for (uint32_t i = 0; i < kChunkFrames; ++i) chunk[i] *= 0.5f;
  }

 private:
  std::shared_ptr<std::atomic<int>> farChunks_;
};

class MicCaptureTest : public ::testing::Test {
 protected:
  std::unique_ptr<MicCapture> make(bool voiceProcessing) {
    return std::make_unique<MicCapture>(
        server, voiceProcessing, [this](const std::string& line) { diagnostics.push_back(line); },
        [this]() -> std::unique_ptr<EchoCanceller> {
          if (cancellerFailure) throw std::runtime_error(*cancellerFailure);
          return std::make_unique<HalvingCanceller>(farChunks);
        });
  }

  static std::vector<PcmBufferPtr> drain(MicCapture& mic) {
    std::vector<PcmBufferPtr> out;
    while (auto b = mic.stream()->next()) out.push_back(*b);
    return out;
  }

  FakeSoundServer server;
  std::vector<std::string> diagnostics;
  std::optional<std::string> cancellerFailure;
  std::shared_ptr<std::atomic<int>> farChunks = std::make_shared<std::atomic<int>>(0);
};

TEST_F(MicCaptureTest, WithoutVoiceProcessingDeliversTheDefaultSourceInItsOwnFormat) {
  auto mic = make(false);
  mic->start();
  EXPECT_FALSE(mic->echoCancelling());
  ASSERT_TRUE(server.lastStreamRequest());
  EXPECT_EQ(server.lastStreamRequest()->sourceName, "virtual_mic");
  EXPECT_EQ(server.lastStreamRequest()->fragmentFrames, 2048u);
  EXPECT_FALSE(server.lastStreamRequest()->format.has_value());
  EXPECT_EQ(server.runningStreams(), 1);  // no far end was asked for
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(server.deliver("virtual_mic", makeFilledBuffer(kMicFormat, 64, 0.1f * i)), 1);
  mic->stop();
  auto buffers = drain(*mic);
  ASSERT_EQ(buffers.size(), 3u);
  EXPECT_EQ(buffers[2]->format(), kMicFormat);
  EXPECT_FLOAT_EQ(reinterpret_cast<const float*>(buffers[2]->data(0))[0], 0.3f);
  EXPECT_TRUE(diagnostics.empty());
  EXPECT_EQ(server.connections(), 0);
  mic->stop();  // again: nothing happens
}

TEST_F(MicCaptureTest, EchoCancellationThatCannotStartIsOneLineAndCaptureGoesOn) {
  struct Case {
    std::function<void()> arrange;
    std::string reason;
  };
  std::vector<Case> cases = {
      {[this] { cancellerFailure = "no canceller"; }, "no canceller"},
      {[this] { server.failAt(SoundServerStep::kStartStream, 6); }, "fake failure 6"},
      {[this] { server.failAt(SoundServerStep::kSinkInfo, 5); }, "fake failure 5"},
  };
  for (const Case& c : cases) {
    diagnostics.clear();
    cancellerFailure.reset();
    c.arrange();
    auto mic = make(true);
    mic->start();
    EXPECT_FALSE(mic->echoCancelling());
    EXPECT_EQ(diagnostics, std::vector<std::string>{kPrefix + c.reason + ")"});
    EXPECT_EQ(server.runningStreams(), 1);
    server.deliver("virtual_mic", makeFilledBuffer(kMicFormat, 64, 0.25f));
    mic->stop();
    auto buffers = drain(*mic);
    ASSERT_EQ(buffers.size(), 1u);
    EXPECT_EQ(buffers[0]->format(), kMicFormat);  // untouched
    EXPECT_EQ(server.streams(), 0);
  }
}

TEST_F(MicCaptureTest, AFailedStartReleasesEverythingAndEndsTheStreamEmpty) {
  for (SoundServerStep step : {SoundServerStep::kConnect, SoundServerStep::kServerInfo, SoundServerStep::kSourceInfo,
                               SoundServerStep::kCreateStream}) {
    FakeSoundServer fresh;
    fresh.failAt(step, 6);
    MicCapture mic(fresh, false, [](const std::string&) {});
    EXPECT_THROW(mic.start(), SoundServerError);
    EXPECT_EQ(fresh.connections(), 0);
    EXPECT_EQ(fresh.streams(), 0);
    EXPECT_EQ(mic.stream()->next(), std::nullopt);
  }
  server.setDefaultSource("");
  auto mic = make(false);
  try {
    mic->start();
    FAIL() << "expected a failure";
  } catch (const PlatformError& e) {
    EXPECT_STREQ(e.what(), "No audio input device is available.");
  }
  EXPECT_EQ(server.connections(), 0);
}

TEST_F(MicCaptureTest, CancellingPathConvertsAlignsAndDrainsOnStop) {
  auto mic = make(true);
  mic->start();
  EXPECT_TRUE(mic->echoCancelling());
  EXPECT_TRUE(diagnostics.empty());
  EXPECT_EQ(server.runningStreams(), 2);
  // 0.5 s of both ends, captured at the same times.
  for (int i = 0; i < 5; ++i) {
    const uint64_t t = 1'000'000'000ull + static_cast<uint64_t>(i) * 100'000'000ull;
    server.deliver("system_output.monitor", makeFilledBuffer(kSinkFormat, 4800, 0.2f), t);
    server.deliver("virtual_mic", makeFilledBuffer(kMicFormat, 4800, 0.4f), t);
  }
  mic->stop();
  auto buffers = drain(*mic);
  ASSERT_FALSE(buffers.empty());
  uint64_t frames = 0;
  for (auto& b : buffers) {
    EXPECT_EQ(b->format(), EchoAligner::format());
    frames += b->frameLength();
  }
  // 24000 frames at 48 kHz are 8000 at 16 kHz, less what the resampler
  // holds back.
  EXPECT_GT(frames, 7800u);
  EXPECT_LE(frames, 8000u);
  EXPECT_GT(*farChunks, 45);
  // Processed audio: a steady 0.4 halved.
  const PcmBuffer& last = *buffers.back();
  EXPECT_NEAR(last.floatChannel(0)[last.frameLength() / 2], 0.2f, 0.02f);
  EXPECT_EQ(server.streams(), 0);
  EXPECT_EQ(server.connections(), 0);
}

}  // namespace
}  // namespace tavrin::system_audio
