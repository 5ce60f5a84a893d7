// The stop signals on the real system, through a program that only waits for
// them (stop_signal_waiter).
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

using namespace std::chrono_literals;
const std::string kWaiter = STOP_SIGNAL_WAITER_BIN;

TEST(StopSignalsReal, AStopFileOrDirectoryEndsTheWaitAndADanglingLinkDoesNot) {
  for (const std::string kind : {"file", "directory", "link"}) {
    TempDir dir;
    const std::string stop = dir.file("stop");
    if (kind == "link") std::filesystem::create_symlink(dir.file("missing"), stop);
    BackgroundProcess waiter({kWaiter, stop});
    for (int i = 0; i < 500 && waiter.outputSoFar().empty(); ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(waiter.outputSoFar(), "waiting\n") << kind;
    if (kind == "directory") {
      std::filesystem::create_directory(stop);
    } else {
      writeFile(kind == "link" ? dir.file("missing") : stop, "");
    }
    const ProcessResult result = waiter.wait(10s);
    EXPECT_EQ(result.out, "waiting\nstopped\n") << kind;
    EXPECT_EQ(result.err, "") << kind;
    EXPECT_TRUE(std::filesystem::exists(stop));  // left alone
  }
}

TEST(StopSignalsReal, TheParentExitingEndsTheWaitWithItsLine) {
  // The shell starts the waiter, sees it waiting and exits; the waiter is
  // handed to another parent.
  TempDir dir;
  runProcess({"/bin/sh", "-c", "\"$0\" >\"$1/out\" 2>\"$1/err\" & until grep -q waiting \"$1/out\"; do sleep 0.05; done",
              kWaiter, dir.path()});
  for (int i = 0; i < 100 && readFile(dir.file("out")) != "waiting\nstopped\n"; ++i) std::this_thread::sleep_for(100ms);
  EXPECT_EQ(readFile(dir.file("out")), "waiting\nstopped\n");
  EXPECT_EQ(readFile(dir.file("err")), "parent process exited; stopping capture\n");
}

}  // namespace
}  // namespace tavrin::testing
