// The live command's start and stop orders on fake captures, a scripted
// speech service and a scripted system (the stop file appears after a few
// pauses of the stop-signal wait).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "system-audio/live/live_subtitles.h"
#include "speech-service/scripted_speech_service.h"
#include "tests/system-audio/live/fake_live.h"
#include "tests/system-audio/live/fake_translation.h"
#include "tests/support/fake_system_env.h"
#include "tests/support/subprocess.h"

namespace tavrin::system_audio {
namespace {

using speech::RecognitionResult;
using testing::FakeCapture;
using testing::FakeCaptures;
using testing::FakeSystemEnv;
using testing::FakeTranslationService;
using speech::RecognizerScript;
using speech::ScriptedResult;

class LiveSubtitlesTest : public ::testing::Test {
 protected:
  LiveSubtitlesTest() {
    fd_ = ::open(dir_.file("events").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    translation.setStatus("en", "es", TranslationAvailability::kInstalled);
    // The stop file appears at the third pause of the wait.
    env.onSleep([this](int sleeps) {
      if (sleeps == 2) env.addPath("/stop");
    });
  }
  ~LiveSubtitlesTest() override { ::close(fd_); }

  void run(LiveRequest request) {
    request.stopFilePath = "/stop";
    LiveServices services{speech, translation, "en_US"};
    LiveRunOptions options{fd_, timingEnabled, [this](const std::string& l) { timingLines.push_back(l); },
                           [] { return uint64_t{0}; }};
    runLiveSubtitles(request, captures, services, env, options);
  }

  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::string all = testing::readFile(dir_.file("events")), line;
    for (char c : all) {
      if (c == '\n') {
        out.push_back(line);
        line.clear();
      } else {
        line.push_back(c);
      }
    }
    return out;
  }
  std::vector<std::string> linesOf(const std::string& source) const {
    std::vector<std::string> out;
    for (auto& l : lines()) {
      if (l.find("\"source\":\"" + source + "\"") != std::string::npos) out.push_back(l);
    }
    return out;
  }

  static RecognizerScript finalAtEnd(const std::string& text) {
    RecognizerScript s;
    s.results = {ScriptedResult{RecognitionResult{text, 0, 1, true}, UINT64_MAX}};
    return s;
  }

  testing::TempDir dir_;
  int fd_ = -1;
  FakeSystemEnv env;
  FakeCaptures captures;
  speech::ScriptedSpeechService speech;
  FakeTranslationService translation;
  bool timingEnabled = false;
  std::vector<std::string> timingLines;
};

TEST_F(LiveSubtitlesTest, StopOrderLetsBothChannelsDrainTheirLastResults) {
  // Each channel's only final result comes out when its recognizer is
  // finished, i.e. after the stop: it and its translation must still be
  // written before the run returns.
  // Which channel makes its recognizer first is not fixed: both get the
  // same script.
  speech.scripts = {finalAtEnd("last words"), finalAtEnd("last words")};
  captures.onSystemStarted = [](FakeCapture& c) { c.push(1600); };
  captures.onMicStarted = [](FakeCapture& c) { c.push(1600); };
  LiveRequest request;
  request.translateTo = "es";
  run(request);

  EXPECT_EQ(captures.log, (std::vector<std::string>{"system.start", "mic.start", "system.stop", "mic.stop"}));
  auto all = lines();
  ASSERT_EQ(all.size(), 5u);
  // Only the system channel writes the status event, before its segments.
  const std::string status =
      R"({"type":"status","translationStatus":"installed","sourceLocale":"en_US","targetLanguage":"es"})";
  EXPECT_EQ(std::count(all.begin(), all.end(), status), 1);
  EXPECT_LT(std::find(all.begin(), all.end(), status) - all.begin(),
            std::find(all.begin(), all.end(), linesOf("system").at(0)) - all.begin());
  EXPECT_EQ(linesOf("system"),
            (std::vector<std::string>{
                R"({"type":"segment","source":"system","id":0,"text":"last words","isFinal":true,"startMs":0,"endMs":1000})",
                R"({"type":"translation","source":"system","id":0,"text":"es:last words"})"}));
  EXPECT_EQ(linesOf("mic"),
            (std::vector<std::string>{
                R"({"type":"segment","source":"mic","id":0,"text":"last words","isFinal":true,"startMs":0,"endMs":1000})",
                R"({"type":"translation","source":"mic","id":0,"text":"es:last words"})"}));
  EXPECT_FALSE(captures.micVoiceProcessing.value());
}

TEST_F(LiveSubtitlesTest, AFailingMicrophoneIsAnEventBeforeAnyChannelEvent) {
  captures.micFailure = "Connection refused";
  speech.scripts = {finalAtEnd("still subtitled")};
  LiveRequest request;
  request.echoCancellation = true;
  run(request);
  auto all = lines();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], R"({"type":"error","message":"Microphone capture failed: Connection refused"})");
  EXPECT_EQ(all[1], R"({"type":"status","translationStatus":"disabled","sourceLocale":"en_US"})");
  EXPECT_EQ(linesOf("system").size(), 1u);
  EXPECT_TRUE(captures.micVoiceProcessing.value());
  // The failed microphone stopped itself and is not stopped again.
  EXPECT_EQ(captures.log, (std::vector<std::string>{"system.start", "mic.start", "system.stop"}));
}

