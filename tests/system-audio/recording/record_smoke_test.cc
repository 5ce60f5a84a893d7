// record, probe and status of the real binary (and the capture objects in
// process) against the private headless sound server: known signals played
// into the default sink must come back in the file.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "system-audio/sources/screen_capture.h"
#include "system-audio/sources/system_audio_tap.h"
#include "system-audio/recording/record_audio.h"
#include "tests/system-audio/sound-server/pulse_test_server.h"
#include "tests/system-audio/recording/signal.h"
#include "tests/support/fake_system_env.h"
#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

using namespace std::chrono_literals;
using system_audio::wallClockSeconds;

const std::string kBin = TAVRIN_SYSTEM_AUDIO_BIN;

struct Reply {
  int64_t sampleCount = -1, bufferCount = -1, durationMs = -1;
};

Reply parseReply(const std::string& out) {
  std::smatch m;
  const std::regex pattern(R"(^\{"sampleCount":(\d+),"bufferCount":(\d+),"durationMs":(\d+)\}\n$)");
  Reply reply;
  if (std::regex_match(out, m, pattern)) {
    reply.sampleCount = std::stoll(m[1]);
    reply.bufferCount = std::stoll(m[2]);
    reply.durationMs = std::stoll(m[3]);
  }
  return reply;
}

// A stereo 48 kHz tone file.
std::string makeTone(const TempDir& dir, int frequency, double seconds, double volume = 0.5) {
  const std::string path = dir.file("tone" + std::to_string(frequency) + ".wav");
  runTool({"/usr/bin/sox", "-n", "-r", "48000", "-c", "2", path, "synth", std::to_string(seconds), "sine",
           std::to_string(frequency), "vol", std::to_string(volume)});
  return path;
}

// Plays `path` into the test server's default output while it lives.
std::unique_ptr<BackgroundProcess> play(const std::string& path, const std::string& volume = "65536") {
  return std::make_unique<BackgroundProcess>(
      std::vector<std::string>{"/usr/bin/paplay", "--device=system_output", "--volume=" + volume, path});
}

void expectReplyMatchesFile(const Reply& reply, const std::string& file) {
  const auto bytes = readFile(file).size();
  EXPECT_EQ(static_cast<int64_t>(bytes), reply.sampleCount * 4);
  EXPECT_EQ(reply.durationMs, reply.sampleCount / 16);
  EXPECT_GT(reply.bufferCount, 0);
}

TEST(RecordSmokeTest, ATonePlayedIntoTheDefaultSinkComesBackAtSixteenKilohertz) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  const auto tone = makeTone(dir, 440, 4);
  auto player = play(tone);
  std::this_thread::sleep_for(300ms);
  const double before = wallClockSeconds();
  const auto result = runProcess({kBin, "record", "--output", dir.file("out.raw"), "--seconds", "2", "--start-file",
                                  dir.file("start")});
  const double after = wallClockSeconds();
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const Reply reply = parseReply(result.out);
  expectReplyMatchesFile(reply, dir.file("out.raw"));
  // Two seconds, less at most the start-up latency.
  EXPECT_GE(reply.sampleCount, 30000);
  EXPECT_LE(reply.sampleCount, 32000 + 1600);
  const auto samples = floatSamples(readFile(dir.file("out.raw")));
  EXPECT_NEAR(dominantFrequency(samples, 16000), 440, 5);
  EXPECT_GT(rms(samples), 0.2);
  const std::string start = readFile(dir.file("start"));
  EXPECT_EQ(start.find('\n'), std::string::npos);
  EXPECT_NE(start.find('.'), std::string::npos);
  const double startTime = std::stod(start);
  EXPECT_GE(startTime, before);
  EXPECT_LE(startTime, after);
}

TEST(RecordSmokeTest, SpeechMadeWithFliteKeepsItsSpectrum) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  runTool({"/usr/bin/flite", "-t", "Tavrin records what the computer plays.", "-o", dir.file("speech.wav")});
  runTool({"/usr/bin/sox", dir.file("speech.wav"), "-r", "16000", "-e", "floating-point", "-b", "32", "-t", "raw",
           dir.file("speech.raw")});
  const auto reference = floatSamples(readFile(dir.file("speech.raw")));
  BackgroundProcess recorder({kBin, "record", "--output", dir.file("out.raw"), "--seconds", "4"});
  std::this_thread::sleep_for(500ms);
  runTool({"/usr/bin/paplay", "--device=system_output", dir.file("speech.wav")});
  const auto result = recorder.wait(20s);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const Reply reply = parseReply(result.out);
  expectReplyMatchesFile(reply, dir.file("out.raw"));
  const auto samples = floatSamples(readFile(dir.file("out.raw")));
  EXPECT_GT(rms(samples), 0.01);
  EXPECT_NEAR(dominantFrequency(samples, 16000, 60, 2000), dominantFrequency(reference, 16000, 60, 2000), 15);
}

