// Every failure of every helper is exactly one line of valid UTF-8 on
// standard error, nothing on standard output, exit status 1, whatever bytes
// the arguments carry (line breaks, ill-formed UTF-8).
#include <gtest/gtest.h>

#include "common/json.h"
#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

struct Case {
  std::vector<std::string> argv;
  std::string exactErr;  // empty: any one line
};

TEST(OneErrorLine, WhateverBytesTheArgumentsCarry) {
  const std::vector<Case> cases = {
      {{TAVRIN_SYSTEM_AUDIO_BIN, "Sta\ntus"}, "Unknown system audio command: Sta tus.\n"},
      {{TAVRIN_SYSTEM_AUDIO_BIN, "\xff\r"}, "Unknown system audio command: \xEF\xBF\xBD .\n"},
      {{TAVRIN_SYSTEM_AUDIO_BIN, "record", "--seconds", "1", "--output", "/nonexistent\ndir/a.raw"}, ""},
      {{TAVRIN_APPLE_SPEECH_BIN, "Deco\nde"}, ""},
      {{TAVRIN_APPLE_SPEECH_BIN, "decode", "/nonexistent\n\xff.mp3"}, ""},
      {{TAVRIN_APPLE_SPEECH_BIN, "transcribe", "/nonexistent.raw", "en\xff"}, ""},
      {{TAVRIN_APPLE_SPEECH_BIN, "transcribe", "/nonexistent.raw", "en\nUS"}, ""},
#ifdef TAVRIN_APPLE_LLM_BIN
      {{TAVRIN_APPLE_LLM_BIN, "extract", "/nonexistent\n\xfe.txt"}, ""},
#endif
  };
  ProcessOptions noServer;
  noServer.setEnv["PULSE_SERVER"] = "unix:/nonexistent";
  for (const Case& c : cases) {
    const ProcessResult r = runProcess(c.argv, noServer);
    const std::string what = c.argv[1];
    EXPECT_EQ(r.exitStatus, 1) << what;
    EXPECT_EQ(r.out, "") << what;
    ASSERT_FALSE(r.err.empty()) << what;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << what << ": " << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << what;
    EXPECT_EQ(sanitizeUtf8(r.err), r.err) << what;
    if (!c.exactErr.empty()) {
      EXPECT_EQ(r.err, c.exactErr);
    }
  }
}

}  // namespace
}  // namespace tavrin::testing
