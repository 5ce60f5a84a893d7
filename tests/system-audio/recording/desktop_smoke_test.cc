// The real binary on the test server as desktops have it; only machine-independent properties.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "system-audio/recording/recording_output.h"
#include "tests/support/samples.h"
#include "tests/system-audio/sound-server/pulse_test_server.h"

namespace tavrin::testing {
namespace {

using namespace std::chrono_literals;
using namespace system_audio;
const std::string kBin = TAVRIN_SYSTEM_AUDIO_BIN;

float peak(const std::vector<float>& samples) {
  float p = 0;
  for (float x : samples) p = std::max(p, std::fabs(x));
  return p;
}

// The reply's sample count (or with `field` 2, its buffer count); -1 when it is no reply.
int64_t samplesIn(const std::string& reply, int field = 1) {
  std::smatch m;
  if (!std::regex_match(reply, m, std::regex(R"(\{"sampleCount":(\d+),"bufferCount":(\d+),"durationMs":\d+\}\n)")))
    return -1;
  return std::stoll(m[field]);
}

// Plays 48 kHz float of amplitude `level` into `sink` (empty: the default output, following it) while it lives:
// stereo, or in the front-centre channel alone of paplay's channel map `map`.
std::unique_ptr<BackgroundProcess> playTone(const TempDir& dir, const std::string& sink, double level, int seconds = 4,
                                            const std::string& map = "") {
  const size_t channels = map.empty() ? 2 : size_t(std::count(map.begin(), map.end(), ',')) + 1;
  const auto centreAt = map.begin() + long(std::min(map.find("front-center"), map.size()));
  const size_t centre = size_t(std::count(map.begin(), centreAt, ','));
  std::vector<float> x(48000 * channels * size_t(seconds));
  for (size_t i = 0; i < x.size(); ++i) {
    const bool on = map.empty() || i % channels == centre;
    x[i] = on ? static_cast<float>(level * std::sin(2 * M_PI * 440 * double(i / channels) / 48000)) : 0;
  }
  writeFile(dir.file("tone.raw"), std::string(reinterpret_cast<const char*>(x.data()), x.size() * 4));
  std::vector<std::string> args = {
      "/usr/bin/paplay",   "--raw", "--format=float32le", "--rate=48000", "--channels=" + std::to_string(channels),
      dir.file("tone.raw")};
  if (!sink.empty()) args.push_back("--device=" + sink);
  if (!map.empty()) args.push_back("--channel-map=" + map);
  auto player = std::make_unique<BackgroundProcess>(args);
  std::this_thread::sleep_for(300ms);
  return player;
}

// The 440 Hz tone of amplitude 0.5 is there: its frequency, and its level over the last half second.
void expectTone(const std::vector<float>& samples) {
  ASSERT_GT(samples.size(), 8000u);
  EXPECT_NEAR(dominantFrequency(samples, 16000), 440, 5);
  EXPECT_NEAR(rms({samples.end() - 8000, samples.end()}), 0.5 / std::sqrt(2), 0.05);
}

std::vector<float> record(const TempDir& dir, const std::string& seconds) {
  const auto result = runProcess({kBin, "record", "--output", dir.file("out.raw"), "--seconds", seconds});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(samplesIn(result.out) * 4, static_cast<int64_t>(readFile(dir.file("out.raw")).size()));
  return floatSamples(readFile(dir.file("out.raw")));
}

TEST(DesktopSmokeTest, TheBinaryRecordsFromTheStartWhatPlaysWithItsStartFileAndSeesTheServer) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  EXPECT_EQ(runProcess({kBin, "status"}).out, R"({"available":true,"status":"available"})"
                                              "\n");
  EXPECT_GE(record(dir, "2").size(), 16000u);  // an idle sink: silence, but from the start
  // A headset in call mode (8 kHz) gives buffers as short as any output (about 21 ms), so a stop loses little.
  const auto call = runProcess({"/usr/bin/pactl", "load-module", "module-null-sink", "sink_name=call", "rate=8000"});
  runTool({"/usr/bin/pactl", "set-default-sink", "call"});
  EXPECT_GT(samplesIn(runProcess({kBin, "record", "--output", dir.file("call.raw"), "--seconds", "1"}).out, 2), 30);
  runTool({"/usr/bin/pactl", "set-default-sink", "system_output"});
  runTool({"/usr/bin/pactl", "unload-module", call.out.substr(0, call.out.find('\n'))});
  auto player = playTone(dir, "system_output", 0.5, 8);
  const double before = wallClockSeconds();
  const auto r = runProcess(
      {kBin, "record", "--output", dir.file("out.raw"), "--seconds", "2", "--start-file", dir.file("start")});
  const double after = wallClockSeconds();
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const auto samples = floatSamples(readFile(dir.file("out.raw")));
  EXPECT_EQ(samplesIn(r.out), static_cast<int64_t>(samples.size()));
  expectTone(samples);
  const double start = std::stod(readFile(dir.file("start")));
  EXPECT_GE(start, before);
  EXPECT_LE(start, after);
  const auto probe = runProcess({kBin, "probe", "--seconds", "1"});
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      probe.out, m,
      std::regex(R"(\{"bufferCount":[1-9]\d*,"firstPresentationSeconds":([0-9.e+]+),)"
                 R"("lastPresentationSeconds":([0-9.e+]+),"observedDurationSeconds":([0-9.e+-]+)\}\n)")))
      << probe.out;
  EXPECT_LT(std::stod(m[3]), 5);  // a one-second probe cannot observe seconds of audio
  // Every digit is written: the times read back are the very doubles whose difference is the duration.
  EXPECT_EQ(std::stod(m[3]), std::stod(m[2]) - std::stod(m[1])) << probe.out;
  // Started with stdout closed: the reply goes nowhere, not into a descriptor the server connection took.
  const auto closed =
      runProcess({"/bin/sh", "-c", R"(exec "$0" record --output "$1" --seconds 1 >&-)", kBin, dir.file("closed.raw")});
  EXPECT_EQ(closed.out + closed.err, "");
  EXPECT_EQ(closed.exitStatus, 0);
}

