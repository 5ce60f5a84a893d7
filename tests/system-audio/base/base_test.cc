// The argument grammar and the stop-signal wait of tavrin-system-audio.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "system-audio/base/arguments.h"
#include "system-audio/base/errors.h"
#include "system-audio/base/stop_signals.h"
#include "tests/support/fake_system_env.h"
#include "tests/support/subprocess.h"

namespace tavrin::system_audio {
namespace {

Arguments args(std::vector<std::string> rest) {
  rest.insert(rest.begin(), "/usr/bin/tavrin-system-audio");
  return Arguments(std::move(rest));
}

TEST(Arguments, UnsignedDecimals) {
  for (const auto& [text, value] : std::vector<std::pair<std::string, uint64_t>>{
           {"7", 7}, {"+7", 7}, {"007", 7}, {"-0", 0}, {"-000", 0}, {"18446744073709551615", UINT64_MAX}}) {
    EXPECT_EQ(readUnsignedDecimal(text), value) << text;
  }
  for (const char* bad : {"", "+", "-", "-3", " 7", "7 ", "7.0", "1e3", "++7", "+-0", "0x10", "18446744073709551616"}) {
    EXPECT_FALSE(readUnsignedDecimal(bad)) << bad;
  }
}

TEST(Arguments, Durations) {
  // --seconds value: probe's duration (1...30, default 5), record's (at least 1, or none).
  const struct {
    std::optional<std::string> seconds;
    uint64_t probe;
    std::optional<uint64_t> record;
  } rows[] = {{std::nullopt, 5, std::nullopt}, {"0", 1, 1},  {"99", 30, 99}, {"abc", 5, std::nullopt},
              {"-3", 5, std::nullopt},         {"+7", 7, 7}, {"-0", 1, 1},   {"100000", 30, 100000}};
  for (const auto& row : rows) {
    std::vector<std::string> rest = {"probe", "--seconds"};
    if (row.seconds) rest.push_back(*row.seconds);
    EXPECT_EQ(args(rest).parseDuration(), row.probe) << row.seconds.value_or("-");
    EXPECT_EQ(args(rest).parseOptionalDuration(), row.record) << row.seconds.value_or("-");
  }
}

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

TEST(RealSystemEnv, AStopFileOrDirectoryExistsAndADanglingLinkDoesNot) {
  testing::TempDir dir;
  RealSystemEnv env;
  std::filesystem::create_symlink(dir.file("missing"), dir.file("link"));
  std::filesystem::create_directory(dir.file("directory"));
  testing::writeFile(dir.file("file"), "");
  EXPECT_FALSE(env.pathExists(dir.file("link")));
  EXPECT_TRUE(env.pathExists(dir.file("directory")) && env.pathExists(dir.file("file")));
  testing::writeFile(dir.file("missing"), "");
  EXPECT_TRUE(env.pathExists(dir.file("link")));
}

}  // namespace
}  // namespace tavrin::system_audio
