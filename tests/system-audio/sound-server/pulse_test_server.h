// Smoke tests run against the private server of tests/support/pulse-harness.
// Without it (TAVRIN_TEST_PULSE_DIR unset) they skip, so they never play into
// or reconfigure a user's own sound server.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/subprocess.h"

namespace tavrin::testing {

inline bool haveTestSoundServer() { return std::getenv("TAVRIN_TEST_PULSE_DIR") != nullptr; }

#define TAVRIN_REQUIRE_TEST_SOUND_SERVER()                                                        \
  do {                                                                                           \
    if (!::tavrin::testing::haveTestSoundServer()) GTEST_SKIP() << "no test sound server (run " \
                                                                   "tests/support/pulse-harness)"; \
  } while (0)

// Runs a sound-server tool (pactl, paplay, sox, flite); fails the test when it
// does not succeed.
inline void runTool(const std::vector<std::string>& argv) {
  const ProcessResult result = runProcess(argv);
  ASSERT_EQ(result.exitStatus, 0) << argv[0] << ": " << result.err;
}

}  // namespace tavrin::testing