// Stereo, 5.1 and 7.1 sinks give the same level, never past full scale; the tap path never clamps. Dialogue in the
// centre channel alone comes out 3 dB under it, not silent.
TEST(DesktopSmokeTest, SurroundSinksGiveTheStereoLevelAndNothingClips) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  auto loud = playTone(dir, "system_output", 1.5, 2);
  EXPECT_GT(peak(record(dir, "1")), 1.3f);
  loud.reset();
  std::vector<double> levels;
  for (const char* map : {"", "front-left,front-right,rear-left,rear-right,front-center,lfe",
                          "front-left,front-right,rear-left,rear-right,front-center,lfe,side-left,side-right"}) {
    const int channels = std::string(map).empty() ? 2 : static_cast<int>(std::count(map, map + strlen(map), ',')) + 1;
    std::string module;
    if (channels > 2) {
      const auto loaded = runProcess({"/usr/bin/pactl", "load-module", "module-null-sink", "sink_name=surround",
                                      "channels=" + std::to_string(channels), std::string("channel_map=") + map});
      module = loaded.out.substr(0, loaded.out.find('\n'));
      runTool({"/usr/bin/pactl", "set-default-sink", "surround"});
    }
    auto player = playTone(dir, channels > 2 ? "surround" : "system_output", 1.0);
    const auto samples = record(dir, "2");
    levels.push_back(20 * std::log10(rms(samples)));
    EXPECT_GT(peak(samples), 0.9f) << channels;
    EXPECT_LT(peak(samples), 1.1f) << channels;  // the resampler may ring at the onset
    player.reset();
    if (channels > 2) {
      player = playTone(dir, "surround", 1.0, 4, map);
      EXPECT_NEAR(20 * std::log10(rms(record(dir, "2"))), levels[0] - 3, 1.0) << "dB; centre of " << channels;
      player.reset();
    }
    runProcess({"/usr/bin/pactl", "set-default-sink", "system_output"});
    if (!module.empty()) runProcess({"/usr/bin/pactl", "unload-module", module});
  }
  EXPECT_NEAR(levels[1], levels[0], 1.0) << "dB; 5.1 against stereo";
  EXPECT_NEAR(levels[2], levels[0], 1.0) << "dB; 7.1 against stereo";
}

