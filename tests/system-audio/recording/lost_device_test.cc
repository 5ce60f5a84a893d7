// A tap stream that dies while record runs (the server gone, the sink
// removed), on the scripted server and system: the wait ends at once, with
// or without --seconds, and record fails with the server's reason; the file
// keeps every sample captured before.
#include <gtest/gtest.h>

#include "system-audio/recording/record_audio.h"
#include "tests/support/fake_sound_server.h"
#include "tests/support/fake_system_env.h"
#include "tests/support/samples.h"
#include "tests/support/subprocess.h"

namespace tavrin::system_audio {
namespace {

using testing::FakeSoundServer;
using testing::FakeSystemEnv;
using testing::makeTone;

const PcmFormat kSinkFormat{48000, 2, SampleType::kFloat32, true};

// Each pause of the wait the server delivers 100 ms; at the third it dies.
void dieAtTheThirdPause(FakeSystemEnv& env, FakeSoundServer& server, const std::string& source) {
  env.onSleep([&env, &server, source](int n) {
    server.deliver(source, makeTone(kSinkFormat, 4800, 0, 0.5f));
    if (n == 2) server.failStreams("Connection terminated");
    if (n > 20) env.addPath("/stop");  // a wait that missed it ends here
  });
}

TEST(LostDeviceTest, ATapRecordingEndsAtOnceWithTheReasonAndKeepsItsSamples) {
  for (const std::optional<uint64_t> seconds : {std::optional<uint64_t>(60), std::optional<uint64_t>()}) {
    FakeSystemEnv env;
    testing::FakeGates gates(true, true);
    FakeSoundServer server;
    auto screen = makeSoundServerScreenCapture(server);
    testing::TempDir dir;
    RecordingPlatform platform{env, gates, server, *screen};
    dieAtTheThirdPause(env, server, "system_output.monitor");
    RecordRequest request;
    request.outputPath = dir.file("out.raw");
    request.seconds = seconds;
    request.stopFilePath = "/stop";
    std::string error;
    try {
      recordAudio(request, platform);
    } catch (const std::exception& e) {
      error = e.what();
    }
    EXPECT_EQ(error, "System audio stream stopped: Connection terminated.");
    EXPECT_EQ(env.sleeps(), 3);
    // 300 ms at 16 kHz, less what the resampler still held.
    const size_t bytes = testing::readFile(dir.file("out.raw")).size();
    EXPECT_GT(bytes, 4u * 4700);
    EXPECT_LE(bytes, 4u * 4800);
    EXPECT_EQ(server.held(), 0);
  }
}

}  // namespace
}  // namespace tavrin::system_audio
