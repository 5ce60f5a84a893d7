// live through the real binary against the private headless sound server with
// the real engines (PocketSphinx, Apertium): flite speech played as system
// audio and into the virtual microphone. Only the protocol is asserted; how
// well the words are recognised is measured in bench/ (word_error_rate,
// live_channels), since it depends on the engine's luck with each recording.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "tests/system-audio/sound-server/pulse_test_server.h"

namespace tavrin::testing {
namespace {

using namespace std::chrono_literals;

TEST(LiveSmokeTest, BothChannelsAreSubtitledAndTranslatedUntilTheStopFile) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  runTool({"/usr/bin/flite", "-voice", "slt", "-t", "Hello everybody. Today we talk about the budget.", "-o",
           dir.file("system.wav")});
  runTool({"/usr/bin/flite", "-voice", "rms", "-t", "I have one question about the schedule.", "-o", dir.file("mic.wav")});
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

  std::istringstream lines(r.out);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, R"({"type":"status","translationStatus":"installed","sourceLocale":"en_US","targetLanguage":"es"})");
  std::map<std::string, int64_t> nextId;           // per channel: the id of the current utterance
  std::map<std::string, std::set<int64_t>> owed;   // finals with words still waiting for their translation
  std::map<std::string, int> finals;
  while (std::getline(lines, line)) {
    const auto event = nlohmann::json::parse(line);
    ASSERT_NE(event["type"], "status") << line;
    ASSERT_NE(event["type"], "error") << line;
    const std::string source = event["source"];
    const int64_t id = event["id"];
    if (event["type"] == "segment") {
      EXPECT_EQ(id, nextId[source]) << line;
      EXPECT_LE(event["startMs"].get<uint64_t>(), event["endMs"].get<uint64_t>()) << line;
      if (!event["isFinal"]) continue;
      ++nextId[source];
      ++finals[source];
      if (event["text"].get<std::string>().find_first_not_of(' ') != std::string::npos) owed[source].insert(id);
    } else {
      EXPECT_EQ(id, nextId[source] - 1) << "a translation follows its final: " << line;
      EXPECT_EQ(owed[source].erase(id), 1u) << line;
    }
  }
  for (const std::string source : {"system", "mic"}) {
    EXPECT_GT(finals[source], 0) << source;
    EXPECT_TRUE(owed[source].empty()) << source << ": every final with words is translated";
  }
}

}  // namespace
}  // namespace tavrin::testing
