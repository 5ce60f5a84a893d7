// Arguments, the platform gate and the reply commands on a scripted speech service.
#include <gtest/gtest.h>

#include "apple-speech/arguments.h"
#include "apple-speech/helper_error.h"
#include "apple-speech/tavrin_apple_speech.h"
#include "tests/apple-speech/fake_output.h"
#include "tests/support/scripted_speech_service.h"

namespace tavrin::apple_speech {
namespace {

using speech::AssetStatus;
using Lines = std::vector<std::string>;

TEST(ArgumentsTest, FlagValueContextualStringsAndTranscribeArguments) {
  EXPECT_EQ(flagValue("--x", {"transcribe", "--x", "a", "--x", "b"}), "a");
  EXPECT_EQ(flagValue("--x", {"--x", "transcribe"}), "transcribe");
  EXPECT_EQ(flagValue("--x", {"transcribe", "p", "--x"}), std::nullopt);
  EXPECT_EQ(flagValue("--x", {"transcribe", "--X", "a"}), std::nullopt);
  EXPECT_EQ(splitContextualStrings(std::string("\na\r\n\nb c \n")), (Lines{"a\r", "b c "}));
  const TranscribeArguments a = parseTranscribeArguments({"transcribe", "a.pcm", "en-US", "--contextual-strings"});
  EXPECT_TRUE(a.path == "a.pcm" && a.language == "en-US" && a.contextualStrings.empty());
  EXPECT_EQ(parseTranscribeArguments({"transcribe", "a.pcm", "--contextual-strings", "X"}).language, std::nullopt);
  EXPECT_THROW(parseTranscribeArguments({"transcribe"}), HelperError);
}

class CommandsTest : public ::testing::Test {
 protected:
  int run(const std::vector<std::string>& args) { return TavrinAppleSpeech::run(args, platform); }

  speech::ScriptedSpeechService service;
  testing::FakeOutput out, err;
  testing::FakeLanguage languages;
  Platform platform{service, out, err, languages, true, "en_US", {"en_US"}};
};

TEST_F(CommandsTest, OlderSystemRefusesEverythingButDecode) {
  platform.onDeviceServices = false;
  const std::string older = HelperError::unsupportedOS().what();
  const std::vector<std::pair<Lines, std::string>> rows = {
      {{"decode"}, HelperError::invalidArguments().what()},
      {{"frobnicate"}, older},
      {{"status"}, older},
      {{"decode", "/nonexistent/file"}, HelperError::decodeFailed("file not found").what()}};
  std::string messages;
  for (const auto& [args, message] : rows) {
    EXPECT_EQ(run(args), 1);
    messages += message + "\n";
  }
  EXPECT_EQ(err.text(), messages);
  EXPECT_EQ(out.text(), "");
}

TEST_F(CommandsTest, StatusReplies) {
  using enum AssetStatus;
  service.locales = {{"en_US", kInstalled}, {"fr_FR", kSupported}, {"de_DE", kDownloading}, {"ja_JP", kUnsupported}};
  platform.currentLocale = "de_AT";
  const std::string unsupported = R"({"available":false,"status":"unsupported",)";
  for (const auto& [args, line] : std::vector<std::pair<Lines, std::string>>{
           {{"status", "en-US", "ignored"}, R"({"available":true,"status":"installed","locale":"en_US"})"},
           {{"status", "fr"}, R"({"available":true,"status":"supported","locale":"fr_FR"})"},
           {{"status", ""}, R"({"available":true,"status":"downloading","locale":"de_DE"})"},
           {{"status", "ja-JP"},
            unsupported + R"("locale":"ja_JP","reason":"Required Apple speech assets are unsupported."})"},
           {{"status", "--foo"},
            unsupported + R"("reason":"Apple SpeechTranscriber does not support locale __foo."})"}}) {
    EXPECT_EQ(run(args), 0);
    EXPECT_EQ(out.lines().back(), line);
  }
  service.available = false;
  EXPECT_EQ(run({"status", "en"}), 0);
  EXPECT_EQ(out.lines().back(),
            unsupported + R"("reason":"Apple SpeechTranscriber is not available on this device."})");
  EXPECT_EQ(service.calls(), (Lines{"match:en_US", "match:fr", "match:de_AT", "match:ja_JP", "match:__foo"}));
  EXPECT_EQ(err.text(), "");
}

// Which locales and languages are listed, in which order: e2e_test.
TEST_F(CommandsTest, AReplyThatCannotBeWrittenIsAFailure) {
  out.failWith = EPIPE;
  EXPECT_EQ(run({"supported-locales"}), 1);
  EXPECT_EQ(err.text(), "Broken pipe\n");
}

}  // namespace
}  // namespace tavrin::apple_speech
