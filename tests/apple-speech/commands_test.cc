// The reply commands on a scripted speech service.
#include <gtest/gtest.h>

#include "apple-speech/helper_error.h"
#include "apple-speech/tavrin_apple_speech.h"
#include "tests/apple-speech/fake_output.h"
#include "tests/support/scripted_speech_service.h"

namespace tavrin::apple_speech {
namespace {

using speech::AssetStatus;
using Lines = std::vector<std::string>;

class CommandsTest : public ::testing::Test {
 protected:
  int run(const std::vector<std::string>& args) { return TavrinAppleSpeech::run(args, platform); }

  speech::ScriptedSpeechService service;
  testing::FakeOutput out, err;
  testing::FakeLanguage languages;
  Platform platform{service, out, err, languages, true, "en_US", {"en_US"}};
};

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

}  // namespace
}  // namespace tavrin::apple_speech
