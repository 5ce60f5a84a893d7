// record, by both capture paths, and probe on the scripted server and system.
#include <gtest/gtest.h>

#include <filesystem>

#include "system-audio/base/errors.h"
#include "system-audio/recording/probe.h"
#include "system-audio/recording/record_audio.h"
#include "tests/support/fake_sound_server.h"
#include "tests/support/fake_system_env.h"
#include "tests/support/samples.h"
#include "tests/support/subprocess.h"

namespace tavrin::system_audio {
namespace {

using testing::floatSamples;
using testing::makeTone;
using testing::readFile;

const PcmFormat kSinkFormat{48000, 2, SampleType::kFloat32, true};

// A one-sample float audio buffer presented at `seconds`.
SampleBuffer audio(double seconds) {
  const float sample = 0;
  SampleBuffer buffer;
  buffer.presentationTime = MediaTime{static_cast<int64_t>(seconds * 1000), 1000};
  buffer.description = AudioStreamDescription{16000, kAudioFormatFlagIsFloat, 4, 1, 32};
  const auto* bytes = reinterpret_cast<const std::byte*>(&sample);
  buffer.buffers.emplace_back(bytes, bytes + sizeof sample);
  return buffer;
}

struct Rig {
  explicit Rig(bool tap) : gates(tap, true) {}
  RecordRequest request(std::optional<uint64_t> seconds) {
    return RecordRequest{dir.file("out.raw"), seconds, std::nullopt, dir.file("start")};
  }
  void deliverEachPause(float value, uint32_t frames = 4800) {
    env.onSleep([this, value, frames](int) {
      server.deliver("system_output.monitor", makeTone(kSinkFormat, frames, 0, value));
    });
  }
  testing::FakeSystemEnv env;
  testing::FakeGates gates;
  testing::FakeSoundServer server;
  std::unique_ptr<ScreenCaptureService> screen = makeSoundServerScreenCapture(server);
  testing::TempDir dir;
  RecordingPlatform platform{env, gates, server, *screen, [] { return 1700000000.5; }};
};

TEST(RecordTest, BothPathsRecordSixteenKilohertzMonoOnlyTheTapUnclampedAndReplyWithTheFile) {
  for (const bool tap : {true, false}) {
    Rig rig(tap);
    testing::writeFile(rig.dir.file("out.raw"), "stale");
    rig.deliverEachPause(1.5f);  // 100 ms of loud audio per 100 ms pause
    const auto stats = recordAudio(rig.request(1), rig.platform);
    EXPECT_EQ(rig.env.sleeps(), 10);
    EXPECT_GT(stats.sampleCount, 15800) << tap;
    EXPECT_LE(stats.sampleCount, 16000) << tap;
    EXPECT_EQ(encodeReply(stats), R"({"sampleCount":)" + std::to_string(stats.sampleCount) + R"(,"bufferCount":10,)" +
                                      R"("durationMs":)" + std::to_string(stats.sampleCount / 16) + "}");
    const auto samples = floatSamples(readFile(rig.dir.file("out.raw")));
    EXPECT_EQ(static_cast<int64_t>(samples.size()), stats.sampleCount);
    EXPECT_NEAR(samples.back(), tap ? 1.5f : 1.f, 0.01f);
    EXPECT_EQ(readFile(rig.dir.file("start")), "1700000000.5");
    rig.screen.reset();
    EXPECT_EQ(rig.server.held(), 0);  // everything was released
  }
}

// A stop that comes while capture starts ends the recording there, empty.
TEST(RecordTest, AStopDuringStartAcquiresNothingMoreAndRepliesEmpty) {
  for (const bool tap : {true, false}) {
    Rig rig(tap);
    auto request = rig.request(std::nullopt);
    request.stopFilePath = "/tmp/stop";
    rig.env.addPath("/tmp/stop");
    EXPECT_EQ(encodeReply(recordAudio(request, rig.platform)), R"({"sampleCount":0,"bufferCount":0,"durationMs":0})");
    EXPECT_EQ(rig.server.log(), std::vector<std::string>{}) << tap;
    EXPECT_EQ(readFile(rig.dir.file("out.raw")), "");
  }
}

TEST(RecordingOutputTest, StartFileIsWrittenOnceAtomicallyWithTheTimeOfTheFirstBuffer) {
  EXPECT_EQ(formatStartTime(1733533200.25), "1733533200.25");
  EXPECT_EQ(std::stod(formatStartTime(1796605712.5005882)), 1796605712.5005882);
  testing::TempDir dir;
  auto file = OutputFile::create(dir.file("out.raw"));
  int clockReads = 0;
  TapRecordingWriter(*file, dir.file("start"), [&] { return ++clockReads; }).snapshot();  // no audio: no start file
  {
    TapRecordingWriter writer(*file, dir.file("start"), [&] { return 1700000000.0 + ++clockReads; });
    writer.write(*makeTone(PcmFormat::float32(16000, 1), 23, 0, 0.1f));
    writer.write(*makeTone(PcmFormat{16000, 1, SampleType::kFloat32, true}, 4, 0, 0.1f));  // no float channel: ignored
    writer.write(*makeTone(PcmFormat::float32(16000, 1), 1, 0, 0.1f));
    // 1.5 ms: durationMs truncates
    EXPECT_EQ(encodeReply(writer.snapshot()), R"({"sampleCount":24,"bufferCount":2,"durationMs":1})");
  }
  EXPECT_EQ(clockReads, 1);
  EXPECT_EQ(readFile(dir.file("start")), "1700000001.0");
  // out.raw and start: no temporary left behind
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

TEST(ProbeTest, CountsAudioBuffersAndTheirTimesAndFailsRatherThanReplyPartially) {
  testing::FakeSystemEnv env;
  testing::FakeSoundServer server;
  auto screen = makeSoundServerScreenCapture(server);
  env.onSleep([&](int n) {
    if (n > 0) return;  // the probe sleeps in slices: deliver once
    for (const uint64_t ms : {700'250, 701'750}) {
      server.deliver("system_output.monitor", makeTone(kSinkFormat, 4800, 0, 0), ms * 1'000'000);
    }
  });
  EXPECT_EQ(encodeReply(runProbe(3, *screen, env)),
            R"({"bufferCount":2,"firstPresentationSeconds":700.25,"lastPresentationSeconds":701.75,)"
            R"("observedDurationSeconds":1.5})");
  EXPECT_EQ(env.nanos() - 1'000'000'000u, 3'000'000'000u);
  AudioProbeOutput none, output;
  EXPECT_EQ(encodeReply(none.snapshot()), R"({"bufferCount":0})");
  auto invalid = audio(1);
  invalid.valid = false;
  output.stream(audio(5), StreamOutputType::kAudio);
  output.stream(invalid, StreamOutputType::kAudio);
  output.stream(audio(2), StreamOutputType::kScreen);
  output.stream(audio(4), StreamOutputType::kAudio);  // backwards: no negative span
  EXPECT_EQ(output.snapshot().bufferCount, 2);
  EXPECT_EQ(output.snapshot().observedDurationSeconds, 0.0);
  env.onSleep([&](int) { server.failStreams("Connection terminated"); });
  try {
    runProbe(1, *screen, env);
    ADD_FAILURE() << "a dead stream gave a reply";
  } catch (const PlatformError& e) {
    EXPECT_STREQ(e.what(), "Connection terminated");
  }
  testing::FakeSoundServer empty;  // that server is gone
  empty.clearSinks();
  EXPECT_THROW(runProbe(1, *makeSoundServerScreenCapture(empty), env), SystemAudioError);
}

}  // namespace
}  // namespace tavrin::system_audio
