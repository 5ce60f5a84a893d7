// The libpulse layer against the private headless server.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>

#include "system-audio/sound-server/sound_server.h"
#include "system-audio/base/system_env.h"
#include "tests/system-audio/sound-server/pulse_test_server.h"

namespace tavrin::testing {
namespace {

using system_audio::pulseSoundServer;
using system_audio::RecordStreamRequest;
using system_audio::SoundServerError;
using system_audio::SoundServerStep;

TEST(SoundServerSmokeTest, ReadsTheDefaultSinkAndItsMonitor) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  auto connection = pulseSoundServer().connect("tavrin-smoke");
  const auto info = connection->serverInfo();
  EXPECT_EQ(info.defaultSinkName, "system_output");
  EXPECT_EQ(info.defaultSourceName, "virtual_mic");
  const auto sink = connection->sinkInfo(info.defaultSinkName);
  EXPECT_EQ(sink.monitorSourceName, "system_output.monitor");
  EXPECT_EQ(sink.format, (PcmFormat{48000, 2, SampleType::kFloat32, true}));
  EXPECT_TRUE(connection->sourceInfo(sink.monitorSourceName).isMonitor);
  EXPECT_GE(connection->sinks().size(), 2u);
}

TEST(SoundServerSmokeTest, UnknownNamesFailAtTheirStep) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  auto connection = pulseSoundServer().connect("tavrin-smoke");
  try {
    connection->sinkInfo("no_such_sink");
    FAIL();
  } catch (const SoundServerError& error) {
    EXPECT_EQ(error.step(), SoundServerStep::kSinkInfo);
    EXPECT_NE(error.code(), 0);
  }
  RecordStreamRequest request;
  request.sourceName = "no_such_source";
  try {
    connection->createRecordStream(request);
    FAIL();
  } catch (const SoundServerError& error) {
    EXPECT_EQ(error.step(), SoundServerStep::kSourceInfo);
  }
  request.format = PcmFormat{16000, 1, SampleType::kFloat32, true};
  auto stream = connection->createRecordStream(request);
  try {
    stream->start();
    FAIL();
  } catch (const SoundServerError& error) {
    EXPECT_EQ(error.step(), SoundServerStep::kStartStream);
  }
}

TEST(SoundServerSmokeTest, RecordsWhatPlaysIntoTheSinkInTheRequestedFormat) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  TempDir dir;
  runTool({"/usr/bin/sox", "-n", "-r", "48000", "-c", "2", dir.file("tone.wav"), "synth", "1.5", "sine", "1000",
           "vol", "0.5"});
  auto connection = pulseSoundServer().connect("tavrin-smoke");
  std::mutex mutex;
  std::condition_variable changed;
  double peak = 0;
  uint64_t frames = 0;
  uint64_t lastCapture = 0;
  bool ordered = true;
  RecordStreamRequest request;
  request.sourceName = "system_output.monitor";
  request.format = PcmFormat{16000, 1, SampleType::kInt16, true};
  request.fragmentFrames = 1600;
  request.onData = [&](PcmBufferPtr buffer, uint64_t captured) {
    std::lock_guard lock(mutex);
    const auto* samples = reinterpret_cast<const int16_t*>(buffer->data(0));
    for (uint32_t i = 0; i < buffer->frameLength(); ++i) peak = std::max(peak, std::abs(samples[i] / 32768.0));
    frames += buffer->frameLength();
    if (captured < lastCapture) ordered = false;
    lastCapture = captured;
    changed.notify_all();
  };
  auto stream = connection->createRecordStream(request);
  EXPECT_EQ(stream->format(), *request.format);
  stream->start();
  const uint64_t started = system_audio::monotonicNowNanos();
  runTool({"/usr/bin/paplay", "--device=system_output", dir.file("tone.wav")});
  {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(5), [&] { return frames >= 16000; });
    EXPECT_GE(frames, 16000u);
    EXPECT_GT(peak, 0.3);
    EXPECT_TRUE(ordered);
    EXPECT_GT(lastCapture, started - 1'000'000'000ull);
  }
  stream.reset();
}

TEST(SoundServerSmokeTest, ServerUnreachableFailsToConnectWithItsReason) {
  TAVRIN_REQUIRE_TEST_SOUND_SERVER();
  const std::string saved = std::getenv("PULSE_SERVER");
  setenv("PULSE_SERVER", "unix:/nonexistent/tavrin/native", 1);
  try {
    pulseSoundServer().connect("tavrin-smoke");
    ADD_FAILURE() << "connected to nothing";
  } catch (const SoundServerError& error) {
    EXPECT_EQ(error.step(), SoundServerStep::kConnect);
    EXPECT_STREQ(error.what(), "Connection refused");
  }
  setenv("PULSE_SERVER", saved.c_str(), 1);
}

}  // namespace
}  // namespace tavrin::testing