// The user switches to another output, which is then unplugged: the tone is in the one file throughout.
TEST(DesktopSmokeTest, ARecordingFollowsTheDefaultOutputWhenItChangesOrIsRemoved) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  const auto loaded = runProcess({"/usr/bin/pactl", "load-module", "module-null-sink", "sink_name=headset"});
  ASSERT_EQ(loaded.exitStatus, 0) << loaded.err;
  auto player = playTone(dir, "", 0.5, 8);
  BackgroundProcess recorder({kBin, "record", "--output", dir.file("out.raw"), "--seconds", "4"});
  std::this_thread::sleep_for(1300ms);
  runTool({"/usr/bin/pactl", "set-default-sink", "headset"});
  std::this_thread::sleep_for(1300ms);
  runTool({"/usr/bin/pactl", "unload-module", loaded.out.substr(0, loaded.out.find('\n'))});
  const auto result = recorder.wait(20s);
  runProcess({"/usr/bin/pactl", "set-default-sink", "system_output"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const auto samples = floatSamples(readFile(dir.file("out.raw")));
  ASSERT_GT(samples.size(), 48000u);
  size_t quiet = 0, longestQuiet = 0;  // after the first audio; a switch used to leave seconds of silence
  for (size_t i =
           std::find_if(samples.begin(), samples.end(), [](float x) { return std::fabs(x) > 0.01f; }) - samples.begin();
       i < samples.size(); ++i) {
    quiet = std::fabs(samples[i]) < 0.01f ? quiet + 1 : 0;
    longestQuiet = std::max(longestQuiet, quiet);
  }
  EXPECT_LT(longestQuiet, 4000u) << "samples";  // a quarter second: far more than one buffer
}

// Other captures starting during a recording leave no break in its tone (x[n+1] = 2cos(w)x[n] - x[n-1] holds).
TEST(DesktopSmokeTest, StartingOtherCapturesNeverDisturbsARunningRecording) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  // PipeWire restarts no clock; its graph may still glitch now and then as streams join, which is not ours to judge.
  if (std::string(std::getenv("TAVRIN_TEST_SOUND_SERVER")) != "pulseaudio") GTEST_SKIP() << "PulseAudio's null sink";
  TempDir dir;
  auto player = playTone(dir, "system_output", 0.5, 6);
  BackgroundProcess recorder({kBin, "record", "--output", dir.file("out.raw"), "--seconds", "3"});
  std::this_thread::sleep_for(1s);
  runProcess({kBin, "record", "--output", dir.file("other.raw"), "--seconds", "1"});
  runProcess({kBin, "probe", "--seconds", "1"});
  ASSERT_EQ(recorder.wait(20s).exitStatus, 0);
  const auto x = floatSamples(readFile(dir.file("out.raw")));
  const double c = 2 * std::cos(2 * M_PI * 440 / 16000);
  int breaks = 0;
  for (size_t n = 1600; n + 1 < x.size(); ++n) breaks += std::fabs(x[n + 1] - c * x[n] + x[n - 1]) > 0.05;
  EXPECT_EQ(breaks, 0);
}

TEST(DesktopSmokeTest, TerminationSignalsStopARecordingWithItsReply) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    TempDir dir;
    BackgroundProcess recorder({kBin, "record", "--output", dir.file("out.raw"), "--stop-file", dir.file("stop")});
    for (int i = 0; i < 100 && readFile(dir.file("out.raw")).empty(); ++i) std::this_thread::sleep_for(50ms);
    ::kill(recorder.pid(), signal);
    const auto result = recorder.wait(10s);
    EXPECT_EQ(result.exitStatus, 0) << signal;
    EXPECT_EQ(samplesIn(result.out) * 4, static_cast<int64_t>(readFile(dir.file("out.raw")).size())) << signal;
    EXPECT_GT(samplesIn(result.out), 0) << signal;
  }
}

