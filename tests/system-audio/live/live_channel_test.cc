// Protocol of one live channel on a scripted speech service and a scripted
// translator: ids, times, translations, status events, failures, set-up
// order and the drain at the end of the stream.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <thread>

#include "system-audio/base/errors.h"
#include "system-audio/live/live_channel.h"
#include "speech-service/scripted_speech_service.h"
#include "tests/system-audio/live/fake_live.h"
#include "tests/system-audio/live/fake_translation.h"
#include "tests/support/subprocess.h"

namespace tavrin::system_audio {
namespace {

using speech::RecognitionResult;
using testing::FakeCapture;
using testing::FakeTranslationService;
using speech::RecognizerScript;
using speech::ScriptedResult;

// Events written to a file, read back as lines.
class EventFile {
 public:
  EventFile() : path_(dir_.file("events")), fd_(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {}
  ~EventFile() { ::close(fd_); }
  int fd() const { return fd_; }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::string all = testing::readFile(path_), line;
    for (char c : all) {
      if (c == '\n') {
        out.push_back(line);
        line.clear();
      } else {
        line.push_back(c);
      }
    }
    EXPECT_EQ(line, "") << "unterminated last line";
    return out;
  }

 private:
  testing::TempDir dir_;
  std::string path_;
  int fd_;
};

// Results released at the end of input (after the stop), or once `frames`
// frames have been fed.
constexpr uint64_t kAtEnd = UINT64_MAX;
inline RecognizerScript scriptOf(std::vector<ScriptedResult> results) {
  RecognizerScript s;
  s.results = std::move(results);
  return s;
}
inline ScriptedResult resultAt(uint64_t frames, std::string text, bool isFinal, double start, double end) {
  return ScriptedResult{RecognitionResult{std::move(text), start, end, isFinal}, frames};
}
ScriptedResult atEnd(std::string text, bool isFinal, double start, double end) {
  return resultAt(kAtEnd, std::move(text), isFinal, start, end);
}

class LiveChannelTest : public ::testing::Test {
 protected:
  LiveServices services() { return LiveServices{speech, translation, "en_US"}; }

  int installs() const {
    int n = 0;
    for (const std::string& call : speech.calls()) n += call.rfind("install:", 0) == 0;
    return n;
  }

  LiveChannelRequest request(AudioChannel source = AudioChannel::kSystem) {
    LiveChannelRequest r;
    r.source = source;
    r.buffers = capture.stream();
    r.writer = &writer;
    r.emitStatus = true;
    return r;
  }

  // Runs a channel over `frames` (one buffer each) and returns its events.
  std::vector<std::string> run(LiveChannelRequest r, std::vector<uint32_t> frames = {1600}) {
    for (uint32_t n : frames) capture.push(n);
    capture.stop();
    runLiveChannel(r, services());
    return events.lines();
  }

