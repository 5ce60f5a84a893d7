#include "system-audio/base/stop_signals.h"

#include <gtest/gtest.h>

#include "tests/support/fake_system_env.h"

namespace tavrin::system_audio {
namespace {

using testing::FakeSystemEnv;

TEST(WaitForStopSignal, AnExistingStopFileEndsTheFirstPassWithoutPausing) {
  FakeSystemEnv env;
  env.addPath("/tmp/stop");
  waitForStopSignal(std::string("/tmp/stop"), nullptr, env);
  EXPECT_EQ(env.sleeps(), 0);
  EXPECT_TRUE(env.stderrLines().empty());
}

TEST(WaitForStopSignal, ChecksEveryHundredMillisecondsUntilTheFileAppears) {
  FakeSystemEnv env;
  const uint64_t start = env.nanos();
  env.onSleep([&](int sleeps) {
    if (sleeps == 4) env.addPath("/tmp/stop");
  });
  waitForStopSignal(std::string("/tmp/stop"), nullptr, env);
  EXPECT_EQ(env.sleeps(), 5);
  EXPECT_EQ(env.nanos() - start, 500'000'000u);
}

TEST(WaitForStopSignal, ParentExitIsReportedAndEndsTheWait) {
  FakeSystemEnv env;
  env.onSleep([&](int sleeps) {
    if (sleeps == 2) env.setParent(1);
  });
  waitForStopSignal(std::nullopt, nullptr, env);
  EXPECT_EQ(env.stderrLines(), std::vector<std::string>{"parent process exited; stopping capture"});
}

TEST(WaitForStopSignal, ADeadStreamEndsTheWaitAndTheWatcherKeepsTheLatestError) {
  FakeSystemEnv env;
  StreamDeathWatcher watcher;
  EXPECT_FALSE(watcher.error());
  env.onSleep([&](int sleeps) {
    if (sleeps == 1) watcher.streamDidStop("first");
    if (sleeps == 1) watcher.streamDidStop("Connection terminated");
  });
  waitForStopSignal(std::string("/never"), &watcher, env);
  EXPECT_EQ(env.sleeps(), 2);
  EXPECT_EQ(watcher.error(), "Connection terminated");
  EXPECT_TRUE(env.stderrLines().empty());
}

TEST(RealSystemEnvTest, PathExistenceFollowsLinksAndCountsAnyObject) {
  RealSystemEnv env;
  EXPECT_TRUE(env.pathExists("/"));
  EXPECT_TRUE(env.pathExists("/dev/null"));
  EXPECT_FALSE(env.pathExists("/nonexistent/stop"));
  EXPECT_FALSE(env.pathExists(""));
}

}  // namespace
}  // namespace tavrin::system_audio
