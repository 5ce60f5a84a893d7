// live through the real binary and engines on the test server; recognition quality is in bench/.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "speech-service/whisper/testmodel/whisper_testmodel.h"
#include "tests/support/model_downloads.h"
#include "tests/system-audio/sound-server/pulse_test_server.h"

namespace tavrin::testing {
namespace {

using namespace std::chrono_literals;

// Polls `done` every 100 ms for up to 30 s.
void waitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 300 && !done(); ++i) std::this_thread::sleep_for(100ms);
}

// Every final that says something gets one translation right after it, with its id, the last ones too: English through
// Apertium on both channels; German into English by a multilingual model (random weights: noise, but real decodings).
TEST(LiveSmokeTest, EveryNonBlankFinalIsTranslatedOnceUntilTheStopFile) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  runTool({"/usr/bin/flite", "-voice", "slt", "-t", "Hello everybody. Today we talk about the budget.", "-o",
           dir.file("system.wav")});
  runTool(
      {"/usr/bin/flite", "-voice", "rms", "-t", "I have one question about the schedule.", "-o", dir.file("mic.wav")});
  const struct {
    std::string language, target, status;
    bool mic;  // both channels; the German run has the system channel only, but a multilingual model
  } rows[] = {
      {"en-US", "es", R"("installed","sourceLocale":"en_US","targetLanguage":"es"})", true},
      {"de-DE", "en", R"("installed","sourceLocale":"de_DE","targetLanguage":"en"})", false},
  };
  for (const auto& row : rows) {
    ProcessOptions options;
    options.setEnv = {{"XDG_DATA_HOME", dir.file(row.language)}, {"XDG_CACHE_HOME", dir.file("cache")}};
    options.timeout = 120s;
    if (!row.mic) {
      std::filesystem::create_directories(dir.file(row.language + "/tavrin/speech/whisper"));
      using namespace speech::testmodel;
      writeWhisperTestModel(dir.file(row.language + "/tavrin/speech/whisper/ggml-tiny.bin"),
                            {whisperTestHparams(WhisperSize::kTiny, true), 7, 3.0f});
    }
    const std::string stop = dir.file(row.language + ".stop");
    std::vector<std::string> args = {TAVRIN_SYSTEM_AUDIO_BIN, "live", "--language",     row.language,
                                     "--stop-file",           stop,   "--translate-to", row.target};
    if (!row.mic) args.push_back("--no-mic");
    BackgroundProcess live(args, options);
    waitUntil([&] { return live.outputSoFar().find(R"("type":"status")") != std::string::npos; });
    std::this_thread::sleep_for(1s);  // the microphone channel sets up alongside
    runTool({"/usr/bin/paplay", "--device=system_output", dir.file("system.wav")});
    if (row.mic) runTool({"/usr/bin/paplay", "--device=mic_feed", dir.file("mic.wav")});
    writeFile(stop, "");  // right after the last words: their final comes out while draining
    const ProcessResult r = live.wait(120s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");

    std::istringstream lines(r.out);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, R"({"type":"status","translationStatus":)" + row.status);
    std::map<std::string, std::string> got, wanted;  // per channel: "F<id> T<id> " for each final that says something
    while (std::getline(lines, line)) {
      const auto e = nlohmann::ordered_json::parse(line);
      std::string keys;  // in the order written
      for (const auto& [key, value] : e.items()) keys += key + " ";
      ASSERT_EQ(keys, e["type"] == "segment" ? "type source id text isFinal startMs endMs " : "type source id text ");
      const std::string source = e["source"], id = std::to_string(e["id"].get<int64_t>());
      if (e["type"] == "translation") got[source] += "T" + id + " ";
      if (e["type"] == "translation" || !e["isFinal"] ||
          e["text"].get<std::string>().find_first_not_of(" \t\n") == std::string::npos)
        continue;
      got[source] += "F" + id + " ";
      wanted[source] += "F" + id + " T" + id + " ";
    }
    EXPECT_EQ(got, wanted) << row.language;
    EXPECT_EQ(wanted.size(), row.mic ? 2u : 1u) << row.language;
  }
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
  waitUntil([&] { return live.outputSoFar().find(R"("type":"status")") != std::string::npos; });
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

