// Capture on a desktop's server as it really is, on the scripted server: a
// capture whose stream dies tells its owner why and ends its stream; an
// output's monitor made the default source is no microphone.
#include <gtest/gtest.h>

#include "system-audio/sources/mic_capture.h"
#include "system-audio/sources/system_audio_tap.h"
#include "tests/support/fake_sound_server.h"

namespace tavrin::system_audio {
namespace {

using testing::FakeSoundServer;
using testing::makeFilledBuffer;

struct DyingCase {
  const char* name;
  std::function<std::unique_ptr<AudioCapture>(FakeSoundServer&)> make;
  const char* source;
  PcmFormat format;
};

void PrintTo(const DyingCase& c, std::ostream* os) { *os << c.name; }

class DyingStreamTest : public ::testing::TestWithParam<DyingCase> {};

TEST_P(DyingStreamTest, TheOwnerHearsTheReasonOnceAndTheStreamEndsAfterWhatWasCaptured) {
  FakeSoundServer server;
  auto capture = GetParam().make(server);
  std::vector<std::string> reasons;
  capture->setOnFailure([&](const std::string& reason) { reasons.push_back(reason); });
  capture->start();
  server.deliver(GetParam().source, makeFilledBuffer(GetParam().format, 480, 0.25f));
  server.failStreams("Connection terminated");
  EXPECT_EQ(reasons, std::vector<std::string>{"Connection terminated"});
  auto stream = capture->stream();
  ASSERT_TRUE(stream->next());
  EXPECT_FALSE(stream->next());  // ended without stop()
  capture->stop();
  EXPECT_EQ(reasons.size(), 1u);
  EXPECT_EQ(server.connections(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Captures, DyingStreamTest,
    ::testing::Values(
        DyingCase{"tap", [](FakeSoundServer& s) { return std::make_unique<SystemAudioTap>(s); },
                  "system_output.monitor", PcmFormat{48000, 2, SampleType::kFloat32, true}},
        DyingCase{"microphone",
                  [](FakeSoundServer& s) { return std::make_unique<MicCapture>(s, false, [](const std::string&) {}); },
                  "virtual_mic", PcmFormat{48000, 1, SampleType::kFloat32, true}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(DesktopMicTest, AnOutputsMonitorAsTheDefaultSourceIsNoInputDevice) {
  FakeSoundServer server;
  server.setDefaultSource("system_output.monitor");
  MicCapture mic(server, false, [](const std::string&) {});
  std::string error;
  try {
    mic.start();
  } catch (const std::exception& e) {
    error = e.what();
  }
  EXPECT_EQ(error, "No audio input device is available.");
  EXPECT_EQ(server.streams(), 0);
  EXPECT_EQ(server.connections(), 0);
  EXPECT_FALSE(mic.stream()->next());
}

}  // namespace
}  // namespace tavrin::system_audio
