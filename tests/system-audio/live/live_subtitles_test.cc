// The live command's start and stop orders on fake captures, a scripted
// speech service and a scripted system (the stop file appears at the third
// pause of the stop-signal wait).
#include <gtest/gtest.h>

#include <algorithm>

#include "speech-service/scripted_speech_service.h"
#include "system-audio/live/live_subtitles.h"
#include "tests/support/fake_system_env.h"
#include "tests/system-audio/live/fake_live.h"
#include "tests/system-audio/live/fake_translation.h"

namespace tavrin::system_audio {
namespace {

using testing::FakeCapture;

const std::string kDisabled = R"({"type":"status","translationStatus":"disabled","sourceLocale":"en_US"})";

std::string segment(const std::string& source, const std::string& text) {
  return R"({"type":"segment","source":")" + source + R"(","id":0,"text":")" + text +
         R"(","isFinal":true,"startMs":0,"endMs":1000})";
}

class LiveSubtitlesTest : public ::testing::Test {
 protected:
  // Runs live with every recognizer giving `text` as its one final result
  // when its input ends; returns the events.
  std::vector<std::string> run(LiveRequest request, const std::string& text = "last words") {
    request.stopFilePath = "/stop";
    env = testing::FakeSystemEnv();
    env.onSleep([this](int sleeps) {
      if (sleeps == 2) env.addPath("/stop");
    });
    speech::RecognizerScript script;
    script.results = {{speech::RecognitionResult{text, 0, 1, true}, UINT64_MAX}};
    speech.scripts.insert(speech.scripts.end(), {script, script});  // recognizers take the next ones
    translation.setStatus("en", "es", TranslationAvailability::kInstalled);
    testing::EventFile events;
    LiveRunOptions options{events.fd(), timingEnabled, [this](const std::string& l) { timingLines.push_back(l); },
                           [] { return uint64_t{0}; }};
    runLiveSubtitles(request, captures, LiveServices{speech, translation, "en_US"}, env, options);
    return events.lines();
  }

  testing::FakeSystemEnv env;
  testing::FakeCaptures captures;
  speech::ScriptedSpeechService speech;
  testing::FakeTranslationService translation;
  bool timingEnabled = false;
  std::vector<std::string> timingLines;
};

TEST_F(LiveSubtitlesTest, BothCapturesStopBeforeEitherChannelDrainsItsLastResult) {
  // Each channel's only result comes out when its recognizer is finished,
  // i.e. after the stop: it and its translation must still be written.
  captures.onSystemStarted = [](FakeCapture& c) { c.push(1600); };
  captures.onMicStarted = [](FakeCapture& c) { c.push(1600); };
  LiveRequest request;
  request.translateTo = "es";
  auto lines = run(request);
  EXPECT_EQ(captures.log, (std::vector<std::string>{"system.start", "mic.start", "system.stop", "mic.stop"}));
  // The system channel writes the one status event, before its segment.
  const std::string status =
      R"({"type":"status","translationStatus":"installed","sourceLocale":"en_US","targetLanguage":"es"})";
  const auto at = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) - lines.begin(); };
  EXPECT_LT(at(status), at(segment("system", "last words")));
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{
                       segment("mic", "last words"), segment("system", "last words"), status,
                       R"({"type":"translation","source":"mic","id":0,"text":"es:last words"})",
                       R"({"type":"translation","source":"system","id":0,"text":"es:last words"})"}));
  EXPECT_FALSE(captures.micVoiceProcessing.value());
  EXPECT_EQ(env.sleeps(), 3);
  EXPECT_TRUE(timingLines.empty());  // not asked for
}

TEST_F(LiveSubtitlesTest, EachRunShapeWritesItsEventsInOrderAndOnlyTheSystemChannelIsTimed) {
  const std::vector<std::string> timed = {"[live-timing] kind=final audioEndSec=1.00 lagMs=-1000\n"};
  timingEnabled = true;
  const struct {
    const char* what;
    std::function<void(testing::FakeCaptures&, LiveRequest&)> arrange;
    std::vector<std::string> events, log;
    std::optional<bool> voiceProcessing;
    bool isTimed;
  } rows[] = {
      {"failing microphone",
       [](auto& c, auto& r) {
         c.micFailure = "Connection refused";
         r.echoCancellation = true;
       },
       {R"({"type":"error","message":"Microphone capture failed: Connection refused"})", kDisabled,
        segment("system", "last words")},
       {"system.start", "mic.start", "system.stop"},
       true, true},
      {"microphone only", [](auto&, auto& r) { r.systemEnabled = false; }, {kDisabled, segment("mic", "last words")},
       {"mic.start", "mic.stop"},
       false, false},
      {"device change",
       [](auto& c, auto& r) {
         c.onSystemStarted = [&c](FakeCapture&) { c.deviceLost(); };
         r.micEnabled = false;
       },
       {R"({"type":"error","message":"System audio output device changed; stopping capture."})", kDisabled,
        segment("system", "last words")},
       {"system.start", "system.stop"},
       std::nullopt, true},
      {"no captures",
       [](auto&, auto& r) {
         r.micEnabled = false;
         r.systemEnabled = false;
       },
       {}, {}, std::nullopt, false},
  };
  for (const auto& row : rows) {
    captures = {};
    timingLines.clear();
    LiveRequest request;
    row.arrange(captures, request);
    EXPECT_EQ(run(request), row.events) << row.what;
    EXPECT_EQ(captures.log, row.log) << row.what;
    EXPECT_EQ(captures.micVoiceProcessing, row.voiceProcessing) << row.what;
    EXPECT_EQ(timingLines, row.isTimed ? timed : std::vector<std::string>{}) << row.what;
  }
}

TEST_F(LiveSubtitlesTest, FailuresOfTheSystemCaptureEndTheRunAndOfAChannelDoNot) {
  captures.systemFailure = "CoreAudio error (connect): -1";
  EXPECT_THROW(run(LiveRequest{}), std::runtime_error);
  EXPECT_EQ(captures.log, (std::vector<std::string>{"system.start"}));
  EXPECT_EQ(env.sleeps(), 0);
  captures = {};
  speech.available = false;  // both channels fail to set up
  EXPECT_TRUE(run(LiveRequest{}).empty());
  EXPECT_EQ(captures.log, (std::vector<std::string>{"system.start", "mic.start", "system.stop", "mic.stop"}));
}

}  // namespace
}  // namespace tavrin::system_audio