  speech::ScriptedSpeechService speech;
  FakeTranslationService translation;
  FakeCapture capture;
  EventFile events;
  NDJSONWriter writer{events.fd()};
};

TEST_F(LiveChannelTest, IdsTimesAndTranslationsFollowUtterances) {
  translation.setStatus("en", "es", TranslationAvailability::kInstalled);
  translation.setTranslation("hello there", "hola");
  speech.scripts.push_back(scriptOf({
      atEnd("hel", false, 0.5, 0.9),
      atEnd("hello", false, 0.5, 1.2),
      atEnd("hello there", true, 0.5, 1.6),
      atEnd("  \n", true, 1.7, 1.9),          // blank: segment only, id still advances
      atEnd("next/one", false, -0.25, 1.2345),  // clamped start, truncated end
      atEnd("next one", true, 2.0009, 1.0),    // end before start: end = start
  }));
  auto r = request();
  r.translateTo = "es";
  EXPECT_EQ(run(r), (std::vector<std::string>{
                        R"({"type":"status","translationStatus":"installed","sourceLocale":"en_US","targetLanguage":"es"})",
                        R"({"type":"segment","source":"system","id":0,"text":"hel","isFinal":false,"startMs":500,"endMs":900})",
                        R"({"type":"segment","source":"system","id":0,"text":"hello","isFinal":false,"startMs":500,"endMs":1200})",
                        R"({"type":"segment","source":"system","id":0,"text":"hello there","isFinal":true,"startMs":500,"endMs":1600})",
                        R"({"type":"translation","source":"system","id":0,"text":"hola"})",
                        R"({"type":"segment","source":"system","id":1,"text":"  \n","isFinal":true,"startMs":1700,"endMs":1900})",
                        R"({"type":"segment","source":"system","id":2,"text":"next\/one","isFinal":false,"startMs":0,"endMs":1234})",
                        R"({"type":"segment","source":"system","id":2,"text":"next one","isFinal":true,"startMs":2000,"endMs":2000})",
                        R"({"type":"translation","source":"system","id":2,"text":"es:next one"})",
                    }));
  // Only finals that are not blank were translated, untrimmed.
  EXPECT_EQ(translation.translated(), (std::vector<std::string>{"hello there", "next one"}));
  EXPECT_EQ(translation.opened(), (std::vector<FakeTranslationService::Pair>{{"en", "es"}}));
}

TEST_F(LiveChannelTest, TimesThatAreNotNumbersOrTooLargeDoNotFail) {
  EXPECT_EQ(segmentTimes(std::nan(""), std::nan("")).startMs, 0u);
  EXPECT_EQ(segmentTimes(1.0, std::nan("")).endMs, 1000u);
  EXPECT_EQ(segmentTimes(1.0, HUGE_VAL).endMs, UINT64_MAX);
  EXPECT_EQ(segmentTimes(-HUGE_VAL, 0.0015).endMs, 1u);
  EXPECT_TRUE(isBlank(" \t\n\xC2\xA0\xE3\x80\x80"));  // NBSP, ideographic space
  EXPECT_FALSE(isBlank(" a "));
  EXPECT_FALSE(isBlank("\xFF"));
}

TEST_F(LiveChannelTest, StatusEventRules) {
  struct Case {
    std::optional<std::string> language, target;
    std::string status;
    std::string line;
  };
  translation.setStatus("en", "de", TranslationAvailability::kSupported);
  translation.setStatus("en", "fr", TranslationAvailability::kUnsupported);
  translation.setStatus("en", "es", TranslationAvailability::kInstalled);
  std::vector<Case> cases = {
      {std::nullopt, std::nullopt, "disabled", R"({"type":"status","translationStatus":"disabled","sourceLocale":"en_US"})"},
      {"en-US", "en", "sameLanguage",
       R"({"type":"status","translationStatus":"sameLanguage","sourceLocale":"en_US","targetLanguage":"en"})"},
      // "en" asks for en and the service's equivalent en_US is reported.
      {"en", "de-AT", "needsDownload",
       R"({"type":"status","translationStatus":"needsDownload","sourceLocale":"en_US","targetLanguage":"de-AT"})"},
      {std::nullopt, "fr", "unsupported",
       R"({"type":"status","translationStatus":"unsupported","sourceLocale":"en_US","targetLanguage":"fr"})"},
  };
  for (const Case& c : cases) {
    EventFile file;
    NDJSONWriter w(file.fd());
    std::unique_ptr<Translator> t = makeTranslator(makeLiveTranscriber(c.language, services()).locale, c.target, w,
                                                   true, translation);
    EXPECT_EQ(t, nullptr) << c.status;
    EXPECT_EQ(file.lines(), std::vector<std::string>{c.line});
  }
  // Without emitStatus nothing is written, but an installed pair still
  // gives a translator.
  EventFile quiet;
  NDJSONWriter w(quiet.fd());
  EXPECT_NE(makeTranslator("en_US", "es", w, false, translation), nullptr);
  EXPECT_TRUE(quiet.lines().empty());
}

TEST_F(LiveChannelTest, NoTranslationEventsUnlessThePairIsInstalled) {
  translation.setStatus("en", "de", TranslationAvailability::kSupported);
  speech.scripts.push_back(scriptOf({atEnd("one", true, 0, 1)}));
  auto r = request(AudioChannel::kMic);
  r.translateTo = "de";
  EXPECT_EQ(run(r), (std::vector<std::string>{
                        R"({"type":"status","translationStatus":"needsDownload","sourceLocale":"en_US","targetLanguage":"de"})",
                        R"({"type":"segment","source":"mic","id":0,"text":"one","isFinal":true,"startMs":0,"endMs":1000})",
                    }));
  EXPECT_TRUE(translation.opened().empty());
}

TEST_F(LiveChannelTest, TranslationAndTranscriptionFailuresBecomeErrorEvents) {
  translation.setStatus("en", "es", TranslationAvailability::kInstalled);
  translation.failOn("bad line", "The Apertium translator stopped.");
  RecognizerScript script =
      scriptOf({atEnd("bad line", true, 0, 1), atEnd("good line", true, 1, 2), atEnd("never", true, 2, 3)});
  script.failResultsAfter = 2;
  script.failResultsText = "engine exploded";
  speech.scripts.push_back(script);
  auto r = request();
  r.translateTo = "es";
  r.emitStatus = false;
  EXPECT_EQ(run(r), (std::vector<std::string>{
                        R"({"type":"segment","source":"system","id":0,"text":"bad line","isFinal":true,"startMs":0,"endMs":1000})",
                        R"({"type":"error","message":"Translation failed: The Apertium translator stopped."})",
                        R"({"type":"segment","source":"system","id":1,"text":"good line","isFinal":true,"startMs":1000,"endMs":2000})",
                        R"({"type":"translation","source":"system","id":1,"text":"es:good line"})",
                        R"({"type":"error","message":"Transcription failed: engine exploded"})",
                    }));
}

TEST_F(LiveChannelTest, SetUpFailuresBeforeTheStatusWriteNothingAndCancelTheStream) {
  auto expectFailure = [&](const std::string& message) {
    FakeCapture fresh;
    auto r = request();
    r.buffers = fresh.stream();
    fresh.push(160);
    try {
      runLiveChannel(r, services());
      ADD_FAILURE() << "expected " << message;
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
    // The stream was abandoned: what it held is gone and new buffers are
    // not kept.
    fresh.push(160);
    EXPECT_EQ(fresh.stream()->queued(), 0u);
  };
  speech.available = false;
  expectFailure("Apple SpeechTranscriber is not available on this device.");
  speech.available = true;
  auto r = request();
  r.language = "xx-YY";
  {
    FakeCapture fresh;
    r.buffers = fresh.stream();
    EXPECT_THROW(runLiveChannel(r, services()), SystemAudioError);
    try {
      runLiveChannel(r, services());
    } catch (const SystemAudioError& e) {
      EXPECT_STREQ(e.what(), "Apple SpeechTranscriber does not support locale xx_YY.");
    }
  }
  speech.locales[0].status = speech::AssetStatus::kSupported;
  speech.failInstall = "no network";
  expectFailure("no network");
  EXPECT_EQ(installs(), 1);
  EXPECT_TRUE(events.lines().empty());
}

TEST_F(LiveChannelTest, SetUpFailuresAfterTheStatusWriteOnlyTheStatus) {
  speech.format = std::nullopt;
  EXPECT_THROW(run(request()), SystemAudioError);
  speech.format = PcmFormat::float32(16000, 1);
  speech.failMakeRecognizer = "analyzer refused";
  FakeCapture fresh;
  auto r = request();
  r.buffers = fresh.stream();
  EXPECT_THROW(runLiveChannel(r, services()), speech::SpeechServiceError);
  EXPECT_EQ(events.lines(), (std::vector<std::string>(
                                 2, R"({"type":"status","translationStatus":"disabled","sourceLocale":"en_US"})")));
  EXPECT_EQ(capture.stream()->queued(), 0u);
}

TEST_F(LiveChannelTest, AssetsAreInstalledOnlyWhenMissing) {
  run(request());
  EXPECT_EQ(installs(), 0);
  speech.locales[0].status = speech::AssetStatus::kSupported;
  FakeCapture fresh;
  auto r = request();
  r.buffers = fresh.stream();
  fresh.stop();
  runLiveChannel(r, services());
  EXPECT_EQ(installs(), 1);
}

TEST_F(LiveChannelTest, BuffersAreConvertedToTheRecognizerFormatAndFedInOrder) {
  // A 48 kHz stereo capture: 4800 frames per buffer become 1600 at 16 kHz.
  speech.scripts.push_back(scriptOf({
      resultAt(4000, "after a quarter second", false, 0, 0.25),
      atEnd("end", true, 0, 0.6),
  }));
  for (int i = 0; i < 6; ++i) {
    PcmBufferPtr b = PcmBuffer::create(PcmFormat::float32(48000, 2), 4800);
    b->setFrameLength(4800);
    capture.stream()->add(b);
  }
  capture.stop();
  runLiveChannel(request(), services());
  // The resampler may hold a few frames back; the rest reach the engine.
  ASSERT_EQ(speech.recognizers().size(), 1u);
  uint64_t fed = 0;
  for (uint32_t n : speech.recognizers()[0]->chunkFrames()) fed += n;
  EXPECT_GT(fed, 9000u);
  EXPECT_LE(fed, 9600u);
  EXPECT_EQ(speech.recognizers()[0]->mode, speech::ReportingMode::kLive);
  EXPECT_EQ(events.lines().size(), 3u);
}

TEST_F(LiveChannelTest, AFailedFinishFailsTheChannelButKeepsWrittenEvents) {
  RecognizerScript script = scriptOf({resultAt(1, "early", true, 0, 0.1)});
  script.failInputFinished = "finalize failed";
  speech.scripts.push_back(script);
  EXPECT_THROW(run(request()), speech::SpeechServiceError);
  auto lines = events.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], R"({"type":"segment","source":"system","id":0,"text":"early","isFinal":true,"startMs":0,"endMs":100})");
  // This engine also ends its result sequence with the failure.
  EXPECT_EQ(lines[2], R"({"type":"error","message":"Transcription failed: finalize failed"})");
}

TEST_F(LiveChannelTest, TimingLogsEveryResultOfItsChannel) {
  std::vector<std::string> timingLines;
  uint64_t now = 5'000'000'000;
  LiveTiming timing(true, [&] { return now; }, [&](const std::string& l) { timingLines.push_back(l); });
  speech.scripts.push_back(scriptOf({atEnd("a", false, 0, 0.5), atEnd("ab", true, 0, 1.25)}));
  auto r = request();
  r.timing = &timing;
  for (int i = 0; i < 2; ++i) capture.push(1600);
  capture.stop();
  runLiveChannel(r, services());
  ASSERT_EQ(timingLines.size(), 2u);
  EXPECT_EQ(timingLines[0], "[live-timing] kind=volatile audioEndSec=0.50 lagMs=-500\n");
  EXPECT_EQ(timingLines[1], "[live-timing] kind=final audioEndSec=1.25 lagMs=-1250\n");
}

}  // namespace
}  // namespace tavrin::system_audio
