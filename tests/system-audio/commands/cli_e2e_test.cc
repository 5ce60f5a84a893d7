// The real tavrin-system-audio binary: exact standard output, standard error
// and exit status for the command-line failures that need no capture.
#include <gtest/gtest.h>

#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

ProcessResult systemAudio(std::vector<std::string> args) {
  args.insert(args.begin(), TAVRIN_SYSTEM_AUDIO_BIN);
  return runProcess(args);
}

void expectFailure(const std::vector<std::string>& args, const std::string& stderrText) {
  const ProcessResult r = systemAudio(args);
  EXPECT_EQ(r.exitStatus, 1) << stderrText;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, stderrText + "\n");
}

TEST(SystemAudioCli, UnknownCommandsAreNamedExactly) {
  expectFailure({"Status"}, "Unknown system audio command: Status.");
  expectFailure({"--seconds", "5"}, "Unknown system audio command: --seconds.");
  expectFailure({""}, "Unknown system audio command: .");
  expectFailure({"a/b"}, "Unknown system audio command: a/b.");
}

TEST(SystemAudioCli, RecordNeedsAnOutputPath) {
  expectFailure({"record"}, "Missing --output path for system audio recording.");
  expectFailure({"record", "--seconds", "2", "--output"}, "Missing --output path for system audio recording.");
}

TEST(SystemAudioCli, TranslationStatusNeedsATarget) {
  expectFailure({"translation-status", "--source", "en"}, "Missing --target language for translation status.");
  expectFailure({"translation-status", "--target", ""}, "Missing --target language for translation status.");
  expectFailure({"translation-status", "--source", "en", "--target"},
                "Missing --target language for translation status.");
}

}  // namespace
}  // namespace tavrin::testing
