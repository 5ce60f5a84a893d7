// SystemAudioTap on the scripted server: the staged start with its step
// names, the release of everything on any failure, the stream, and the
// one-time device-lost notice.
#include "system-audio/sources/system_audio_tap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "system-audio/base/errors.h"
#include "tests/support/fake_sound_server.h"

namespace tavrin::system_audio {
namespace {

using testing::FakeSoundServer;
using testing::makeFilledBuffer;

const PcmFormat kSinkFormat{48000, 2, SampleType::kFloat32, true};

std::string startError(SystemAudioTap& tap) {
  try {
    tap.start();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

TEST(SystemAudioTapTest, RecordsTheDefaultSinksMonitorInFloatAtItsRate) {
  FakeSoundServer server;
  server.addSink({"other", "other.monitor", PcmFormat{44100, 1, SampleType::kInt16, true}});
  server.setDefaultSink("other");
  SystemAudioTap tap(server);
  tap.start();
  EXPECT_EQ(tap.sinkName(), "other");
  EXPECT_EQ(tap.format(), (PcmFormat{44100, 1, SampleType::kFloat32, true}));
  const auto request = server.lastStreamRequest();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->sourceName, "other.monitor");
  ASSERT_TRUE(request->format);
  EXPECT_EQ(*request->format, tap.format());
  EXPECT_EQ(request->fragmentFrames, SystemAudioTap::kFragmentFrames);
  EXPECT_EQ(server.runningStreams(), 1);
  EXPECT_EQ(server.subscriptions(), 0);  // nobody asked for device-lost notices
  tap.stop();
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(server.streams(), 0);
}

struct StepCase {
  SoundServerStep step;
  const char* op;
  std::vector<std::string> log;  // what happened, acquisitions and releases
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.op; }

class SystemAudioTapFailureTest : public ::testing::TestWithParam<StepCase> {};

TEST_P(SystemAudioTapFailureTest, AFailedStepReleasesEverythingInReverseAndNamesTheStep) {
  const StepCase& c = GetParam();
  FakeSoundServer server;
  server.failAt(c.step, -17);
  SystemAudioTap tap(server);
  tap.setOnDeviceLost([] {});
  EXPECT_EQ(startError(tap), std::string("CoreAudio error (") + c.op + "): -17");
  EXPECT_EQ(server.log(), c.log);
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(server.streams(), 0);
  EXPECT_EQ(server.subscriptions(), 0);
  EXPECT_TRUE(tap.stream()->isFinished());
  EXPECT_EQ(tap.stream()->next(), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, SystemAudioTapFailureTest,
    ::testing::Values(
        StepCase{SoundServerStep::kConnect, "CreateProcessTap", {}},
        StepCase{SoundServerStep::kServerInfo, "DefaultOutputDevice", {"connect", "~connect"}},
        StepCase{SoundServerStep::kSinkInfo, "OutputDeviceUID", {"connect", "~connect"}},
        StepCase{SoundServerStep::kSourceInfo, "TapFormat", {"connect", "~connect"}},
        StepCase{SoundServerStep::kCreateStream, "CreateIOProc", {"connect", "~connect"}},
        StepCase{SoundServerStep::kStartStream,
                 "DeviceStart",
                 {"connect", "stream:system_output.monitor", "~stream:system_output.monitor", "~connect"}}),
    [](const ::testing::TestParamInfo<StepCase>& param) { return std::string(param.param.op); });

TEST(SystemAudioTapTest, MissingDefaultSinkMonitorOrFormatFailsWithoutLeftovers) {
  {
    FakeSoundServer server;
    server.setDefaultSink("");
    SystemAudioTap tap(server);
    EXPECT_EQ(startError(tap), "CoreAudio error (DefaultOutputDevice): 0");
    EXPECT_EQ(server.connections(), 0);
  }
  {
    FakeSoundServer server;
    server.addSink({"bare", "", kSinkFormat});
    server.setDefaultSink("bare");
    SystemAudioTap tap(server);
    EXPECT_EQ(startError(tap), "CoreAudio error (OutputDeviceUID): 0");
    EXPECT_EQ(server.connections(), 0);
  }
  {
    FakeSoundServer server;
    server.addSink({"broken", "broken.monitor", PcmFormat{0, 2, SampleType::kFloat32, true}});
    server.setDefaultSink("broken");
    SystemAudioTap tap(server);
    EXPECT_EQ(startError(tap), "No compatible SpeechAnalyzer audio format is installed.");
    EXPECT_EQ(server.connections(), 0);
    EXPECT_EQ(server.streams(), 0);
  }
}

TEST(SystemAudioTapTest, DeliversIndependentCopiesInOrderAndStopEndsTheStream) {
  FakeSoundServer server;
  SystemAudioTap tap(server);
  tap.start();
  for (int i = 1; i <= 3; ++i) server.deliver("system_output.monitor", makeFilledBuffer(kSinkFormat, 16, 0.1f * i));
  tap.stop();
  EXPECT_EQ(server.deliver("system_output.monitor", makeFilledBuffer(kSinkFormat, 16, 1)), 0);
  std::vector<float> firsts;
  while (auto buffer = tap.stream()->next()) {
    firsts.push_back(reinterpret_cast<const float*>((*buffer)->data(0))[0]);
  }
  ASSERT_EQ(firsts.size(), 3u);
  EXPECT_FLOAT_EQ(firsts[0], 0.1f);
  EXPECT_FLOAT_EQ(firsts[2], 0.3f);
  tap.stop();  // again: nothing more happens
  EXPECT_EQ(server.connections(), 0);
}

TEST(SystemAudioTapTest, StopBeforeStartOnlyFinishesTheStream) {
  FakeSoundServer server;
  SystemAudioTap tap(server);
  tap.stop();
  tap.stop();
  EXPECT_TRUE(tap.stream()->isFinished());
  EXPECT_TRUE(server.log().empty());
}

TEST(SystemAudioTapTest, DeviceLostFiresOnceForAnyNumberOfDefaultChanges) {
  FakeSoundServer server;
  server.addSink({"headphones", "headphones.monitor", kSinkFormat});
  std::atomic<int> lost{0};
  SystemAudioTap tap(server);
  tap.setOnDeviceLost([&] { ++lost; });
  tap.start();
  server.setDefaultSink("system_output");  // no change of name: not a loss
  EXPECT_EQ(lost, 0);
  server.setDefaultSink("headphones");
  server.setDefaultSink("system_output");
  server.setDefaultSink("headphones");
  EXPECT_EQ(lost, 1);
  // Capture stays on the sink it started on.
  EXPECT_EQ(server.deliver("system_output.monitor", makeFilledBuffer(kSinkFormat, 8, 0.5f)), 1);
  EXPECT_EQ(server.deliver("headphones.monitor", makeFilledBuffer(kSinkFormat, 8, 0.5f)), 0);
  tap.stop();
  EXPECT_EQ(server.subscriptions(), 0);
  server.setDefaultSink("system_output");
  EXPECT_EQ(lost, 1);
}

TEST(SystemAudioTapTest, ARefusedSubscriptionLeavesCaptureRunning) {
  FakeSoundServer server;
  server.refuseSubscriptions();
  SystemAudioTap tap(server);
  tap.setOnDeviceLost([] {});
  tap.start();
  EXPECT_EQ(server.runningStreams(), 1);
}

// Buffers arrive on the server's thread while the owner reads and then stops.
TEST(SystemAudioTapConcurrencyTest, EveryBufferDeliveredBeforeStopReachesTheReader) {
  FakeSoundServer server;
  SystemAudioTap tap(server);
  tap.start();
  std::atomic<int> delivered{0};
  std::atomic<bool> done{false};
  std::thread producer([&] {
    const auto buffer = makeFilledBuffer(kSinkFormat, 64, 0.25f);
    while (!done) delivered += server.deliver("system_output.monitor", buffer);
  });
  int read = 0;
  std::thread reader([&] {
    while (auto buffer = tap.stream()->next()) ++read;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  tap.stop();
  // After stop no stream takes buffers any more, so `delivered` stops
  // growing; every buffer it counts was handed to the tap before the stop.
  done = true;
  producer.join();
  reader.join();
  EXPECT_EQ(read, delivered);
  EXPECT_GT(read, 0);
}

}  // namespace
}  // namespace tavrin::system_audio
