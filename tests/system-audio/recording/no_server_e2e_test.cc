// tavrin-system-audio when no sound server can be reached: status answers
// "unavailable" with the server's reason, capture fails with one line and
// exit status 1. Needs no server: it points clients at a socket that does
// not exist.
#include <gtest/gtest.h>

#include <unistd.h>

#include "system-audio/sources/screen_capture.h"
#include "system-audio/recording/record_audio.h"
#include "tests/support/fake_system_env.h"
#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

const std::string kBin = TAVRIN_SYSTEM_AUDIO_BIN;
const std::string kNowhere = "unix:/nonexistent/tavrin-test/native";

ProcessOptions noServer() {
  ProcessOptions options;
  options.setEnv["PULSE_SERVER"] = kNowhere;
  options.timeout = std::chrono::seconds(20);
  return options;
}

TEST(NoServerE2eTest, StatusIsUnavailableWithTheServersReasonAndExitsZero) {
  const auto result = runProcess({kBin, "status"}, noServer());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "{\"available\":false,\"status\":\"unavailable\",\"reason\":\"Connection refused\"}\n");
  EXPECT_EQ(result.err, "");
  // No arguments at all is the same command.
  EXPECT_EQ(runProcess({kBin}, noServer()).out, result.out);
}

TEST(NoServerE2eTest, RecordAndProbeFailWithOneLineAndLeaveNoStartFile) {
  TempDir dir;
  const auto record = runProcess({kBin, "record", "--output", dir.file("out.raw"), "--seconds", "1", "--start-file",
                                  dir.file("start")},
                                 noServer());
  EXPECT_EQ(record.exitStatus, 1);
  EXPECT_EQ(record.out, "");
  EXPECT_EQ(record.err, "Connection refused\n");
  EXPECT_EQ(readFile(dir.file("out.raw")), "");
  EXPECT_NE(::access(dir.file("start").c_str(), F_OK), 0);

  const auto probe = runProcess({kBin, "probe", "--seconds", "1"}, noServer());
  EXPECT_EQ(probe.exitStatus, 1);
  EXPECT_EQ(probe.out, "");
  EXPECT_EQ(probe.err, "Connection refused\n");
}

TEST(NoServerE2eTest, MissingOutputIsReportedBeforeTheServerIsAsked) {
  const auto result = runProcess({kBin, "record", "--seconds", "1"}, noServer());
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err, "Missing --output path for system audio recording.\n");
}

// Posing as a platform whose tap gate holds, the tap path reports its first
// step, with the server's error number.
TEST(NoServerE2eTest, TheTapPathNamesTheConnectStep) {
  const char* saved = std::getenv("PULSE_SERVER");
  const std::string previous = saved ? saved : "";
  setenv("PULSE_SERVER", kNowhere.c_str(), 1);
  TempDir dir;
  system_audio::RealSystemEnv env;
  FakeGates gates(true, true);
  auto screen = system_audio::makeSoundServerScreenCapture(system_audio::pulseSoundServer());
  system_audio::RecordingPlatform platform{env, gates, system_audio::pulseSoundServer(), *screen};
  system_audio::RecordRequest request;
  request.outputPath = dir.file("out.raw");
  request.seconds = 1;
  request.startFilePath = dir.file("start");
  std::string error;
  try {
    system_audio::recordAudio(request, platform);
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (saved) {
    setenv("PULSE_SERVER", previous.c_str(), 1);
  } else {
    unsetenv("PULSE_SERVER");
  }
  EXPECT_EQ(error, "CoreAudio error (CreateProcessTap): 6");  // PA_ERR_CONNECTIONREFUSED
  EXPECT_NE(::access(dir.file("start").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace tavrin::testing
