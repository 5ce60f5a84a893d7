// The stop-signal wait of tavrin-system-audio, on a fake system and on the real one.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "system-audio/base/stop_signals.h"
#include "tests/support/fake_system_env.h"

namespace tavrin::system_audio {
namespace {

TEST(WaitForStopSignal, EndsAtTheFirstCheckThatSeesASignal) {
  // Each row raises its signal during pause `at` (-1: before the wait).
  enum Signal { kStopFile, kParentExit, kDeadStream };
  const struct {
    Signal signal;
    int at;
  } rows[] = {{kStopFile, -1}, {kStopFile, 4}, {kParentExit, 2}, {kDeadStream, -1}, {kDeadStream, 1}};
  for (const auto& row : rows) {
    testing::FakeSystemEnv env;
    StreamDeathWatcher watcher;
    auto raise = [&] {
      if (row.signal == kStopFile) env.addPath("/tmp/stop");
      if (row.signal == kParentExit) env.setParent(1);
      if (row.signal == kDeadStream) watcher.streamDidStop("Connection terminated");
    };
    if (row.at < 0) raise();
    EXPECT_EQ(stopSignalPending(std::string("/tmp/stop"), env), row.at < 0 && row.signal == kStopFile);
    env.onSleep([&](int sleeps) {
      if (sleeps == row.at) raise();
    });
    waitForStopSignal(std::string("/tmp/stop"), &watcher, env);
    EXPECT_EQ(env.nanos() - 1'000'000'000u, 100'000'000u * static_cast<uint64_t>(row.at + 1)) << row.signal;
    EXPECT_EQ(env.stderrLines(), row.signal == kParentExit
                                     ? std::vector<std::string>{"parent process exited; stopping capture"}
                                     : std::vector<std::string>{});
    // What a starting capture checks: the same signals, the dead stream aside.
    EXPECT_EQ(stopSignalPending(std::string("/tmp/stop"), env), row.signal != kDeadStream) << row.signal;
  }
}

// A termination signal in the first milliseconds, before the command holds
// them, waits for it and then stops the run instead of ending the process.
TEST(RealSystemEnv, ATerminationSignalBeforeTheCommandHoldsThemStillStopsIt) {
  RealSystemEnv env;
  ::kill(::getpid(), SIGTERM);
  EXPECT_FALSE(env.terminationSignalPending());
  env.holdTerminationSignals();
  EXPECT_TRUE(env.terminationSignalPending());
  EXPECT_TRUE(env.sleepUnlessSignalled(std::chrono::seconds(5)));
  EXPECT_TRUE(env.terminationSignalPending());  // reported, and still a stop for later checks
}

}  // namespace
}  // namespace tavrin::system_audio
