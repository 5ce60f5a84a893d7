// What the capture tests rely on: failures happen once, releases are logged
// in reverse, and only running streams on the source get copies of audio.
#include "tests/support/fake_sound_server.h"

#include <gtest/gtest.h>

#include "tests/support/samples.h"

namespace tavrin::testing {
namespace {

using namespace system_audio;

TEST(FakeSoundServerTest, FailsOnceLogsInOrderAndDeliversCopiesToRunningStreamsOnly) {
  FakeSoundServer server;
  server.failAt(SoundServerStep::kConnect, 6);
  EXPECT_THROW(server.connect("test"), SoundServerError);
  std::vector<PcmBufferPtr> received;
  {
    auto connection = server.connect("test");
    RecordStreamRequest request;
    request.sourceName = "system_output.monitor";
    request.onData = [&](PcmBufferPtr buffer, uint64_t) { received.push_back(std::move(buffer)); };
    auto stream = connection->createRecordStream(request);
    const auto buffer = makeTone(stream->format(), 4, 0, 0.5f);  // the source's own format
    EXPECT_EQ(server.deliver("system_output.monitor", buffer), 0);  // not started
    stream->start();
    EXPECT_EQ(server.deliver("virtual_mic", buffer), 0);
    EXPECT_EQ(server.deliver("system_output.monitor", buffer), 1);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_NE(received[0], buffer);
    EXPECT_EQ(server.held(), 2);
  }
  EXPECT_EQ(server.log(), (std::vector<std::string>{"connect", "stream:system_output.monitor",
                                                    "start:system_output.monitor", "~start:system_output.monitor",
                                                    "~stream:system_output.monitor", "~connect"}));
  EXPECT_EQ(server.held(), 0);
}

}  // namespace
}  // namespace tavrin::testing
