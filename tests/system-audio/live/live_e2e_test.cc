// live through the real binary without a reachable sound server: exact
// output and exit status of the start-up paths.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

ProcessResult live(const std::vector<std::string>& options, const TempDir& dir) {
  std::vector<std::string> argv{TAVRIN_SYSTEM_AUDIO_BIN, "live"};
  argv.insert(argv.end(), options.begin(), options.end());
  ProcessOptions env;
  env.setEnv["PULSE_SERVER"] = "unix:" + dir.file("no-server");  // nothing listens there
  env.unsetEnv = {"TAVRIN_LIVE_TIMING"};
  return runProcess(argv, env);
}

TEST(LiveE2E, SystemCaptureThatCannotStartFailsTheRunWithOneLineAndNoEvents) {
  TempDir dir;
  writeFile(dir.file("stop"), "");
  ProcessResult r = live({"--stop-file", dir.file("stop"), "--translate-to", "es"}, dir);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "CoreAudio error (CreateProcessTap): 6\n");
  EXPECT_EQ(r.exitStatus, 1);
}

TEST(LiveE2E, MicrophoneThatCannotStartIsAnErrorEventAndTheRunEndsNormally) {
  TempDir dir;
  writeFile(dir.file("stop"), "");
  ProcessResult r = live({"--no-system", "--stop-file", dir.file("stop")}, dir);
  EXPECT_EQ(r.out, "{\"type\":\"error\",\"message\":\"Microphone capture failed: Connection refused\"}\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitStatus, 0);
}

TEST(LiveE2E, NoCapturesOnlyWaitsForTheStopFile) {
  TempDir dir;
  BackgroundProcess run({TAVRIN_SYSTEM_AUDIO_BIN, "live", "--no-mic", "--no-system", "--stop-file", dir.file("stop")});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(run.outputSoFar(), "");
  writeFile(dir.file("stop"), "");
  ProcessResult r = run.wait(std::chrono::seconds(10));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitStatus, 0);
}

}  // namespace
}  // namespace tavrin::testing
