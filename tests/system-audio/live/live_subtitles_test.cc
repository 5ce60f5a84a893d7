// The live command with the real captures on the fake server and a scripted speech service.
#include "system-audio/live/live_subtitles.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/fake_system_env.h"
#include "tests/support/scripted_speech_service.h"
#include "tests/system-audio/live/fake_live.h"

namespace tavrin::system_audio {
namespace {

using testing::FakeSoundServer;

const PcmFormat kSink{48000, 2, SampleType::kFloat32, true}, kMic{48000, 1, SampleType::kFloat32, true};
const std::string kDisabled = R"({"type":"status","translationStatus":"disabled","sourceLocale":"en_US"})";

std::string segment(const std::string& source) {
  return R"({"type":"segment","source":")" + source +
         R"(","id":0,"text":"last words","isFinal":true,"startMs":0,"endMs":1000})";
}
std::string error(const std::string& message) {
  return R"({"type":"error","message":")" + message + "\"}";
}

struct LiveRun {
  // Runs live until the third pause, every recognizer giving "last words" when its input
  // ends; returns the events sorted (the channels write concurrently).
  std::vector<std::string> run(LiveRequest request, std::function<void(FakeSoundServer&)> atFirstPause = {}) {
    request.stopFilePath = "/stop";
    env.onSleep([&](int sleeps) {
      if (sleeps == 0 && atFirstPause) atFirstPause(captures.server);
      captures.server.deliver("system_output.monitor", testing::makeTone(kSink, 4800, 0, 0.1f));
      captures.server.deliver("virtual_mic", testing::makeTone(kMic, 4800, 0, 0.1f));
      if (sleeps == 2) env.addPath("/stop");
    });
    speech::RecognizerScript script;
    script.results = {{speech::RecognitionResult{"last words", 0, 1, true}, UINT64_MAX}};
    speech.scripts = {script, script};
    translation.setStatus("en", "es", TranslationAvailability::kInstalled);
    testing::EventFile events;
    LiveRunOptions options{events.fd(), true, [this](const std::string& l) { timingLines.push_back(l); },
                           [] { return uint64_t{0}; }};
    runLiveSubtitles(request, captures, LiveServices{speech, translation, "en_US"}, env, options);
    auto lines = events.lines();
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  // The starts and stops of streams in the server's log.
  std::vector<std::string> starts() const {
    std::vector<std::string> out;
    for (const auto& entry : captures.server.log()) {
      if (entry.find("start:") != std::string::npos) out.push_back(entry);
    }
    return out;
  }

  testing::ServerCaptures captures;
  speech::ScriptedSpeechService speech;
  testing::FakeTranslationService translation;
  testing::FakeSystemEnv env;
  std::vector<std::string> timingLines;
};

TEST(LiveSubtitlesTest, EachRunShapeWritesItsEventsAndOnlyTheSystemChannelIsTimed) {
  using Lines = std::vector<std::string>;
  const std::string system = "system_output.monitor", mic = "virtual_mic";
  const std::string changed = error("System audio output device changed; stopping capture.");
  const Lines both = {"start:" + system, "start:" + mic}, systemOnly = {"start:" + system, "~start:" + system};
  const auto noMic = [](auto&, LiveRequest& r) { r.micEnabled = false; };
  const auto kill = [](const std::string& why, const std::string& source = "") {
    return [=](FakeSoundServer& s) { s.failStreams(why, source); };
  };
  const struct {
    const char* what;
    std::function<void(FakeSoundServer&, LiveRequest&)> arrange;
    std::function<void(FakeSoundServer&)> atFirstPause;
    Lines events, starts;
    std::optional<bool> voiceProcessing = std::nullopt;
    bool timed = true;
  } rows[] = {
      // Each channel's only result comes out after the stop: it and its translation are still written.
      {"both channels",
       [](auto&, auto& r) { r.translateTo = "es"; },
       {},
       Lines{R"({"type":"status","translationStatus":"installed","sourceLocale":"en_US","targetLanguage":"es"})",
             segment("system"), segment("mic"),
             R"({"type":"translation","source":"system","id":0,"text":"es:last words"})",
             R"({"type":"translation","source":"mic","id":0,"text":"es:last words"})"},
       Lines{"start:" + system, "start:" + mic, "~start:" + system, "~start:" + mic},
       false},
      {"no microphone: the default source is the output's monitor",
       [](auto& s, auto& r) {
         s.setDefaultSource("system_output.monitor");
         r.echoCancellation = true;
       },
       {},
       Lines{error("Microphone capture failed: No audio input device is available."), kDisabled, segment("system")},
       systemOnly,
       true},
      {"microphone only",
       [](auto&, auto& r) { r.systemEnabled = false; },
       {},
       Lines{kDisabled, segment("mic")},
       Lines{"start:" + mic, "~start:" + mic},
       false,
       false},
      {"device change", noMic, [](auto& s) { s.setDefaultSink("headphones"); },
       Lines{changed, kDisabled, segment("system")}, systemOnly},
      {"no captures", [](auto&, auto& r) { r.micEnabled = r.systemEnabled = false; }, {}, {}, {}, {}, false},
      {"last output removed", [](auto&, auto&) {}, kill("Entity killed", system),
       Lines{changed, error("System audio stream stopped: Entity killed."), kDisabled, segment("system"),
             segment("mic")},
       Lines{"start:" + system, "start:" + mic, "~start:" + mic}, false},
      {"output replaced, capture follows the new one", noMic,
       [](auto& s) {
         s.addSink({"headphones", "headphones.monitor", PcmFormat{48000, 2, SampleType::kFloat32, true}});
         s.failStreams("Entity killed", "system_output.monitor");
       },
       Lines{changed, kDisabled, segment("system")},
       Lines{"start:" + system, "start:headphones.monitor", "~start:headphones.monitor"}},
      {"server gone", [](auto&, auto&) {}, kill("Connection terminated"),
       Lines{error("System audio stream stopped: Connection terminated."),
             error("Microphone capture failed: Connection terminated"), kDisabled, segment("system"), segment("mic")},
       both, false},
  };
  for (const auto& row : rows) {
    LiveRun live;
    LiveRequest request;
    row.arrange(live.captures.server, request);
    auto events = row.events;
    std::sort(events.begin(), events.end());
    EXPECT_EQ(live.run(request, row.atFirstPause), events) << row.what;
    EXPECT_EQ(live.starts(), row.starts) << row.what;
    EXPECT_EQ(live.captures.server.held(), 0) << row.what;
    EXPECT_EQ(live.captures.micVoiceProcessing, row.voiceProcessing) << row.what;
    EXPECT_EQ(live.env.sleeps(), 3) << row.what;
    const std::vector<std::string> timed = {"[live-timing] kind=final audioEndSec=1.00 lagMs=-1000\n"};
    EXPECT_EQ(live.timingLines, row.timed ? timed : std::vector<std::string>{}) << row.what;
  }
}

}  // namespace
}  // namespace tavrin::system_audio
