// Every failure is one line of valid UTF-8 on standard error, nothing on standard output and
// exit status 1, whatever bytes the arguments carry.
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
  for (const auto& argv : cases) {
    const ProcessResult r = runProcess(argv);
    const std::string what = argv[1];
    EXPECT_EQ(r.exitStatus, 1) << what;
    EXPECT_EQ(r.out, "") << what;
    ASSERT_FALSE(r.err.empty()) << what;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << what << ": " << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << what;
    EXPECT_EQ(sanitizeUtf8(r.err), r.err) << what;
  }
}

}  // namespace
}  // namespace tavrin::testing
