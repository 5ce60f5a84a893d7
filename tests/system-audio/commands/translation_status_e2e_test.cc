// translation-status through the real binary and the real Apertium data of
// this machine (apertium-eng-spa is installed by the setup script; the
// English-Catalan pair is packaged by Debian but not installed).
#include <gtest/gtest.h>

#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

ProcessResult translationStatus(const std::vector<std::string>& options) {
  std::vector<std::string> argv{TAVRIN_SYSTEM_AUDIO_BIN, "translation-status"};
  argv.insert(argv.end(), options.begin(), options.end());
  ProcessOptions env;
  env.setEnv["LANG"] = "en_US.UTF-8";
  env.unsetEnv = {"LC_ALL", "LC_MESSAGES"};
  return runProcess(argv, env);
}

void expectReply(const std::vector<std::string>& options, const std::string& reply) {
  ProcessResult r = translationStatus(options);
  EXPECT_EQ(r.out, reply + "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitStatus, 0);
}

TEST(TranslationStatusCommandE2E, AnswersFromTheInstalledPairsAndTheCatalog) {
  expectReply({"--target", "es"}, R"({"status":"installed","source":"en_US","target":"es"})");
  expectReply({"--target", "en", "--source", "es-MX"}, R"({"status":"installed","source":"es_MX","target":"en"})");
  expectReply({"--source", "en", "--target", "ca"}, R"({"status":"needsDownload","source":"en","target":"ca"})");
  expectReply({"--target", "pt-BR"}, R"({"status":"unsupported","source":"en_US","target":"pt-BR"})");
  expectReply({"--target", "de-AT", "--source", "de"}, R"({"status":"sameLanguage","source":"de","target":"de-AT"})");
  expectReply({"--target", "x/y"}, R"({"status":"unsupported","source":"en_US","target":"x\/y"})");
}

TEST(TranslationStatusCommandE2E, MissingTargetFailsWithOneLine) {
  for (auto options : std::vector<std::vector<std::string>>{{"--source", "en"}, {"--target"}, {"--target", ""}}) {
    ProcessResult r = translationStatus(options);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Missing --target language for translation status.\n");
    EXPECT_EQ(r.exitStatus, 1);
  }
}

}  // namespace
}  // namespace tavrin::testing
