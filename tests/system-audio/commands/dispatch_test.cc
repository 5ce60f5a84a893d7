#include <cerrno>
#include <gtest/gtest.h>

#include "system-audio/base/errors.h"
#include "system-audio/commands/tavrin_system_audio.h"
#include "tests/support/fake_system_env.h"

namespace tavrin::system_audio {
namespace {

using testing::FakeGates;
using testing::FakeSystemEnv;

// Runs one command line against scripted commands and records what they
// were asked.
class Dispatch : public ::testing::Test {
 protected:
  ExitStatus run(std::vector<std::string> rest, bool onDeviceServices = true) {
    rest.insert(rest.begin(), "tavrin-system-audio");
    FakeGates gates(true, onDeviceServices);
    Commands commands;
    commands.status = [&] {
      calls.push_back("status");
      return statusReply;
    };
    commands.probe = [&](uint64_t seconds) {
      calls.push_back("probe " + std::to_string(seconds));
      return EncodedReply(R"({"probe":1})");
    };
    commands.record = [&](const RecordRequest& r) {
      calls.push_back("record " + r.outputPath + " " + (r.seconds ? std::to_string(*r.seconds) : "-") + " " +
                      r.stopFilePath.value_or("-") + " " + r.startFilePath.value_or("-"));
      return EncodedReply(R"({"record":1})");
    };
    commands.live = [&](const LiveRequest& r) {
      calls.push_back("live " + r.language.value_or("-") + " " + r.translateTo.value_or("-") + " " +
                      r.stopFilePath.value_or("-") + " mic=" + std::to_string(r.micEnabled) +
                      " system=" + std::to_string(r.systemEnabled) + " echo=" + std::to_string(r.echoCancellation));
      if (liveFails) throw PlatformError("Microphone is gone");
    };
    commands.translationStatus = [&](const std::optional<std::string>& source, const std::string& target) {
      calls.push_back("translation " + source.value_or("-") + " " + target);
      return EncodedReply(R"({"t":1})");
    };
    Platform platform{env, gates, commands};
    return TavrinSystemAudio::run(Arguments(rest), platform);
  }

  FakeSystemEnv env;
  std::vector<std::string> calls;
  SystemAudioStatus statusReply{true, "available", std::nullopt};
  bool liveFails = false;
};

TEST_F(Dispatch, NoArgumentsRunsStatus) {
  EXPECT_EQ(run({}), kExitSuccess);
  EXPECT_EQ(calls, std::vector<std::string>{"status"});
  EXPECT_EQ(env.stdoutLines(), std::vector<std::string>{R"({"available":true,"status":"available"})"});
}

TEST_F(Dispatch, StatusReasonKeepsKeyOrderAndEscapesTheSolidus) {
  statusReply = {false, "unavailable", "Connection refused: /run/pulse/native"};
  EXPECT_EQ(run({"status"}), kExitSuccess);
  EXPECT_EQ(env.stdoutLines(), std::vector<std::string>{
                                   R"({"available":false,"status":"unavailable","reason":"Connection refused: \/run\/pulse\/native"})"});
}

TEST_F(Dispatch, UnknownCommandIsCaseSensitiveAndWritesOneStderrLine) {
  EXPECT_EQ(run({"Status"}), kExitFailure);
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(env.stdoutLines().empty());
  EXPECT_EQ(env.stderrLines(), std::vector<std::string>{"Unknown system audio command: Status."});
}

TEST_F(Dispatch, RecordReadsItsOptionsAnywhere) {
  EXPECT_EQ(run({"record", "--stop-file", "/s", "--seconds", "0", "--output", "o.raw", "--start-file", "/t"}),
            kExitSuccess);
  EXPECT_EQ(calls, std::vector<std::string>{"record o.raw 1 /s /t"});
  EXPECT_EQ(env.stdoutLines(), std::vector<std::string>{R"({"record":1})"});
}

TEST_F(Dispatch, RecordWithoutOutputFailsBeforeRecording) {
  EXPECT_EQ(run({"record", "--seconds", "3", "--output"}), kExitFailure);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(env.stderrLines(), std::vector<std::string>{"Missing --output path for system audio recording."});
}

TEST_F(Dispatch, ProbeGetsTheClampedDuration) {
  EXPECT_EQ(run({"probe", "--seconds", "99"}), kExitSuccess);
  EXPECT_EQ(calls, std::vector<std::string>{"probe 30"});
}

TEST_F(Dispatch, LiveFlagsAreSearchedIndependentlyOfValues) {
  EXPECT_EQ(run({"live", "--language", "--no-mic", "--echo-cancel", "--translate-to", "ja"}), kExitSuccess);
  EXPECT_EQ(calls, std::vector<std::string>{"live --no-mic ja - mic=0 system=1 echo=1"});
  EXPECT_TRUE(env.stdoutLines().empty());  // live writes its own events
}

TEST_F(Dispatch, LiveFailureIsOneStderrLine) {
  liveFails = true;
  EXPECT_EQ(run({"live"}), kExitFailure);
  EXPECT_EQ(env.stderrLines(), std::vector<std::string>{"Microphone is gone"});
}

TEST_F(Dispatch, OlderPlatformRefusesLiveAndTranslationStatusBeforeReadingOptions) {
  EXPECT_EQ(run({"live", "--language", "en"}, false), kExitFailure);
  EXPECT_EQ(run({"translation-status", "--source", "en"}, false), kExitFailure);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(env.stderrLines(), (std::vector<std::string>{"Live subtitles require macOS 26.0 or later.",
                                                         "Live subtitles require macOS 26.0 or later."}));
}

TEST_F(Dispatch, TranslationStatusNeedsANonEmptyTarget) {
  EXPECT_EQ(run({"translation-status", "--source", "en"}), kExitFailure);
  EXPECT_EQ(run({"translation-status", "--target", ""}), kExitFailure);
  EXPECT_EQ(run({"translation-status", "--target"}), kExitFailure);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(env.stderrLines().size(), 3u);
  EXPECT_EQ(env.stderrLines()[0], "Missing --target language for translation status.");
  EXPECT_EQ(run({"translation-status", "--target", "pt-BR", "--source", "en"}), kExitSuccess);
  EXPECT_EQ(calls, std::vector<std::string>{"translation en pt-BR"});
}

TEST_F(Dispatch, AReplyThatCannotBeWrittenIsAFailure) {
  env.failStdoutWith(ENOSPC);
  EXPECT_EQ(run({"probe"}), kExitFailure);
  EXPECT_EQ(env.stderrLines(), std::vector<std::string>{"No space left on device"});
}

TEST_F(Dispatch, ErrorTextsWithInvalidUtf8AreRepaired) {
  EXPECT_EQ(run({"bad\xff"}), kExitFailure);
  EXPECT_EQ(env.stderrLines(), std::vector<std::string>{"Unknown system audio command: bad\xEF\xBF\xBD."});
}

}  // namespace
}  // namespace tavrin::system_audio