TEST(RecordSmokeTest, AStopFileEndsAnOpenEndedRecordingWithItsReply) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  BackgroundProcess recorder({kBin, "record", "--output", dir.file("out.raw"), "--stop-file", dir.file("stop")});
  std::this_thread::sleep_for(1500ms);
  writeFile(dir.file("stop"), "");
  const auto result = recorder.wait(10s);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const Reply reply = parseReply(result.out);
  expectReplyMatchesFile(reply, dir.file("out.raw"));
  EXPECT_GT(reply.sampleCount, 16000);
}

TEST(RecordSmokeTest, WhenTheParentExitsTheRecordingEndsWithItsReply) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  // The shell starts the recorder and exits after a second; the recorder is
  // handed to another parent.
  runTool({"/bin/sh", "-c", "\"$0\" record --output \"$1/out.raw\" >\"$1/reply\" 2>\"$1/err\" & sleep 1", kBin,
           dir.path()});
  std::string reply;
  for (int i = 0; i < 100 && reply.empty(); ++i) {
    std::this_thread::sleep_for(100ms);
    reply = readFile(dir.file("reply"));
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(readFile(dir.file("err")), "parent process exited; stopping capture\n");
  const Reply parsed = parseReply(reply);
  expectReplyMatchesFile(parsed, dir.file("out.raw"));
}

TEST(RecordSmokeTest, AFullDiskFailsWithThePlatformMessage) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  const auto result = runProcess({kBin, "record", "--output", "/dev/full", "--seconds", "3"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "No space left on device\n");
}

TEST(RecordSmokeTest, StatusAndProbeSeeTheServer) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  const auto status = runProcess({kBin, "status"});
  EXPECT_EQ(status.exitStatus, 0);
  EXPECT_EQ(status.out, "{\"available\":true,\"status\":\"available\"}\n");

  TempDir dir;
  auto player = play(makeTone(dir, 1000, 3));
  const auto probe = runProcess({kBin, "probe", "--seconds", "1"});
  ASSERT_EQ(probe.exitStatus, 0) << probe.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(probe.out, m,
                               std::regex(R"(^\{"bufferCount":(\d+),"firstPresentationSeconds":([0-9.e+]+),)"
                                          R"("lastPresentationSeconds":([0-9.e+]+),"observedDurationSeconds":([0-9.e+-]+)\}\n$)")))
      << probe.out;
  EXPECT_GE(std::stoi(m[1]), 5);
  EXPECT_GT(std::stod(m[4]), 0.4);
  EXPECT_LT(std::stod(m[4]), 1.1);
}

// --- the capture paths in process -------------------------------------------------

system_audio::AudioRecordingStats recordInProcess(bool tapPath, const std::string& output) {
  system_audio::RealSystemEnv env;
  FakeGates gates(tapPath, true);
  auto screen = system_audio::makeSoundServerScreenCapture(system_audio::pulseSoundServer());
  system_audio::RecordingPlatform platform{env, gates, system_audio::pulseSoundServer(), *screen};
  system_audio::RecordRequest request;
  request.outputPath = output;
  request.seconds = 2;
  return system_audio::recordAudio(request, platform);
}

TEST(RecordSmokeTest, TheScreenCapturePathWritesTheSameFormatClampedWhileTheTapPathDoesNotClamp) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  const auto tone = makeTone(dir, 440, 3, 0.9);
  for (const bool tapPath : {false, true}) {
    auto player = play(tone, "90000");  // well above unity gain: the mix exceeds 1.0
    std::this_thread::sleep_for(300ms);
    const std::string out = dir.file(tapPath ? "tap.raw" : "screen.raw");
    const auto stats = recordInProcess(tapPath, out);
    EXPECT_EQ(static_cast<int64_t>(readFile(out).size()), stats.sampleCount * 4);
    EXPECT_GE(stats.sampleCount, 28000);
    const auto samples = floatSamples(readFile(out));
    EXPECT_NEAR(dominantFrequency(samples, 16000), 440, 5);
    if (tapPath) {
      EXPECT_GT(peak(samples), 1.05f);
    } else {
      EXPECT_EQ(peak(samples), 1.0f);
    }
    player->wait(10s);
  }
}

