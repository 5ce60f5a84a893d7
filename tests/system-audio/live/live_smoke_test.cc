// live through the real binary and engines on the test server; recognition quality is in bench/.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/model_downloads.h"
#include "tests/system-audio/sound-server/pulse_test_server.h"

namespace tavrin::testing {
namespace {

using namespace std::chrono_literals;

TEST(LiveSmokeTest, BothChannelsAreSubtitledAndTranslatedUntilTheStopFile) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  runTool({"/usr/bin/flite", "-voice", "slt", "-t", "Hello everybody. Today we talk about the budget.", "-o",
           dir.file("system.wav")});
  runTool(
      {"/usr/bin/flite", "-voice", "rms", "-t", "I have one question about the schedule.", "-o", dir.file("mic.wav")});
  BackgroundProcess live({TAVRIN_SYSTEM_AUDIO_BIN, "live", "--language", "en-US", "--stop-file", dir.file("stop"),
                          "--translate-to", "es"});
  for (int i = 0; i < 300 && live.outputSoFar().find(R"("type":"status")") == std::string::npos; ++i) {
    std::this_thread::sleep_for(100ms);
  }
  std::this_thread::sleep_for(1s);  // the microphone channel sets up alongside
  runTool({"/usr/bin/paplay", "--device=system_output", dir.file("system.wav")});
  runTool({"/usr/bin/paplay", "--device=mic_feed", dir.file("mic.wav")});
  writeFile(dir.file("stop"), "");  // right after the last words: their final comes out while draining
  const ProcessResult r = live.wait(60s);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");

  // Ids, order and times are the unit tests' business; here: the real engines on both channels.
  std::istringstream lines(r.out);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, R"({"type":"status","translationStatus":"installed","sourceLocale":"en_US","targetLanguage":"es"})");
  std::set<std::string> seen;  // "<type> <source>" of every event after the status
  while (std::getline(lines, line)) {
    const auto event = nlohmann::json::parse(line);
    ASSERT_TRUE(event["type"] == "segment" || event["type"] == "translation") << line;
    if (event["type"] == "segment" && !event["isFinal"]) continue;
    seen.insert(event["type"].get<std::string>() + " " + event["source"].get<std::string>());
  }
  EXPECT_EQ(seen, (std::set<std::string>{"segment mic", "segment system", "translation mic", "translation system"}));
}

// Subtitles toggled off at once, 20 times: both channels' engines are made and freed together, or stopped midway.
TEST(LiveSmokeTest, QuickStopsEndCleanly) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  for (int run = 0; run < 20; ++run) {
    TempDir dir;
    BackgroundProcess live({TAVRIN_SYSTEM_AUDIO_BIN, "live", "--language", "en-US", "--stop-file", dir.file("stop")});
    std::this_thread::sleep_for(std::chrono::milliseconds(300 + 25 * run));
    writeFile(dir.file("stop"), "");
    const ProcessResult r = live.wait(30s);
    EXPECT_TRUE(r.exitStatus == 0 && r.err.empty()) << run << ": " << r.exitStatus << " " << r.err;
  }
}

// The user switches outputs twice during live subtitles: one device-change event, and the run goes on to its stop.
TEST(LiveSmokeTest, ChangingTheDefaultOutputGivesOneDeviceChangeEvent) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  const auto loaded = runProcess({"/usr/bin/pactl", "load-module", "module-null-sink", "sink_name=headset"});
  ASSERT_EQ(loaded.exitStatus, 0) << loaded.err;
  BackgroundProcess live({TAVRIN_SYSTEM_AUDIO_BIN, "live", "--no-mic", "--stop-file", dir.file("stop")});
  for (int i = 0; i < 300 && live.outputSoFar().find(R"("type":"status")") == std::string::npos; ++i) {
    std::this_thread::sleep_for(100ms);
  }
  for (const char* sink : {"headset", "system_output"}) {
    runTool({"/usr/bin/pactl", "set-default-sink", sink});
    std::this_thread::sleep_for(500ms);
  }
  writeFile(dir.file("stop"), "");
  const ProcessResult r = live.wait(60s);
  runProcess({"/usr/bin/pactl", "unload-module", loaded.out.substr(0, loaded.out.find('\n'))});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.substr(r.out.find('\n') + 1),
            R"({"type":"error","message":"System audio output device changed; stopping capture."})"
            "\n");
}

// A language only a downloaded model serves: the channel asks for the model and waits; the stop file ends the stalled
// download and the run, and leaves only the partial file.
TEST(LiveSmokeTest, TheStopFileEndsAChannelsStalledModelDownload) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  const Downloads downloads("ggml-base.bin", std::string(1 << 20, 'w'));
  BackgroundProcess live(
      {TAVRIN_SYSTEM_AUDIO_BIN, "live", "--language", "de-DE", "--no-mic", "--stop-file", dir.file("stop")},
      downloads.options("stall"));
  for (int i = 0; i < 300 && downloads.log().empty(); ++i) std::this_thread::sleep_for(100ms);
  std::this_thread::sleep_for(1s);  // half the file arrives, then nothing
  writeFile(dir.file("stop"), "");
  const ProcessResult r = live.wait(20s);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(downloads.log(), "/stall/ggml-base.bin -\n");
  EXPECT_TRUE(std::filesystem::exists(downloads.data("speech/whisper/ggml-base.bin.part")));
  EXPECT_FALSE(std::filesystem::exists(downloads.data("speech/whisper/ggml-base.bin")));
}

}  // namespace
}  // namespace tavrin::testing
