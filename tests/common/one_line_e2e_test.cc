// Every failure of the speech and notes helpers (tavrin-system-audio's exact
// texts are in its own end-to-end table) is exactly one line of valid UTF-8 on
// standard error, nothing on standard output, exit status 1, whatever bytes
// the arguments carry (line breaks, ill-formed UTF-8).
#include <gtest/gtest.h>

#include "common/json.h"
#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

TEST(OneErrorLine, WhateverBytesTheArgumentsCarry) {
  const std::vector<std::vector<std::string>> cases = {
      {TAVRIN_APPLE_SPEECH_BIN, "Deco\nde"},
      {TAVRIN_APPLE_SPEECH_BIN, "decode", "/nonexistent\n\xff.mp3"},
      {TAVRIN_APPLE_SPEECH_BIN, "transcribe", "/nonexistent.raw", "en\xff"},
      {TAVRIN_APPLE_SPEECH_BIN, "transcribe", "/nonexistent.raw", "en\nUS"},
#ifdef TAVRIN_APPLE_LLM_BIN
      {TAVRIN_APPLE_LLM_BIN, "extract", "/nonexistent\n\xfe.txt"},
#endif
  };
  ProcessOptions options;
  options.setEnv["PULSE_SERVER"] = "unix:/nonexistent";
  for (const auto& argv : cases) {
    const ProcessResult r = runProcess(argv, options);
    EXPECT_EQ(r.exitStatus, 1) << argv[1];
    EXPECT_EQ(r.out, "") << argv[1];
    ASSERT_FALSE(r.err.empty()) << argv[1];
    EXPECT_EQ(r.err.find_first_of("\r\n"), r.err.size() - 1) << argv[1] << ": " << r.err;
    EXPECT_EQ(sanitizeUtf8(r.err), r.err) << argv[1];
  }
}

}  // namespace
}  // namespace tavrin::testing