TEST_F(LiveSubtitlesTest, AFailingSystemCaptureFailsTheRunBeforeAnythingElse) {
  captures.systemFailure = "CoreAudio error (connect): -1";
  EXPECT_THROW(run(LiveRequest{}), std::runtime_error);
  EXPECT_EQ(captures.log, (std::vector<std::string>{"system.start"}));
  EXPECT_FALSE(captures.micVoiceProcessing.has_value());  // never created
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(env.sleeps(), 0);
}

TEST_F(LiveSubtitlesTest, MicrophoneOnlyRunWritesTheStatusAndNoTimingLines) {
  timingEnabled = true;
  RecognizerScript script;
  script.results = {ScriptedResult{RecognitionResult{"hi", 0, 0.1, false}, 1},
                    ScriptedResult{RecognitionResult{"hi", 0, 0.2, true}, UINT64_MAX}};
  speech.scripts = {script};
  captures.onMicStarted = [](FakeCapture& c) { c.push(160); };
  LiveRequest request;
  request.systemEnabled = false;
  run(request);
  auto all = lines();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], R"({"type":"status","translationStatus":"disabled","sourceLocale":"en_US"})");
  EXPECT_EQ(captures.log, (std::vector<std::string>{"mic.start", "mic.stop"}));
  EXPECT_TRUE(timingLines.empty());
}

TEST_F(LiveSubtitlesTest, SystemChannelGetsTheTimer) {
  timingEnabled = true;
  speech.scripts = {finalAtEnd("timed")};
  LiveRequest request;
  request.micEnabled = false;
  run(request);
  ASSERT_EQ(timingLines.size(), 1u);
  EXPECT_EQ(timingLines[0], "[live-timing] kind=final audioEndSec=1.00 lagMs=-1000\n");
}

TEST_F(LiveSubtitlesTest, NoCapturesOnlyWaitsForTheStopSignal) {
  LiveRequest request;
  request.micEnabled = false;
  request.systemEnabled = false;
  run(request);
  EXPECT_TRUE(lines().empty());
  EXPECT_TRUE(captures.log.empty());
  EXPECT_EQ(env.sleeps(), 3);  // the file appeared during the third pause
}

TEST_F(LiveSubtitlesTest, DeviceChangeWritesOneErrorEventAndTheRunGoesOn) {
  speech.scripts = {finalAtEnd("after the change")};
  captures.onSystemStarted = [this](FakeCapture&) { captures.deviceLost(); };
  LiveRequest request;
  request.micEnabled = false;
  run(request);
  auto all = lines();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], R"({"type":"error","message":"System audio output device changed; stopping capture."})");
  EXPECT_EQ(linesOf("system").size(), 1u);
}

TEST_F(LiveSubtitlesTest, AChannelThatFailsDoesNotEndTheRun) {
  speech.available = false;
  LiveRequest request;
  run(request);
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(captures.log, (std::vector<std::string>{"system.start", "mic.start", "system.stop", "mic.stop"}));
}

}  // namespace
}  // namespace tavrin::system_audio