TEST(RecordSmokeTest, ChangingTheDefaultSinkCallsDeviceLostOnceAndCaptureStaysOnTheOriginalSink) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  struct RestoreDefault {
    ~RestoreDefault() { runProcess({"/usr/bin/pactl", "set-default-sink", "system_output"}); }
  } restore;
  TempDir dir;
  const auto tone = makeTone(dir, 1000, 1.5);
  system_audio::SystemAudioTap tap(system_audio::pulseSoundServer());
  std::atomic<int> lost{0};
  tap.setOnDeviceLost([&] { ++lost; });
  tap.start();
  EXPECT_EQ(tap.sinkName(), "system_output");
  runTool({"/usr/bin/pactl", "set-default-sink", "mic_feed"});
  runTool({"/usr/bin/pactl", "set-default-sink", "system_output"});
  runTool({"/usr/bin/pactl", "set-default-sink", "mic_feed"});
  for (int i = 0; i < 50 && lost == 0; ++i) std::this_thread::sleep_for(20ms);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(lost, 1);
  // Drain what was captured so far, then play into the original sink.
  while (tap.stream()->queued() > 0) tap.stream()->next();
  runTool({"/usr/bin/paplay", "--device=system_output", tone});
  tap.stop();
  std::vector<float> left;
  while (auto buffer = tap.stream()->next()) {
    const auto* data = reinterpret_cast<const float*>((*buffer)->data(0));
    for (uint32_t i = 0; i < (*buffer)->frameLength(); ++i) left.push_back(data[i * 2]);
  }
  EXPECT_GT(left.size(), 48000u);
  EXPECT_GT(rms(left), 0.2);
  EXPECT_NEAR(dominantFrequency(left, 48000, 500, 1500), 1000, 5);
}

// A private server of its own, killed while the screen-capture path records:
// the stream's failure callback must end the open-ended recording with the
// stream-stopped error, keeping what was written.
TEST(RecordSmokeTest, AScreenCaptureRecordingEndsWithStreamStoppedWhenTheServerGoesAway) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  const auto started = runProcess({TAVRIN_PULSE_HARNESS, "start"});
  ASSERT_EQ(started.exitStatus, 0) << started.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(started.out, m, std::regex("TAVRIN_TEST_PULSE_DIR='([^']+)'")));
  const std::string serverDir = m[1];
  const std::string shared = std::getenv("PULSE_SERVER");
  setenv("PULSE_SERVER", ("unix:" + serverDir + "/runtime/pulse/native").c_str(), 1);

  TempDir dir;
  std::string error;
  std::atomic<bool> finished{false};
  std::thread recorder([&] {
    system_audio::RealSystemEnv env;
    FakeGates olderPlatform(false, true);
    auto screen = system_audio::makeSoundServerScreenCapture(system_audio::pulseSoundServer());
    system_audio::RecordingPlatform platform{env, olderPlatform, system_audio::pulseSoundServer(), *screen};
    system_audio::RecordRequest request;
    request.outputPath = dir.file("out.raw");
    request.stopFilePath = dir.file("stop");
    try {
      system_audio::recordAudio(request, platform);
    } catch (const std::exception& e) {
      error = e.what();
    }
    finished = true;
  });
  std::this_thread::sleep_for(1500ms);
  runProcess({TAVRIN_PULSE_HARNESS, "stop", serverDir});
  // Should the failure go unnoticed, the stop file ends the recording so
  // the test fails instead of hanging.
  for (int i = 0; i < 100 && !finished; ++i) std::this_thread::sleep_for(100ms);
  writeFile(dir.file("stop"), "");
  recorder.join();
  setenv("PULSE_SERVER", shared.c_str(), 1);
  EXPECT_EQ(error, "System audio stream stopped: Connection terminated.");
  EXPECT_GT(readFile(dir.file("out.raw")).size(), 16000u);
}

}  // namespace
}  // namespace tavrin::testing
