// live with the real captures on the scripted server, as desktops make it:
// the output sink removed or the server gone mid-run (a capture whose stream
// dies writes one error event, its channel drains what it had and ends, the
// other goes on until the stop file), and no microphone (the default source
// is the output's monitor: nothing is transcribed twice).
#include <gtest/gtest.h>

#include "speech-service/scripted_speech_service.h"
#include "system-audio/sources/mic_capture.h"
#include "system-audio/sources/system_audio_tap.h"
#include "tests/support/fake_sound_server.h"
#include "tests/support/fake_system_env.h"
#include "tests/system-audio/live/fake_live.h"
#include "tests/system-audio/live/fake_translation.h"

namespace tavrin::system_audio {
namespace {

using testing::FakeSoundServer;
using testing::makeTone;

class ServerCaptures final : public LiveCaptureFactory {
 public:
  explicit ServerCaptures(FakeSoundServer& server) : server_(server) {}
  std::unique_ptr<AudioCapture> makeSystemCapture(std::function<void()>) override {
    return std::make_unique<SystemAudioTap>(server_);
  }
  std::unique_ptr<AudioCapture> makeMicCapture(bool) override {
    return std::make_unique<MicCapture>(server_, false, [](const std::string&) {});
  }

 private:
  FakeSoundServer& server_;
};

TEST(LiveOnADesktopTest, EachLostCaptureIsOneErrorEventAndTheRunGoesOn) {
  const auto nothing = [](FakeSoundServer&) {};
  const struct {
    std::function<void(FakeSoundServer&)> before;  // before the run
    std::function<void(FakeSoundServer&)> lose;    // at the first pause of the wait
    std::vector<std::string> errors;               // the error events, in order
    const char* segmentOf;                         // a source that still writes its segment
    const char* absent;                            // nothing of this is written
  } rows[] = {
      {nothing, [](auto& s) { s.failStreams("Entity killed", "system_output.monitor"); },
       {"System audio stream stopped: Entity killed."}, "mic", nullptr},
      {nothing, [](auto& s) { s.failStreams("Connection terminated"); },
       {"System audio stream stopped: Connection terminated.", "Microphone capture failed: Connection terminated"},
       nullptr, nullptr},
      {[](auto& s) { s.setDefaultSource("system_output.monitor"); }, nothing,  // no microphone
       {"Microphone capture failed: No audio input device is available."}, "system", R"("source":"mic")"},
  };
  for (const auto& row : rows) {
    FakeSoundServer server;
    row.before(server);
    testing::FakeSystemEnv env;
    env.onSleep([&](int n) {
      if (n == 0) row.lose(server);
      server.deliver("system_output.monitor", makeTone({48000, 2, SampleType::kFloat32, true}, 4800, 0, 0.1f));
      server.deliver("virtual_mic", makeTone({48000, 1, SampleType::kFloat32, true}, 4800, 0, 0.1f));
      if (n == 5) env.addPath("/stop");
    });
    speech::ScriptedSpeechService speech;
    speech::RecognizerScript script;
    script.results = {speech::ScriptedResult{speech::RecognitionResult{"words", 0, 1, true}, 1600}};
    speech.scripts = {script, script};
    testing::FakeTranslationService translation;
    testing::EventFile file;
    ServerCaptures captures(server);
    LiveRequest request;
    request.stopFilePath = "/stop";
    runLiveSubtitles(request, captures, LiveServices{speech, translation, "en_US"}, env,
                     LiveRunOptions{file.fd(), false, [](const std::string&) {}, [] { return uint64_t{0}; }});
    std::string events, errors, expected;
    for (const auto& line : file.lines()) {
      events += line + "\n";
      if (line.rfind(R"({"type":"error")", 0) == 0) errors += line;
    }
    for (const auto& e : row.errors) expected += R"({"type":"error","message":")" + e + "\"}";
    EXPECT_EQ(errors, expected) << events;
    if (row.segmentOf) {
      EXPECT_NE(events.find(std::string(R"({"type":"segment","source":")") + row.segmentOf), std::string::npos)
          << events;
    }
    if (row.absent) {
      EXPECT_EQ(events.find(row.absent), std::string::npos) << events;
    }
    EXPECT_EQ(env.sleeps(), 6);
  }
}

}  // namespace
}  // namespace tavrin::system_audio
