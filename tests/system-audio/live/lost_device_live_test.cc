// live with the real captures on the scripted server, as desktops make it:
// the output sink removed mid-run (the system channel drains what it had and
// ends), and no microphone (the default source is the output's monitor:
// nothing is transcribed twice). One error event each; the other channel
// goes on until the stop file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "speech-service/scripted_speech_service.h"
#include "system-audio/live/live_subtitles.h"
#include "system-audio/sources/mic_capture.h"
#include "system-audio/sources/system_audio_tap.h"
#include "tests/support/fake_sound_server.h"
#include "tests/support/fake_system_env.h"
#include "tests/support/subprocess.h"
#include "tests/system-audio/live/fake_translation.h"

namespace tavrin::system_audio {
namespace {

using testing::FakeSoundServer;
using testing::makeFilledBuffer;

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

struct DesktopCase {
  const char* name;
  std::function<void(FakeSoundServer&)> before;        // before the run
  std::function<void(FakeSoundServer&, int)> atPause;  // at each pause of the wait
  const char* error;
  const char* goesOn;  // the channel that writes its segment
  const char* absent;  // nothing of this source is written
};

void PrintTo(const DesktopCase& c, std::ostream* os) { *os << c.name; }

class LiveOnADesktopTest : public ::testing::TestWithParam<DesktopCase> {};

TEST_P(LiveOnADesktopTest, OneErrorEventAndTheOtherChannelGoesOn) {
  FakeSoundServer server;
  GetParam().before(server);
  testing::FakeSystemEnv env;
  env.onSleep([&](int n) {
    GetParam().atPause(server, n);
    server.deliver("system_output.monitor", makeFilledBuffer({48000, 2, SampleType::kFloat32, true}, 4800, 0.1f));
    server.deliver("virtual_mic", makeFilledBuffer({48000, 1, SampleType::kFloat32, true}, 4800, 0.1f));
    if (n == 5) env.addPath("/stop");
  });
  speech::ScriptedSpeechService speech;
  speech::RecognizerScript script;
  script.results = {speech::ScriptedResult{speech::RecognitionResult{"words", 0, 1, true}, 1600}};
  speech.scripts = {script, script};
  testing::FakeTranslationService translation;
  testing::TempDir dir;
  const int fd = ::open(dir.file("events").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ServerCaptures captures(server);
  LiveRequest request;
  request.stopFilePath = "/stop";
  runLiveSubtitles(request, captures, LiveServices{speech, translation, "en_US"}, env,
                   LiveRunOptions{fd, false, [](const std::string&) {}, [] { return uint64_t{0}; }});
  ::close(fd);
  const std::string events = testing::readFile(dir.file("events"));
  const std::string error = std::string(R"({"type":"error","message":")") + GetParam().error + "\"}\n";
  EXPECT_NE(events.find(error), std::string::npos) << events;
  EXPECT_EQ(events.find("\"type\":\"error\""), events.rfind("\"type\":\"error\"")) << events;
  EXPECT_NE(events.find(R"({"type":"segment","source":")" + std::string(GetParam().goesOn) + "\""), std::string::npos)
      << events;
  if (GetParam().absent) {
    EXPECT_EQ(events.find(GetParam().absent), std::string::npos) << events;
  }
  EXPECT_EQ(env.sleeps(), 6);
}

INSTANTIATE_TEST_SUITE_P(
    Desktops, LiveOnADesktopTest,
    ::testing::Values(
        DesktopCase{"OutputRemovedBeforeAnySpeech", [](FakeSoundServer&) {},
                    [](FakeSoundServer& s, int n) {
                      if (n == 0) s.removeSink("system_output");
                    },
                    "System audio stream stopped: Entity killed.", "mic", nullptr},
        DesktopCase{"NoMicrophone", [](FakeSoundServer& s) { s.setDefaultSource("system_output.monitor"); },
                    [](FakeSoundServer&, int) {}, "Microphone capture failed: No audio input device is available.",
                    "system", R"("source":"mic")"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tavrin::system_audio