// A language only a downloaded model serves: the channel asks for the model and waits. A model that cannot come is one
// error event per channel, in the words transcribe uses, and one download however many channels ask; the stop file ends
// a stalled download and the run, and leaves only the partial file.
TEST(LiveSmokeTest, AChannelWhoseModelCannotComeSaysWhyAndAStopEndsAStalledDownload) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  const Downloads downloads("ggml-base.bin", std::string(1 << 20, 'w'));
  const std::string checksum = "Could not download ggml-base.bin: its checksum does not match.";
  struct Row {
    std::string fault;
    bool mic;
    std::vector<std::string> errors;
    std::string log;
  };
  const std::vector<Row> rows = {{"stall", false, {}, "/stall/ggml-base.bin -\n"},
                                 {"short", true, {checksum, checksum}, "/short/ggml-base.bin -\n"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fault);
    TempDir dir;
    downloads.reset();
    ProcessOptions options = downloads.options(row.fault);
    std::vector<std::string> args = {TAVRIN_SYSTEM_AUDIO_BIN, "live",          "--language", "de-DE",
                                     "--stop-file",           dir.file("stop")};
    if (!row.mic) args.push_back("--no-mic");
    BackgroundProcess live(args, options);
    const auto lines = [&] {
      const std::string out = live.outputSoFar();
      return static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
    };
    waitUntil([&] { return row.errors.empty() ? !downloads.log().empty() : lines() >= row.errors.size(); });
    std::this_thread::sleep_for(1s);  // half the file arrives, then nothing; or nothing more is written
    writeFile(dir.file("stop"), "");
    const ProcessResult r = live.wait(20s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    std::string errors;
    for (const std::string& e : row.errors) errors += R"({"type":"error","message":")" + e + "\"}\n";
    EXPECT_EQ(r.out, errors);
    EXPECT_EQ(downloads.log(), row.log);
    EXPECT_EQ(std::filesystem::exists(downloads.data("speech/whisper/ggml-base.bin.part")), row.fault == "stall");
    EXPECT_FALSE(std::filesystem::exists(downloads.data("speech/whisper/ggml-base.bin")));
  }
}

// English never waits for its Whisper model: PocketSphinx subtitles while the model downloads (here: forever).
TEST(LiveSmokeTest, EnglishIsSubtitledAtOnceWhileItsWhisperModelDownloads) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  const Downloads downloads("ggml-base.en.bin", std::string(1 << 20, 'w'));
  runTool({"/usr/bin/flite", "-voice", "slt", "-t", "Hello everybody. Today we talk about the budget.", "-o",
           dir.file("system.wav")});
  BackgroundProcess live(
      {TAVRIN_SYSTEM_AUDIO_BIN, "live", "--language", "en-US", "--no-mic", "--stop-file", dir.file("stop")},
      downloads.options("stall"));
  waitUntil([&] { return !downloads.log().empty() && !live.outputSoFar().empty(); });
  runTool({"/usr/bin/paplay", "--device=system_output", dir.file("system.wav")});
  waitUntil([&] { return live.outputSoFar().find(R"("isFinal":true)") != std::string::npos; });
  EXPECT_NE(live.outputSoFar().find(R"("isFinal":true)"), std::string::npos) << live.outputSoFar();
  writeFile(dir.file("stop"), "");
  const ProcessResult r = live.wait(20s);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(downloads.log(), "/stall/ggml-base.en.bin -\n");
  EXPECT_TRUE(std::filesystem::exists(downloads.data("speech/whisper/ggml-base.en.bin.part")));
}

}  // namespace
}  // namespace tavrin::testing
