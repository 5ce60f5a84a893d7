// Dispatch, the platform gate, status, preferred-languages and
// supported-locales on a scripted speech service.
#include <gtest/gtest.h>

#include "apple-speech/tavrin_apple_speech.h"
#include "speech-service/scripted_speech_service.h"
#include "tests/apple-speech/fake_output.h"

namespace tavrin::apple_speech {
namespace {

using speech::AssetStatus;
using testing::FakeOutput;

class NoLanguages final : public LanguageRecognizer {
 public:
  std::optional<std::pair<std::string, double>> dominantLanguage(const std::string&) override { return std::nullopt; }
};

class CommandsTest : public ::testing::Test {
 protected:
  int run(const std::vector<std::string>& args) { return TavrinAppleSpeech::run(args, platform); }
  void expectFailure(const std::vector<std::string>& args, const std::string& message) {
    err.clear();
    EXPECT_EQ(run(args), 1);
    EXPECT_EQ(err.text(), message + "\n");
    EXPECT_EQ(out.text(), "");
  }

  speech::ScriptedSpeechService service;
  FakeOutput out, err;
  NoLanguages languages;
  Platform platform{service, out, err, languages, true, "en_US", {"en_US"}};
};

TEST_F(CommandsTest, WrongUsage) {
  expectFailure({}, "Invalid helper arguments.");
  expectFailure({"decode"}, "Invalid helper arguments.");
  expectFailure({"transcribe"}, "Invalid helper arguments.");
  expectFailure({"Status"}, "Invalid helper arguments.");
}

TEST_F(CommandsTest, OlderSystemRefusesEverythingButDecode) {
  platform.onDeviceServices = false;
  expectFailure({"decode"}, "Invalid helper arguments.");
  err.clear();
  expectFailure({"frobnicate"}, "Apple SpeechAnalyzer requires macOS 26.0 or later.");
  err.clear();
  expectFailure({"status"}, "Apple SpeechAnalyzer requires macOS 26.0 or later.");
  err.clear();
  expectFailure({"decode", "/nonexistent/file"}, "Could not decode the media file: file not found");
}

TEST_F(CommandsTest, StatusReplies) {
  service.locales = {{"en_US", AssetStatus::kInstalled},
                     {"fr_FR", AssetStatus::kSupported},
                     {"de_DE", AssetStatus::kDownloading},
                     {"ja_JP", AssetStatus::kUnsupported}};
  EXPECT_EQ(run({"status", "en-US", "ignored"}), 0);
  EXPECT_EQ(run({"status", "fr"}), 0);
  EXPECT_EQ(run({"status", "de_DE"}), 0);
  EXPECT_EQ(run({"status", "ja-JP"}), 0);
  EXPECT_EQ(run({"status", "xx-YY"}), 0);
  EXPECT_EQ(run({"status", "--foo"}), 0);
  EXPECT_EQ(
      out.lines(),
      (std::vector<std::string>{
          R"({"available":true,"status":"installed","locale":"en_US"})",
          R"({"available":true,"status":"supported","locale":"fr_FR"})",
          R"({"available":true,"status":"downloading","locale":"de_DE"})",
          R"({"available":false,"status":"unsupported","locale":"ja_JP","reason":"Required Apple speech assets are unsupported."})",
          R"({"available":false,"status":"unsupported","reason":"Apple SpeechTranscriber does not support locale xx_YY."})",
          R"({"available":false,"status":"unsupported","reason":"Apple SpeechTranscriber does not support locale __foo."})",
      }));
  EXPECT_EQ(service.calls()[0], "match:en_US");
  EXPECT_EQ(err.text(), "");
}

TEST_F(CommandsTest, StatusWithoutLanguageUsesTheCurrentLocale) {
  service.locales = {{"de_DE", AssetStatus::kInstalled}};
  platform.currentLocale = "de_AT";
  EXPECT_EQ(run({"status"}), 0);
  EXPECT_EQ(run({"status", ""}), 0);
  EXPECT_EQ(service.calls(), (std::vector<std::string>{"match:de_AT", "match:de_AT"}));
  EXPECT_EQ(out.lines().at(1), R"({"available":true,"status":"installed","locale":"de_DE"})");
}

TEST_F(CommandsTest, StatusWhenTheServiceIsMissing) {
  service.available = false;
  EXPECT_EQ(run({"status", "en"}), 0);
  EXPECT_EQ(
      out.text(),
      R"({"available":false,"status":"unsupported","reason":"Apple SpeechTranscriber is not available on this device."})"
      "\n");
}

TEST_F(CommandsTest, PreferredLanguagesKeepFirstIdentifierPerLanguage) {
  service.locales = {{"en_US", AssetStatus::kInstalled}, {"de_DE", AssetStatus::kSupported}};
  platform.preferredLanguages = {"en-US", "en-GB", "fr-FR", "fr", "de", "de-CH", "C"};
  EXPECT_EQ(run({"preferred-languages", "extra"}), 0);
  EXPECT_EQ(out.text(), "[\"en\",\"de\"]\n");
  // fr was tried once: a second French identifier is not asked about.
  EXPECT_EQ(service.calls(), (std::vector<std::string>{"match:en-US", "match:fr-FR", "match:de", "match:C"}));
}

TEST_F(CommandsTest, PreferredLanguagesCanBeEmpty) {
  service.locales = {{"en_US", AssetStatus::kInstalled}};
  platform.preferredLanguages = {"fr-FR"};
  EXPECT_EQ(run({"preferred-languages"}), 0);
  EXPECT_EQ(out.text(), "[]\n");
}

TEST_F(CommandsTest, SupportedLocalesAreBcp47AndSortedByByte) {
  service.locales = {{"en_US", AssetStatus::kInstalled},
                     {"en_GB", AssetStatus::kSupported},
                     {"de_DE", AssetStatus::kSupported},
                     {"zh_CN", AssetStatus::kSupported},
                     {"en_US", AssetStatus::kSupported}};
  EXPECT_EQ(run({"supported-locales"}), 0);
  EXPECT_EQ(out.text(), "[\"de-DE\",\"en-GB\",\"en-US\",\"en-US\",\"zh-CN\"]\n");
}

TEST_F(CommandsTest, FailedReplyWriteIsAFailure) {
  out.failWith(EPIPE);
  EXPECT_EQ(run({"supported-locales"}), 1);
  EXPECT_EQ(err.text(), "Broken pipe\n");
}

}  // namespace
}  // namespace tavrin::apple_speech
