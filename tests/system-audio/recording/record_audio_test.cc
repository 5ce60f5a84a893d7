// record, probe and status on the scripted server, screen-capture service
// and system: path choice, waiting, the reply, and every failure.
#include "system-audio/recording/record_audio.h"

#include <gtest/gtest.h>

#include "system-audio/recording/probe.h"
#include "system-audio/recording/status_check.h"
#include "tests/system-audio/recording/fake_screen_capture.h"
#include "tests/support/fake_sound_server.h"
#include "tests/support/fake_system_env.h"
#include "tests/support/subprocess.h"

namespace tavrin::system_audio {
namespace {

using testing::audioBuffer;
using testing::FakeGates;
using testing::FakeScreenCapture;
using testing::FakeSoundServer;
using testing::FakeSystemEnv;
using testing::makeFilledBuffer;
using testing::TempDir;

const PcmFormat kSinkFormat{48000, 2, SampleType::kFloat32, true};

struct Rig {
  FakeSystemEnv env;
  FakeGates gates;
  FakeSoundServer server;
  FakeScreenCapture screen;
  TempDir dir;
  RecordingPlatform platform{env, gates, server, screen, [] { return 1700000000.5; }};

  explicit Rig(bool tap) : gates(tap, true) {}

  RecordRequest request(std::optional<uint64_t> seconds) {
    RecordRequest r;
    r.outputPath = dir.file("out.raw");
    r.seconds = seconds;
    r.startFilePath = dir.file("start");
    return r;
  }
  std::string error(const RecordRequest& r) {
    try {
      recordAudio(r, platform);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
};

TEST(RecordAudioTest, TapPathConvertsToSixteenKilohertzMonoAndRepliesWithWhatTheFileHolds) {
  Rig rig(true);
  // Each 100 ms pause, the server delivers 100 ms of audio.
  rig.env.onSleep([&](int) { rig.server.deliver("system_output.monitor", makeFilledBuffer(kSinkFormat, 4800, 0.5f)); });
  const auto stats = recordAudio(rig.request(1), rig.platform);
  EXPECT_EQ(rig.env.sleeps(), 10);
  EXPECT_GT(stats.sampleCount, 15000);
  EXPECT_LE(stats.sampleCount, 16000);
  EXPECT_EQ(stats.bufferCount, 10);
  EXPECT_EQ(stats.durationMs, static_cast<uint64_t>(stats.sampleCount) / 16);
  EXPECT_EQ(static_cast<int64_t>(testing::readFile(rig.dir.file("out.raw")).size()), stats.sampleCount * 4);
  EXPECT_EQ(testing::readFile(rig.dir.file("start")), "1700000000.5");
  EXPECT_EQ(rig.server.connections(), 0);  // the tap was stopped
}

TEST(RecordAudioTest, WithoutSecondsItRunsUntilTheStopFile) {
  Rig rig(true);
  auto request = rig.request(std::nullopt);
  request.stopFilePath = rig.dir.file("stop");
  rig.env.onSleep([&](int n) {
    rig.server.deliver("system_output.monitor", makeFilledBuffer(kSinkFormat, 480, 0.1f));
    if (n == 4) rig.env.addPath(rig.dir.file("stop"));
  });
  const auto stats = recordAudio(request, rig.platform);
  EXPECT_EQ(rig.env.sleeps(), 5);
  EXPECT_EQ(stats.bufferCount, 5);
}

TEST(RecordAudioTest, NoAudioGivesAnEmptyFileNoStartFileAndZeroCounts) {
  Rig rig(true);
  testing::writeFile(rig.dir.file("out.raw"), "stale");
  const auto stats = recordAudio(rig.request(1), rig.platform);
  EXPECT_EQ(encodeReply(stats), R"({"sampleCount":0,"bufferCount":0,"durationMs":0})");
  EXPECT_EQ(testing::readFile(rig.dir.file("out.raw")), "");
  EXPECT_FALSE(rig.env.pathExists(rig.dir.file("start")));
  EXPECT_NE(::access(rig.dir.file("start").c_str(), F_OK), 0);
}

TEST(RecordAudioTest, TapStartFailureReportsTheStepAndReleasesTheServer) {
  Rig rig(true);
  rig.server.failAt(SoundServerStep::kStartStream, 9);
  EXPECT_EQ(rig.error(rig.request(1)), "CoreAudio error (DeviceStart): 9");
  EXPECT_EQ(rig.server.connections(), 0);
  EXPECT_EQ(rig.server.streams(), 0);
  EXPECT_EQ(testing::readFile(rig.dir.file("out.raw")), "");
}

TEST(RecordAudioTest, AnOutputThatCannotBeOpenedFailsBeforeCapture) {
  Rig rig(true);
  auto request = rig.request(1);
  request.outputPath = rig.dir.file("missing/out.raw");
  EXPECT_EQ(rig.error(request), "Could not open system audio output file: " + request.outputPath + ".");
  request.outputPath = "";
  EXPECT_EQ(rig.error(request), "Could not open system audio output file: .");
  EXPECT_TRUE(rig.server.log().empty());
}

TEST(RecordAudioTest, AFullDiskEndsTheRecordingAtOnceWithThePlatformMessage) {
  Rig rig(true);
  auto request = rig.request(100);
  request.outputPath = "/dev/full";
  rig.env.onSleep([&](int) { rig.server.deliver("system_output.monitor", makeFilledBuffer(kSinkFormat, 4800, 0.5f)); });
  EXPECT_EQ(rig.error(request), "No space left on device");
  EXPECT_LT(rig.env.sleeps(), 1000);  // far less than the 100 s asked for
  EXPECT_EQ(rig.server.connections(), 0);
}

TEST(RecordAudioTest, ScreenCapturePathDecodesClampsAndReplies) {
  Rig rig(false);
  rig.env.onSleep([&](int n) {
    if (n < 3) rig.screen.push(audioBuffer<int16_t>({32767, -32768, 0, 100}, kAudioFormatFlagIsSignedInteger, 16));
  });
  const auto stats = recordAudio(rig.request(2), rig.platform);
  EXPECT_EQ(encodeReply(stats), R"({"sampleCount":12,"bufferCount":3,"durationMs":0})");
  EXPECT_TRUE(rig.server.log().empty());  // the tap was not used
  EXPECT_EQ(rig.screen.streamDisplay, "system_output");
  EXPECT_EQ(rig.screen.configuration.sampleRate, 16000u);
  EXPECT_EQ(rig.screen.configuration.channelCount, 1u);
  EXPECT_TRUE(rig.screen.shared->stopped);
  EXPECT_EQ(testing::readFile(rig.dir.file("out.raw")).size(), 48u);
  EXPECT_EQ(testing::readFile(rig.dir.file("start")), "1700000000.5");
}

TEST(RecordAudioTest, ScreenCaptureFailuresPassThrough) {
  {
    Rig rig(false);
    rig.screen.displays.clear();
    EXPECT_EQ(rig.error(rig.request(1)), "No display is available for ScreenCaptureKit content filtering.");
  }
  {
    Rig rig(false);
    rig.screen.contentError = "Connection refused";
    EXPECT_EQ(rig.error(rig.request(1)), "Connection refused");
  }
  {
    Rig rig(false);
    rig.screen.shared->failStart = "Access denied";
    EXPECT_EQ(rig.error(rig.request(1)), "Access denied");
  }
  {
    Rig rig(false);
    rig.screen.shared->failStop = "Timeout";
    EXPECT_EQ(rig.error(rig.request(1)), "Timeout");
  }
}

TEST(RecordAudioTest, AScreenCaptureStreamThatDiesEndsWithStreamStoppedAndKeepsItsSamples) {
  Rig rig(false);
  auto request = rig.request(std::nullopt);
  rig.env.onSleep([&](int n) {
    rig.screen.push(audioBuffer<float>({0.25f}, kAudioFormatFlagIsFloat, 32));
    if (n == 2) rig.screen.die("Connection terminated");
  });
  EXPECT_EQ(rig.error(request), "System audio stream stopped: Connection terminated.");
  EXPECT_EQ(rig.env.sleeps(), 3);
  EXPECT_EQ(testing::readFile(rig.dir.file("out.raw")).size(), 12u);
}

TEST(RecordWaitTest, HugeSecondsAreCappedInsteadOfOverflowing) {
  for (const uint64_t seconds : {kMaxRecordSeconds + 1, std::numeric_limits<uint64_t>::max()}) {
    FakeSystemEnv env;
    StreamDeathWatcher watcher;
    env.onSleep([&](int n) {
      if (n == 50) watcher.streamDidStop("enough");
    });
    RecordRequest request;
    request.seconds = seconds;
    waitForRecordingEnd(request, watcher, env);
    // An overflowed wait would have ended after a few hundred milliseconds.
    EXPECT_EQ(env.sleeps(), 51) << seconds;
  }
}

TEST(RecordWaitTest, SecondsAreWaitedInFull) {
  FakeSystemEnv env;
  StreamDeathWatcher watcher;
  RecordRequest request;
  request.seconds = 3;
  const uint64_t before = env.nanos();
  waitForRecordingEnd(request, watcher, env);
  EXPECT_EQ(env.nanos() - before, 3'000'000'000ull);
}

// --- probe ------------------------------------------------------------------------

TEST(ProbeTest, CountsAudioBuffersAndTheirTimes) {
  FakeSystemEnv env;
  FakeScreenCapture screen;
  env.onSleep([&](int) {
    screen.push(audioBuffer<float>({0.f}, kAudioFormatFlagIsFloat, 32, 700.25));
    screen.push(audioBuffer<float>({0.f}, kAudioFormatFlagIsFloat, 32, 0.0), StreamOutputType::kScreen);
    auto invalid = audioBuffer<float>({0.f}, kAudioFormatFlagIsFloat, 32, 0.0);
    invalid.valid = false;
    screen.push(invalid);
    screen.push(audioBuffer<float>({0.f}, kAudioFormatFlagIsFloat, 32, 701.75));
  });
  const uint64_t before = env.nanos();
  const auto stats = runProbe(3, screen, env);
  EXPECT_EQ(env.nanos() - before, 3'000'000'000ull);
  EXPECT_EQ(encodeReply(stats),
            R"({"bufferCount":2,"firstPresentationSeconds":700.25,"lastPresentationSeconds":701.75,)"
            R"("observedDurationSeconds":1.5})");
  EXPECT_TRUE(screen.shared->stopped);
  EXPECT_EQ(screen.shared->delegate, nullptr);
}

TEST(ProbeTest, NoBufferOneBufferAndBackwardsTimes) {
  AudioProbeOutput none;
  EXPECT_EQ(encodeReply(none.snapshot()), R"({"bufferCount":0})");
  AudioProbeOutput one;
  one.stream(audioBuffer<float>({0.f}, kAudioFormatFlagIsFloat, 32, 2.5), StreamOutputType::kAudio);
  EXPECT_EQ(encodeReply(one.snapshot()),
            R"({"bufferCount":1,"firstPresentationSeconds":2.5,"lastPresentationSeconds":2.5,"observedDurationSeconds":0})");
  AudioProbeOutput backwards;
  backwards.stream(audioBuffer<float>({0.f}, kAudioFormatFlagIsFloat, 32, 5), StreamOutputType::kAudio);
  backwards.stream(audioBuffer<float>({0.f}, kAudioFormatFlagIsFloat, 32, 4), StreamOutputType::kAudio);
  EXPECT_EQ(backwards.snapshot().observedDurationSeconds, 0.0);
}

TEST(ProbeTest, FailuresEndTheProbeWithoutAReply) {
  FakeSystemEnv env;
  FakeScreenCapture screen;
  screen.displays.clear();
  EXPECT_THROW(
      {
        try {
          runProbe(1, screen, env);
        } catch (const SystemAudioError& e) {
          EXPECT_EQ(e.errorCase(), SystemAudioError::Case::kNoDisplay);
          throw;
        }
      },
      SystemAudioError);
  FakeScreenCapture failing;
  failing.shared->failStop = "stop failed";
  EXPECT_THROW(runProbe(1, failing, env), PlatformError);
  FakeScreenCapture refusing;
  refusing.shared->failAddOutput = "no output";
  EXPECT_THROW(runProbe(1, refusing, env), PlatformError);
}

// --- status -----------------------------------------------------------------------

TEST(StatusCheckTest, TheTapGateAnswersAtOnceOtherwiseTheScreenCaptureServiceDecides) {
  FakeScreenCapture screen;
  screen.contentError = "never asked";
  FakeGates tap(true, true);
  EXPECT_EQ(encodeReply(checkStatus(tap, screen)), R"({"available":true,"status":"available"})");

  FakeGates older(false, true);
  screen.contentError = "Connection refused";
  EXPECT_EQ(encodeReply(checkStatus(older, screen)),
            R"({"available":false,"status":"unavailable","reason":"Connection refused"})");
  screen.contentError.reset();
  screen.displays.clear();
  EXPECT_EQ(encodeReply(checkStatus(older, screen)),
            R"({"available":false,"status":"no_display","reason":"No display is available for ScreenCaptureKit content filtering."})");
  screen.displays.push_back({"system_output", "system_output.monitor"});
  EXPECT_EQ(encodeReply(checkStatus(older, screen)), R"({"available":true,"status":"available"})");
}

}  // namespace
}  // namespace tavrin::system_audio
