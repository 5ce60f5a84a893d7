// Smoke tests skip without the private server of tests/support/pulse-harness, never touching the user's.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/subprocess.h"

namespace tavrin::testing {

#define TAVRIN_REQUIRE_TEST_SOUND_SERVER() \
  if (!std::getenv("TAVRIN_TEST_PULSE_DIR")) GTEST_SKIP() << "no test sound server (run tests/support/pulse-harness)"

// Runs a tool (pactl, paplay, flite); fails the test when it does not succeed.
inline void runTool(const std::vector<std::string>& argv) {
  const ProcessResult result = runProcess(argv);
  ASSERT_EQ(result.exitStatus, 0) << argv[0] << ": " << result.err;
}

}  // namespace tavrin::testing
