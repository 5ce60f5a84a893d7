// The fake server is what every capture unit test stands on: its failures,
// its release log and its callbacks must behave like the real layer's
// contract.
#include "tests/support/fake_sound_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace tavrin::testing {
namespace {

using system_audio::RecordStreamRequest;
using system_audio::ServerInfo;
using system_audio::SoundServerError;
using system_audio::SoundServerStep;

TEST(FakeSoundServerTest, AnswersTheScriptedDefaultsAndSinks) {
  FakeSoundServer server;
  auto connection = server.connect("test");
  EXPECT_EQ(connection->serverInfo().defaultSinkName, "system_output");
  EXPECT_EQ(connection->serverInfo().defaultSourceName, "virtual_mic");
  const auto sink = connection->sinkInfo("system_output");
  EXPECT_EQ(sink.monitorSourceName, "system_output.monitor");
  EXPECT_TRUE(connection->sourceInfo("system_output.monitor").isMonitor);
  EXPECT_EQ(connection->sinks().size(), 1u);
  EXPECT_THROW(connection->sinkInfo("nope"), SoundServerError);
}

TEST(FakeSoundServerTest, AScheduledFailureHitsOnceWithItsStepAndCode) {
  FakeSoundServer server;
  server.failAt(SoundServerStep::kConnect, 6);
  try {
    server.connect("test");
    FAIL() << "connect did not fail";
  } catch (const SoundServerError& error) {
    EXPECT_EQ(error.step(), SoundServerStep::kConnect);
    EXPECT_EQ(error.code(), 6);
  }
  EXPECT_EQ(server.connections(), 0);
  EXPECT_NE(server.connect("test"), nullptr);
}

TEST(FakeSoundServerTest, LogsAcquisitionsAndReleasesInOrder) {
  FakeSoundServer server;
  {
    auto connection = server.connect("test");
    RecordStreamRequest request;
    request.sourceName = "system_output.monitor";
    auto stream = connection->createRecordStream(request);
    EXPECT_EQ(stream->format().channelCount, 2u);  // the source's own format
    stream->start();
    auto subscription = connection->subscribeServerChanges([](const ServerInfo&) {});
    EXPECT_EQ(server.runningStreams(), 1);
    EXPECT_EQ(server.subscriptions(), 1);
  }
  EXPECT_EQ(server.log(), (std::vector<std::string>{"connect", "stream:system_output.monitor",
                                                    "start:system_output.monitor", "subscribe", "~subscribe",
                                                    "~start:system_output.monitor", "~stream:system_output.monitor",
                                                    "~connect"}));
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(server.streams(), 0);
}

TEST(FakeSoundServerTest, DeliversCopiesOnlyToRunningStreamsOfTheSource) {
  FakeSoundServer server;
  auto connection = server.connect("test");
  std::vector<PcmBufferPtr> received;
  RecordStreamRequest request;
  request.sourceName = "system_output.monitor";
  request.onData = [&](PcmBufferPtr buffer, uint64_t) { received.push_back(std::move(buffer)); };
  auto stream = connection->createRecordStream(request);
  const auto buffer = makeFilledBuffer(stream->format(), 4, 0.5f);
  EXPECT_EQ(server.deliver("system_output.monitor", buffer), 0);  // not started yet
  stream->start();
  EXPECT_EQ(server.deliver("virtual_mic", buffer), 0);
  EXPECT_EQ(server.deliver("system_output.monitor", buffer), 1);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_NE(received[0], buffer);
  EXPECT_EQ(received[0]->frameLength(), 4u);
}

TEST(FakeSoundServerTest, DefaultChangesReachSubscribersAndRemovedSinksFailTheirStreams) {
  FakeSoundServer server;
  server.addSink({"other", "other.monitor", PcmFormat{44100, 1, SampleType::kInt16, true}});
  auto connection = server.connect("test");
  std::vector<std::string> seen;
  auto subscription = connection->subscribeServerChanges([&](const ServerInfo& info) {
    seen.push_back(info.defaultSinkName);
  });
  std::string failure;
  RecordStreamRequest request;
  request.sourceName = "other.monitor";
  request.onFailure = [&](const std::string& text) { failure = text; };
  auto stream = connection->createRecordStream(request);
  stream->start();
  server.setDefaultSink("other");
  server.removeSink("other");
  EXPECT_EQ(seen, std::vector<std::string>{"other"});
  EXPECT_EQ(failure, "Entity killed");
  EXPECT_EQ(server.runningStreams(), 0);
  server.refuseSubscriptions();
  EXPECT_EQ(connection->subscribeServerChanges([](const ServerInfo&) {}), nullptr);
}

TEST(FakeSoundServerTest, NoCallbackRunsAfterItsStreamIsDestroyed) {
  FakeSoundServer server;
  auto connection = server.connect("test");
  std::atomic<bool> destroyed{false};
  std::atomic<bool> lateCallback{false};
  RecordStreamRequest request;
  request.sourceName = "system_output.monitor";
  request.onData = [&](PcmBufferPtr, uint64_t) {
    if (destroyed) lateCallback = true;
  };
  auto stream = connection->createRecordStream(request);
  stream->start();
  const auto buffer = makeFilledBuffer(stream->format(), 64, 0.1f);
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    while (!stop) server.deliver("system_output.monitor", buffer);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stream.reset();
  destroyed = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop = true;
  producer.join();
  EXPECT_FALSE(lateCallback);
}

}  // namespace
}  // namespace tavrin::testing
