#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

const std::string kWaiter = STOP_SIGNAL_WAITER_BIN;

void waitForLine(BackgroundProcess& process, const std::string& text) {
  for (int i = 0; i < 500 && process.outputSoFar().find(text) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TEST(StopSignalsReal, AStopFileOrDirectoryCreatedDuringTheWaitEndsIt) {
  for (const bool asDirectory : {false, true}) {
    TempDir dir;
    const std::string stop = dir.file("stop");
    BackgroundProcess waiter({kWaiter, stop});
    waitForLine(waiter, "waiting");
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    if (asDirectory) {
      std::filesystem::create_directory(stop);
    } else {
      writeFile(stop, "");
    }
    const ProcessResult result = waiter.wait(std::chrono::seconds(10));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "waiting\nstopped\n");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(std::filesystem::exists(stop));  // the stop file is left alone
  }
}

TEST(StopSignalsReal, AStopFileThatIsADanglingLinkDoesNotCount) {
  TempDir dir;
  const std::string stop = dir.file("stop");
  std::filesystem::create_symlink(dir.file("missing"), stop);
  BackgroundProcess waiter({kWaiter, stop});
  waitForLine(waiter, "waiting");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(waiter.outputSoFar(), "waiting\n");
  writeFile(dir.file("missing"), "");  // the link now leads somewhere
  EXPECT_EQ(waiter.wait(std::chrono::seconds(10)).out, "waiting\nstopped\n");
}

TEST(StopSignalsReal, TheParentExitingEndsTheWaitWithItsLine) {
  // The shell starts the waiter in the background and exits; the waiter is
  // handed to another parent.
  ProcessOptions options;
  options.timeout = std::chrono::seconds(10);
  const ProcessResult result = runProcess({"/bin/sh", "-c", "\"$0\" & sleep 0.3", kWaiter}, options);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "waiting\nstopped\n");
  EXPECT_EQ(result.err, "parent process exited; stopping capture\n");
}

}  // namespace
}  // namespace tavrin::testing
