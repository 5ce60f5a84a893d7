// One live channel on a scripted speech service and translator.
#include "system-audio/live/live_channel.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/scripted_speech_service.h"
#include "tests/system-audio/live/fake_live.h"

namespace tavrin::system_audio {
namespace {

using speech::RecognizerScript;
using testing::EventFile;

// A result released once `frames` frames were fed (kAtEnd: after the input ended).
constexpr uint64_t kAtEnd = UINT64_MAX;
speech::ScriptedResult result(std::string text, bool isFinal, double start, double end, uint64_t frames = kAtEnd) {
  return {speech::RecognitionResult{std::move(text), start, end, isFinal}, frames};
}
// `frames` frames of 16 kHz mono silence.
void push(CaptureStream& stream, uint32_t frames) {
  stream.add(testing::makeTone(PcmFormat::float32(16000, 1), frames, 0, 0));
}
RecognizerScript script(std::vector<speech::ScriptedResult> results) {
  RecognizerScript s;
  s.results = std::move(results);
  return s;
}

class LiveChannelTest : public ::testing::Test {
 protected:
  LiveServices services() { return LiveServices{speech, translation, "en_US"}; }

  // Runs a channel over `buffers` 1600-frame buffers and returns its events.
  std::vector<std::string> run(LiveChannelRequest r, int buffers = 1) {
    r.buffers = capture;
    r.writer = &writer;
    for (int i = 0; i < buffers; ++i) push(*capture, 1600);
    capture->finish();
    runLiveChannel(r, services());
    return events.lines();
  }
  static LiveChannelRequest request(std::optional<std::string> translateTo = std::nullopt, bool emitStatus = true) {
    LiveChannelRequest r;
    r.translateTo = std::move(translateTo);
    r.emitStatus = emitStatus;
    return r;
  }

  speech::ScriptedSpeechService speech;
  testing::FakeTranslationService translation;
  std::shared_ptr<CaptureStream> capture = std::make_shared<CaptureStream>();
  EventFile events;
  NDJSONWriter writer{events.fd()};
};

TEST_F(LiveChannelTest, IdsTimesAndTranslationsFollowUtterances) {
  translation.setStatus("en", "es", TranslationAvailability::kInstalled);
  speech.scripts.push_back(script({
      result("hel", false, 0.5, 0.9), result("hello there", true, 0.5, 1.6),
      result("  \n", true, 1.7, 1.9),            // blank: segment only, id still advances
      result("next/one", false, -0.25, 1.2345),  // clamped start, truncated end
      result("next one", true, 2.0009, 1.0),     // end before start: end = start
  }));
  EXPECT_EQ(
      run(request("es")),
      (std::vector<std::string>{
          R"({"type":"status","translationStatus":"installed","sourceLocale":"en_US","targetLanguage":"es"})",
          R"({"type":"segment","source":"system","id":0,"text":"hel","isFinal":false,"startMs":500,"endMs":900})",
          R"({"type":"segment","source":"system","id":0,"text":"hello there","isFinal":true,"startMs":500,"endMs":1600})",
          R"({"type":"translation","source":"system","id":0,"text":"es:hello there"})",
          R"({"type":"segment","source":"system","id":1,"text":"  \n","isFinal":true,"startMs":1700,"endMs":1900})",
          R"({"type":"segment","source":"system","id":2,"text":"next\/one","isFinal":false,"startMs":0,"endMs":1234})",
          R"({"type":"segment","source":"system","id":2,"text":"next one","isFinal":true,"startMs":2000,"endMs":2000})",
          R"({"type":"translation","source":"system","id":2,"text":"es:next one"})",
      }));
  EXPECT_EQ(translation.translated(), (std::vector<std::string>{"hello there", "next one"}));  // untrimmed
  EXPECT_EQ(segmentTimes(std::nan(""), std::nan("")).endMs, 0u);
  EXPECT_EQ(segmentTimes(1.0, HUGE_VAL).endMs, UINT64_MAX);
  EXPECT_TRUE(isBlank(" \t\n\xC2\xA0\xE3\x80\x80"));  // NBSP, ideographic space
  EXPECT_FALSE(isBlank("\xFF"));
}

TEST_F(LiveChannelTest, SpokenLinesAreTranslatedFromTheEnginesEnglishAndAFailedOneGivesAnErrorEvent) {
  translation.setStatus("en", "es", TranslationAvailability::kInstalled);
  speech.locales = {{"de_DE", speech::AssetStatus::kInstalled, speech::AssetStatus::kInstalled}};
  const auto spoken = [](std::string text, double start, std::string english, bool fails = false) {
    speech::ScriptedResult r = result(std::move(text), true, start, start + 1);
    r.result.english = std::make_shared<speech::EnglishOfFinal>();
    fails ? r.result.english->fail(english) : r.result.english->deliver(english);
    return r;
  };
  speech.scripts.push_back(
      script({spoken("hallo", 0, "hello"), spoken("kaputt", 1, "No decoding.", true), spoken("weiter", 2, "go on")}));
  LiveChannelRequest r = request("es", false);
  r.language = "de-DE";
  const auto lines = run(r);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1], R"({"type":"translation","source":"system","id":0,"text":"es:hello"})");
  EXPECT_EQ(lines[3], R"({"type":"error","message":"Translation failed: No decoding."})");
  EXPECT_EQ(lines[5], R"({"type":"translation","source":"system","id":2,"text":"es:go on"})");
}