// A signal ends a stopped recording whose FIFO reader stalls; an output silent once its stream runs (suspended; a hung
// server looks the same) fails the start step. Then a private server of its own, stopped, continued, then killed.
TEST(DesktopSmokeTest, AHungServerFailsEachCommandInTimeAndADeadOneEndsCaptureWithItsReason) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  runProcess(
      {"/bin/sh", "-c",
       R"(mkfifo "$1/f"; exec 3<>"$1/f"; "$0" record --output "$1/f" --stop-file "$1/end" & sleep 3; : >"$1/end";)"
       R"( sleep 0.5; kill $!; wait $!; echo $? > "$1/status")",  // the pipe holds about one second
       kBin, dir.path()});
  EXPECT_EQ(readFile(dir.file("status")), "143\n");
  const bool pulseAudio = std::string(std::getenv("TAVRIN_TEST_SOUND_SERVER")) == "pulseaudio";
  if (pulseAudio) {  // PipeWire resumes it
    runTool({"/usr/bin/pactl", "suspend-sink", "system_output", "1"});
    const auto r = runProcess({kBin, "record", "--output", dir.file("x.raw"), "--seconds", "2"});
    runTool({"/usr/bin/pactl", "suspend-sink", "system_output", "0"});
    EXPECT_EQ(r.out + r.err, "The sound server did not answer within 3 seconds while starting a record stream.\n");
  }
  const auto started = runProcess({TAVRIN_PULSE_HARNESS, "start", std::getenv("TAVRIN_TEST_SOUND_SERVER")});
  ASSERT_EQ(started.exitStatus, 0) << started.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(started.out, m, std::regex("TAVRIN_TEST_PULSE_DIR='([^']+)'")));
  const std::string server = m[1], pids = readFile(server + "/pids");
  const pid_t pid = std::stoi(pids.substr(pids.rfind('\n', pids.size() - 2) + 1));
  const ProcessOptions options{.setEnv = {{"PULSE_SERVER", "unix:" + server + "/runtime/pulse/native"}}};
  ::kill(pid, SIGSTOP);
  const std::string hung = "The sound server did not answer within 3 seconds while connecting.";
  EXPECT_EQ(runProcess({kBin, "status"}, options).out,
            R"({"available":false,"status":"unavailable","reason":")" + hung + "\"}\n");
  for (const std::vector<std::string>& command : {std::vector<std::string>{kBin, "probe", "--seconds", "1"},
                                                  {kBin, "record", "--output", dir.file("x.raw"), "--seconds", "1"}}) {
    const auto result = runProcess(command, options);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, hung + "\n");
  }
  // A stop while the server is being reached, or while PulseAudio's null sink is asked to suspend and resume and the
  // answer never comes, ends the recording there, empty: the stale file is emptied and no sink stays suspended.
  BackgroundProcess proxy({TAVRIN_ANSWER_PROXY, std::getenv("PULSE_SERVER") + 5, dir.file("proxy"), "70"});
  const ProcessOptions held{.setEnv = {{"PULSE_SERVER", "unix:" + dir.file("proxy")}}};
  for (int row = 0; row < (pulseAudio ? 3 : 2); ++row) {
    writeFile(dir.file("x.raw"), "stale");
    BackgroundProcess stopped({kBin, "record", "--output", dir.file("x.raw"), "--stop-file", dir.file("stop")},
                              row == 2 ? held : options);
    for (int i = 0; i < 50 && (row < 2 ? i < 5 : proxy.outputSoFar().find("held") == std::string::npos); ++i)
      std::this_thread::sleep_for(100ms);
    row == 1 ? writeFile(dir.file("stop"), "") : (void)::kill(stopped.pid(), SIGTERM);  // by file, by signal
    const auto result = stopped.wait(10s);
    EXPECT_EQ(result.out + result.err, R"({"sampleCount":0,"bufferCount":0,"durationMs":0})"
                                       "\n")
        << row;
    EXPECT_EQ(readFile(dir.file("x.raw")), "") << row;
    std::filesystem::remove(dir.file("stop"));
  }
  EXPECT_EQ(proxy.outputSoFar(), pulseAudio ? "ready\nheld 70\n" : "ready\n");
  const std::string sinks = runProcess({"/usr/bin/pactl", "list", "sinks", "short"}).out;
  EXPECT_TRUE(!pulseAudio || sinks.find("SUSPENDED") == std::string::npos) << sinks;  // PipeWire suspends idle ones
  // The parent exits while the recording still starts: it stops once started.
  runProcess(
      {"/bin/sh", "-c", "\"$0\" record --output \"$1/out.raw\" >\"$1/reply\" 2>\"$1/err\" & sleep 1", kBin, dir.path()},
      options);
  ::kill(pid, SIGCONT);
  for (int i = 0; i < 100 && readFile(dir.file("reply")).empty(); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_GE(samplesIn(readFile(dir.file("reply"))), 0);
  EXPECT_EQ(readFile(dir.file("err")), "parent process exited; stopping capture\n");

  // A file of its own: out.raw already has the recording above, so waiting on it would not wait.
  BackgroundProcess recorder({kBin, "record", "--output", dir.file("dead.raw"), "--stop-file", dir.file("stop")},
                             options);
  BackgroundProcess probe({kBin, "probe", "--seconds", "20"}, options);
  for (int i = 0; i < 100 && readFile(dir.file("dead.raw")).empty(); ++i) std::this_thread::sleep_for(50ms);
  runProcess({TAVRIN_PULSE_HARNESS, "stop", server});
  const auto recorded = recorder.wait(10s), probed = probe.wait(10s);
  EXPECT_EQ(recorded.exitStatus, 1);
  EXPECT_EQ(recorded.out + recorded.err, "System audio stream stopped: Connection terminated.\n");
  EXPECT_GT(readFile(dir.file("dead.raw")).size(), 0u);
  EXPECT_EQ(probed.exitStatus, 1);
  EXPECT_EQ(probed.out + probed.err, "Connection terminated\n");
}

}  // namespace
}  // namespace tavrin::testing
