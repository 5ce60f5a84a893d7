// The sound-server client, the capture paths and the real binary's record,
// probe and status against the private headless server: known tones played
// into the default sink must come back. Only properties that hold on any
// machine are asserted (nothing about start-up latency or how many buffers
// arrive in a given time); figures are in bench/ (record-bench).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <regex>
#include <thread>

#include "system-audio/recording/record_audio.h"
#include "system-audio/sources/screen_capture.h"
#include "system-audio/sources/system_audio_tap.h"
#include "tests/support/fake_system_env.h"
#include "tests/support/samples.h"
#include "tests/system-audio/sound-server/pulse_test_server.h"

namespace tavrin::testing {
namespace {

using namespace std::chrono_literals;
using namespace system_audio;

class SmokeTest : public ::testing::Test {
 protected:
  void SetUp() override { TAVRIN_REQUIRE_TEST_SOUND_SERVER(); }
  // Plays a stereo 48 kHz tone of amplitude 0.5 into the default sink while the player lives.
  std::unique_ptr<BackgroundProcess> play(int hz, double seconds = 10) {
    const std::string path = dir.file(std::to_string(hz) + ".wav");
    runTool({"/usr/bin/sox", "-n", "-r", "48000", "-c", "2", path, "synth", std::to_string(seconds), "sine",
             std::to_string(hz), "vol", "0.5"});
    auto player = std::make_unique<BackgroundProcess>(std::vector<std::string>{"/usr/bin/paplay", "--device=system_output", path});
    std::this_thread::sleep_for(300ms);
    return player;
  }
  // The tone is there: its frequency, and its level over the last half second.
  static void expectTone(const std::vector<float>& samples, double rate, int hz) {
    ASSERT_GT(samples.size(), rate / 2);
    EXPECT_NEAR(dominantFrequency(samples, rate), hz, 5);
    EXPECT_NEAR(rms({samples.end() - static_cast<ptrdiff_t>(rate / 2), samples.end()}), 0.5 / std::sqrt(2), 0.05);
  }
  TempDir dir;
};

TEST_F(SmokeTest, TheClientReadsTheDefaultsAndRecordsInTheRequestedFormat) {
  auto connection = pulseSoundServer().connect("tavrin-smoke");
  const auto info = connection->serverInfo();
  EXPECT_EQ(info.defaultSourceName, "virtual_mic");
  const auto sink = connection->sinkInfo(info.defaultSinkName);
  EXPECT_EQ(sink.monitorSourceName, "system_output.monitor");
  EXPECT_EQ(sink.format, (PcmFormat{48000, 2, SampleType::kFloat32, true}));
  EXPECT_TRUE(connection->sourceInfo(sink.monitorSourceName).isMonitor);
  EXPECT_THROW(connection->sinkInfo("no_such_sink"), SoundServerError);
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<float> samples;
  RecordStreamRequest request;
  request.sourceName = "system_output.monitor";
  // Stereo: the servers' own downmixes to mono differ in level.
  request.format = PcmFormat{16000, 2, SampleType::kInt16, true};
  request.fragmentFrames = 1600;
  request.onData = [&](PcmBufferPtr buffer, uint64_t) {
    std::lock_guard lock(mutex);
    const auto* data = reinterpret_cast<const int16_t*>(buffer->data(0));
    for (uint32_t i = 0; i < buffer->frameLength(); ++i) samples.push_back(data[2 * i] / 32768.0f);
    changed.notify_all();
  };
  auto stream = connection->createRecordStream(request);
  EXPECT_EQ(stream->format(), *request.format);
  stream->start();
  auto player = play(1000, 3);
  std::unique_lock lock(mutex);
  changed.wait_for(lock, 20s, [&] { return samples.size() >= 24000; });
  expectTone(samples, 16000, 1000);
}

TEST_F(SmokeTest, TheBinaryRecordsWhatPlaysWithItsStartFileAndSeesTheServer) {
  EXPECT_EQ(runProcess({TAVRIN_SYSTEM_AUDIO_BIN, "status"}).out, R"({"available":true,"status":"available"})" "\n");
  auto player = play(440);
  const double before = wallClockSeconds();
  const auto r = runProcess({TAVRIN_SYSTEM_AUDIO_BIN, "record", "--output", dir.file("out.raw"), "--seconds", "2",
                             "--start-file", dir.file("start")});
  const double after = wallClockSeconds();
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const auto samples = floatSamples(readFile(dir.file("out.raw")));
  EXPECT_EQ(r.out, R"({"sampleCount":)" + std::to_string(samples.size()) + R"(,"bufferCount":)" +
                       std::regex_replace(r.out, std::regex(R"(.*"bufferCount":(\d+).*\n)"), "$1") +
                       R"(,"durationMs":)" + std::to_string(samples.size() / 16) + "}\n");
  expectTone(samples, 16000, 440);
  const double start = std::stod(readFile(dir.file("start")));
  EXPECT_GE(start, before);
  EXPECT_LE(start, after);
  const auto probe = runProcess({TAVRIN_SYSTEM_AUDIO_BIN, "probe", "--seconds", "1"});
  std::smatch m;
  ASSERT_TRUE(std::regex_match(probe.out, m, std::regex(R"(\{"bufferCount":[1-9]\d*,"firstPresentationSeconds":[0-9.e+]+,)"
                                                        R"("lastPresentationSeconds":[0-9.e+]+,"observedDurationSeconds":([0-9.e+-]+)\}\n)")))
      << probe.out;
  EXPECT_LT(std::stod(m[1]), 5);  // a one-second probe cannot observe seconds of audio
}

TEST_F(SmokeTest, TheScreenCapturePathRecordsTheSameInProcess) {
  auto player = play(440);
  RealSystemEnv env;
  FakeGates olderPlatform(false, true);
  auto screen = makeSoundServerScreenCapture(pulseSoundServer());
  RecordingPlatform platform{env, olderPlatform, pulseSoundServer(), *screen};
  const auto stats = recordAudio(RecordRequest{dir.file("out.raw"), 2, {}, {}}, platform);
  const auto samples = floatSamples(readFile(dir.file("out.raw")));
  EXPECT_EQ(static_cast<int64_t>(samples.size()), stats.sampleCount);
  expectTone(samples, 16000, 440);
}

TEST_F(SmokeTest, ChangingTheDefaultSinkIsNoticedOnceAndCaptureStaysOnItsSink) {
  struct RestoreDefault {
    ~RestoreDefault() { runProcess({"/usr/bin/pactl", "set-default-sink", "system_output"}); }
  } restore;
  SystemAudioTap tap(pulseSoundServer());
  std::atomic<int> lost{0};
  tap.setOnDeviceLost([&] { ++lost; });
  tap.start();
  for (const char* sink : {"mic_feed", "system_output", "mic_feed"}) runTool({"/usr/bin/pactl", "set-default-sink", sink});
  for (int i = 0; i < 100 && lost == 0; ++i) std::this_thread::sleep_for(20ms);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(lost, 1);
  while (tap.stream()->queued() > 0) tap.stream()->next();
  play(1000, 1.5)->wait();
  tap.stop();
  std::vector<float> left;
  while (auto buffer = tap.stream()->next()) {
    for (uint32_t i = 0; i < (*buffer)->frameLength(); ++i) left.push_back(reinterpret_cast<const float*>((*buffer)->data(0))[i * 2]);
  }
  EXPECT_NEAR(dominantFrequency(left, 48000), 1000, 5);
}

// A private server of its own, stopped while the screen-capture path records
// without an end: the stream's failure must end the recording.
TEST_F(SmokeTest, AScreenCaptureRecordingEndsWithStreamStoppedWhenTheServerGoesAway) {
  const auto started = runProcess({TAVRIN_PULSE_HARNESS, "start"});
  std::smatch m;
  ASSERT_TRUE(std::regex_search(started.out, m, std::regex("TAVRIN_TEST_PULSE_DIR='([^']+)'"))) << started.err;
  const std::string serverDir = m[1], shared = std::getenv("PULSE_SERVER");
  setenv("PULSE_SERVER", ("unix:" + serverDir + "/runtime/pulse/native").c_str(), 1);
  std::string error;
  std::thread recorder([&] {
    RealSystemEnv env;
    FakeGates olderPlatform(false, true);
    auto screen = makeSoundServerScreenCapture(pulseSoundServer());
    RecordingPlatform platform{env, olderPlatform, pulseSoundServer(), *screen};
    try {
      recordAudio(RecordRequest{dir.file("out.raw"), {}, dir.file("stop"), {}}, platform);
    } catch (const std::exception& e) {
      error = e.what();
    }
  });
  std::this_thread::sleep_for(1500ms);
  runProcess({TAVRIN_PULSE_HARNESS, "stop", serverDir});
  for (int i = 0; i < 100 && error.empty(); ++i) std::this_thread::sleep_for(100ms);
  writeFile(dir.file("stop"), "");  // should the failure go unnoticed, the test fails instead of hanging
  recorder.join();
  setenv("PULSE_SERVER", shared.c_str(), 1);
  EXPECT_EQ(error, "System audio stream stopped: Connection terminated.");
}

}  // namespace
}  // namespace tavrin::testing
