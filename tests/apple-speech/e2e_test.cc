// The tavrin-apple-speech program: exact standard output, standard error and
// exit status of each command.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/speech-service/speech_samples.h"
#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

const std::string kBin = TAVRIN_APPLE_SPEECH_BIN;

ProcessResult speech(std::vector<std::string> args, ProcessOptions options = {}) {
  args.insert(args.begin(), kBin);
  if (options.setEnv.count("XDG_DATA_HOME") == 0) options.setEnv["XDG_DATA_HOME"] = "/nonexistent/xdg";
  return runProcess(args, options);
}

ProcessOptions env(std::map<std::string, std::string> set, std::vector<std::string> unset = {}) {
  ProcessOptions options;
  options.setEnv = std::move(set);
  options.unsetEnv = std::move(unset);
  return options;
}

void expectFailure(const ProcessResult& r, const std::string& message) {
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, message + "\n");
  EXPECT_EQ(r.out, "");
}

TEST(AppleSpeechE2eTest, WrongUsage) {
  expectFailure(speech({}), "Invalid helper arguments.");
  expectFailure(speech({"decode"}), "Invalid helper arguments.");
  expectFailure(speech({"transcribe"}), "Invalid helper arguments.");
  expectFailure(speech({"Status"}), "Invalid helper arguments.");
}

TEST(AppleSpeechE2eTest, StatusAndLocaleLists) {
  ProcessResult r = speech({"status", "en-US"});
  EXPECT_EQ(r.out, "{\"available\":true,\"status\":\"installed\",\"locale\":\"en_US\"}\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitStatus, 0);

  r = speech({"status", "xx-YY"});
  EXPECT_EQ(r.out,
            "{\"available\":false,\"status\":\"unsupported\",\"reason\":\"Apple SpeechTranscriber does not support "
            "locale xx_YY.\"}\n");
  EXPECT_EQ(r.exitStatus, 0);

  r = speech({"status"}, env({{"LANG", "fr_CA.UTF-8"}}, {"LC_ALL", "LC_MESSAGES"}));
  EXPECT_EQ(r.out, "{\"available\":true,\"status\":\"supported\",\"locale\":\"fr_FR\"}\n");

  r = speech({"supported-locales", "ignored"});
  EXPECT_EQ(r.out, "[\"de-DE\",\"en-US\",\"es-ES\",\"fr-FR\",\"it-IT\",\"nl-NL\",\"pt-BR\",\"ru-RU\",\"zh-CN\"]\n");
  EXPECT_EQ(r.exitStatus, 0);

  r = speech({"preferred-languages"}, env({{"LANGUAGE", "en_GB:fr_FR:en_US:xx"}}));
  EXPECT_EQ(r.out, "[\"en\",\"fr\"]\n");
  r = speech({"preferred-languages"}, env({{"LANG", "ja_JP.UTF-8"}}, {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}));
  EXPECT_EQ(r.out, "[]\n");
}

TEST(AppleSpeechE2eTest, StatusReadsModelDirectories) {
  TempDir home;
  ::mkdir((home.path() + "/tavrin").c_str(), 0755);
  ::mkdir((home.path() + "/tavrin/speech").c_str(), 0755);
  ::mkdir((home.path() + "/tavrin/speech/de_DE").c_str(), 0755);
  ProcessResult r = speech({"status", "de"}, env({{"XDG_DATA_HOME", home.path()}}));
  EXPECT_EQ(r.out, "{\"available\":true,\"status\":\"downloading\",\"locale\":\"de_DE\"}\n");
}

TEST(AppleSpeechE2eTest, TranscribeFileProblems) {
  TempDir dir;
  expectFailure(speech({"transcribe", dir.file("missing.raw")}), "No such file or directory");
  writeFile(dir.file("empty.raw"), "");
  expectFailure(speech({"transcribe", dir.file("empty.raw")}), "Invalid audio input.");
  writeFile(dir.file("six.raw"), "123456");
  expectFailure(speech({"transcribe", dir.file("six.raw"), "en"}), "Invalid audio input.");
  expectFailure(speech({"transcribe", dir.file("six.raw"), "xx-YY"}),
                "Apple SpeechTranscriber does not support locale xx_YY.");
  expectFailure(speech({"transcribe", dir.file("six.raw"), "es-ES"}, env({{"XDG_DATA_HOME", "/srv/data"}})),
                "The speech model for locale es_ES is not installed and cannot be downloaded here; install its files "
                "(acoustic-model/, language-model.lm.bin, dictionary.dict) into /srv/data/tavrin/speech/es_ES/");
}

TEST(AppleSpeechE2eTest, TranscribeSilence) {
  TempDir dir;
  writeFile(dir.file("silence.raw"), std::string(16000 * 4, '\0'));
  const ProcessResult r = speech({"transcribe", dir.file("silence.raw"), "--contextual-strings", "\n"});
  EXPECT_EQ(r.out, "{\"type\":\"duration\",\"ms\":1000}\n{\"type\":\"result\",\"text\":\"\",\"segments\":[]}\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitStatus, 0);
}

}  // namespace
}  // namespace tavrin::testing
