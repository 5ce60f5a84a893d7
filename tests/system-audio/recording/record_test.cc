// record, probe and status on the scripted server and system, by both capture paths.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "system-audio/base/errors.h"
#include "system-audio/recording/probe.h"
#include "system-audio/recording/record_audio.h"
#include "system-audio/recording/status_check.h"
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

// A one-buffer audio sample buffer of T samples.
template <typename T>
SampleBuffer audio(const std::vector<T>& samples, uint32_t flags, uint32_t bits, double seconds = 0) {
  SampleBuffer buffer;
  buffer.presentationTime = MediaTime{static_cast<int64_t>(seconds * 1000), 1000};
  buffer.description = AudioStreamDescription{16000, flags, bits / 8, 1, bits};
  const auto* bytes = reinterpret_cast<const std::byte*>(samples.data());
  buffer.buffers.emplace_back(bytes, bytes + samples.size() * sizeof(T));
  return buffer;
}
const uint32_t kFloat = kAudioFormatFlagIsFloat, kInt = kAudioFormatFlagIsSignedInteger;

struct Rig {
  explicit Rig(bool tap) : gates(tap, true) {}
  RecordRequest request(std::optional<uint64_t> seconds) {
    return RecordRequest{dir.file("out.raw"), seconds, std::nullopt, dir.file("start")};
  }
  std::string error(const RecordRequest& r) {
    try {
      recordAudio(r, platform);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "no error";
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

TEST(RecordTest, FailuresEndTheRecordingWithTheirText) {
  const struct {
    bool tap;
    std::function<void(Rig&, RecordRequest&)> arrange;
    std::string error;
  } rows[] = {
      {true, [](Rig& r, auto&) { r.server.failAt(SoundServerStep::kStartStream, 9); },
       "CoreAudio error (DeviceStart): 9"},
      {true, [](Rig& r, auto& q) { q.outputPath = r.dir.file("missing/out.raw"); },
       "Could not open system audio output file"},
      {true,
       [](Rig& r, auto& q) {
         q.outputPath = "/dev/full";
         q.seconds = 100;
         r.deliverEachPause(0.5f);
       },
       "No space left on device"},
      {true,
       [](Rig& r, auto& q) {
         q.seconds = 100;
         r.env.onSleep([&r](int n) {
           r.server.deliver("system_output.monitor", makeTone(kSinkFormat, 4800, 0, 0.5f));
           if (n == 2) r.server.failStreams("Connection terminated");
         });
       },
       "System audio stream stopped: Connection terminated."},
      {false, [](Rig& r, auto&) { r.server.clearSinks(); },
       "No display is available for ScreenCaptureKit content filtering."},
      {false, [](Rig& r, auto&) { r.server.failAt(SoundServerStep::kConnect, 111); }, "fake failure 111"},
      {false, [](Rig& r, auto&) { r.server.failAt(SoundServerStep::kStartStream, 5); }, "fake failure 5"},
      {false,
       [](Rig& r, auto& q) {
         q.seconds.reset();
         r.env.onSleep([&r](int n) {
           if (n == 2) r.server.failStreams("Connection terminated");
         });
       },
       "System audio stream stopped: Connection terminated."},
  };
  for (const auto& row : rows) {
    Rig rig(row.tap);
    auto request = rig.request(1);
    row.arrange(rig, request);
    EXPECT_EQ(rig.error(request).substr(0, row.error.size()), row.error);
    EXPECT_LT(rig.env.sleeps(), 1000) << row.error;  // early, not after the 100 s asked for
    rig.screen.reset();
    EXPECT_EQ(rig.server.held(), 0) << row.error;
  }
}

TEST(RecordTest, HugeSecondsAreCappedInsteadOfOverflowing) {
  for (const uint64_t seconds : {kMaxRecordSeconds + 1, UINT64_MAX, uint64_t{3}}) {
    testing::FakeSystemEnv env;
    StreamDeathWatcher watcher;
    env.onSleep([&](int n) {
      if (n == 50) watcher.streamDidStop("enough");
    });
    waitForRecordingEnd(RecordRequest{"", seconds, {}, {}}, watcher, env);
    EXPECT_EQ(env.nanos() - 1'000'000'000u, seconds == 3 ? 3'000'000'000u : 5'100'000'000u) << seconds;
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

TEST(RecordingOutputTest, ScreenCaptureSamplesAreScaledClampedOrRefused) {
  const struct {
    SampleBuffer buffer;
    std::optional<std::vector<float>> samples;
  } rows[] = {
      {audio<float>({0.5f, 3.f, -2.f}, kFloat, 32), std::vector<float>{0.5f, 1.f, -1.f}},
      {audio<int16_t>({32767, -32768, 0}, kInt | kAudioFormatFlagIsPacked, 16), std::vector<float>{1.f, -1.f, 0.f}},
      {audio<int32_t>({-2147483647 - 1, 1073741824}, kInt, 32), std::vector<float>{-1.f, 0.5f}},
      {audio<int32_t>({1}, kInt, 24), std::nullopt},
      {audio<float>({}, kFloat, 32), std::nullopt},
  };
  for (const auto& row : rows) {
    const auto bytes = extractFloat32MonoSamples(row.buffer);
    EXPECT_EQ(bytes ? std::optional(floatSamples(*bytes)) : std::nullopt, row.samples);
  }
  auto twoBuffers = audio<float>({0.1f}, kFloat | kAudioFormatFlagIsNonInterleaved, 32);
  twoBuffers.buffers.push_back(twoBuffers.buffers.front());
  auto noDescription = audio<float>({0.1f}, kFloat, 32);
  noDescription.description.reset();
  EXPECT_FALSE(extractFloat32MonoSamples(twoBuffers) || extractFloat32MonoSamples(noDescription));
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
  auto invalid = audio<float>({0.f}, kFloat, 32, 1);
  invalid.valid = false;
  output.stream(audio<float>({0.f}, kFloat, 32, 5), StreamOutputType::kAudio);
  output.stream(invalid, StreamOutputType::kAudio);
  output.stream(audio<float>({0.f}, kFloat, 32, 2), StreamOutputType::kScreen);
  output.stream(audio<float>({0.f}, kFloat, 32, 4), StreamOutputType::kAudio);  // backwards: no negative span
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

TEST(StatusCheckTest, TheTapGateAnswersAtOnceOtherwiseTheScreenCaptureServiceDecides) {
  testing::FakeSoundServer server;
  auto screen = makeSoundServerScreenCapture(server);
  server.failAt(SoundServerStep::kConnect, 111);  // the unanswered service's reply is in the e2e test
  testing::FakeGates tap(true, true), older(false, true);
  EXPECT_EQ(encodeReply(checkStatus(tap, *screen)), R"({"available":true,"status":"available"})");
  EXPECT_FALSE(checkStatus(older, *screen).available);
  EXPECT_EQ(encodeReply(checkStatus(older, *screen)), R"({"available":true,"status":"available"})");
  server.clearSinks();
  EXPECT_EQ(encodeReply(checkStatus(older, *screen)),
            R"({"available":false,"status":"no_display","reason":)"
            R"("No display is available for ScreenCaptureKit content filtering."})");
}

}  // namespace
}  // namespace tavrin::system_audio
