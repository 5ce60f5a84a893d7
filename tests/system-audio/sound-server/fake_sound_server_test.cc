// The fake server is what every capture unit test stands on: its failures,
// its release log and its callbacks must keep the real layer's contract.
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
    EXPECT_EQ(connection->sinkInfo(connection->serverInfo().defaultSinkName).monitorSourceName, "system_output.monitor");
    EXPECT_THROW(connection->sinkInfo("nope"), SoundServerError);
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
    std::vector<std::string> defaults;
    auto subscription = connection->subscribeServerChanges([&](const ServerInfo& i) { defaults.push_back(i.defaultSinkName); });
    server.setDefaultSink("other");
    EXPECT_EQ(defaults, std::vector<std::string>{"other"});
    EXPECT_EQ(server.held(), 3);
  }
  EXPECT_EQ(server.log(), (std::vector<std::string>{"connect", "stream:system_output.monitor",
                                                    "start:system_output.monitor", "subscribe", "~subscribe",
                                                    "~start:system_output.monitor", "~stream:system_output.monitor",
                                                    "~connect"}));
  EXPECT_EQ(server.held(), 0);
}

}  // namespace
}  // namespace tavrin::testing