TEST_F(LiveChannelTest, TranslationAndTranscriptionFailuresBecomeErrorEvents) {
  translation.setStatus("en", "es", TranslationAvailability::kInstalled);
  translation.failOn("bad line", "The Apertium translator stopped.");
  RecognizerScript s =
      script({result("bad line", true, 0, 1), result("good line", true, 1, 2), result("x", true, 2, 3)});
  s.failResultsAfter = 2;
  s.failResultsText = "engine exploded";
  speech.scripts.push_back(s);
  speech.notice = "The Whisper model /m.bin is damaged: it ends early. en_US is transcribed by the built-in engine.";
  EXPECT_EQ(
      run(request("es", false)),
      (std::vector<std::string>{
          R"({"type":"error","message":"The Whisper model \/m.bin is damaged: it ends early. en_US is transcribed by )"
          R"(the built-in engine."})",
          R"({"type":"segment","source":"system","id":0,"text":"bad line","isFinal":true,"startMs":0,"endMs":1000})",
          R"({"type":"error","message":"Translation failed: The Apertium translator stopped."})",
          R"({"type":"segment","source":"system","id":1,"text":"good line","isFinal":true,"startMs":1000,"endMs":2000})",
          R"({"type":"translation","source":"system","id":1,"text":"es:good line"})",
          R"({"type":"error","message":"Transcription failed: engine exploded"})",
      }));
}

TEST_F(LiveChannelTest, SetUpFailuresCancelTheStreamAndWriteAtMostTheStatus) {
  const std::string status = R"({"type":"status","translationStatus":"disabled","sourceLocale":"en_US"})";
  const struct {
    std::function<void(speech::ScriptedSpeechService&)> arrange;
    std::optional<std::string> language;
    std::string error;
    bool statusWritten;
    bool stopped = false;     // the capture has stopped: a download stops waiting
    bool errorEvent = false;  // the reason is also an error event
  } rows[] = {
      {[](auto& s) { s.available = false; }, {}, "Apple SpeechTranscriber is not available on this device.", false},
      {[](auto&) {}, "xx-YY", "Apple SpeechTranscriber does not support locale xx_YY.", false},
      {[](auto& s) { s.format = std::nullopt; }, {}, "No compatible SpeechAnalyzer audio format is installed.", true},
      {[](auto& s) { s.locales[0].status = speech::AssetStatus::kSupported, s.installWaits = true; },
       {},
       "The download was stopped.",
       false,
       true},
      {[](auto& s) { s.locales[0].status = speech::AssetStatus::kSupported, s.failInstall = "no model"; },
       {},
       "no model",
       false,
       false,
       true},
  };
  for (const auto& row : rows) {
    speech::ScriptedSpeechService fresh;
    row.arrange(fresh);
    EventFile file;
    NDJSONWriter w(file.fd());
    auto source = std::make_shared<CaptureStream>();
    push(*source, 160);
    if (row.stopped) source->finish();
    LiveChannelRequest r = request();
    r.language = row.language;
    r.buffers = source;
    r.writer = &w;
    try {
      runLiveChannel(r, LiveServices{fresh, translation, "en_US"});
      ADD_FAILURE() << "expected " << row.error;
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), row.error);
    }
    push(*source, 160);  // abandoned: what it held is gone and new buffers are not kept
    EXPECT_EQ(source->queued(), 0u) << row.error;
    std::vector<std::string> lines;
    if (row.statusWritten) lines.push_back(status);
    if (row.errorEvent) lines.push_back(R"({"type":"error","message":")" + row.error + "\"}");
    EXPECT_EQ(file.lines(), lines);
  }
}

}  // namespace
}  // namespace tavrin::system_audio
