// Dispatch on scripted commands: what each is asked, what is written, the exit status.
#include <gtest/gtest.h>

#include <cerrno>

#include "system-audio/base/errors.h"
#include "system-audio/commands/tavrin_system_audio.h"
#include "tests/support/fake_system_env.h"

namespace tavrin::system_audio {
namespace {

// A row fails exactly when it writes to standard error.
TEST(Dispatch, EachCommandGetsItsRequestAndItsReplyIsOneLine) {
  const std::string older = SystemAudioError::liveUnsupported().what();
  const struct {
    std::vector<std::string> args;
    std::string call, out, err;
    bool onDeviceServices = true;
    int stdoutError = 0;
  } rows[] = {
      {{}, "status", R"({"available":false,"status":"unavailable","reason":"\/run\/pulse"})", ""},
      {{"probe", "--seconds", "99"}, "probe 30", "{}", ""},
      {{"probe"}, "probe 5", "", "No space left on device", true, ENOSPC},  // the reply cannot be written
      {{"record", "--stop-file", "/s", "--seconds", "0", "--output", "o", "--start-file", "/t"},
       "record o 1 /s /t",
       "{}",
       ""},
      {{"record", "--output", "o.raw"}, "record o.raw - - -", "{}", ""},
      {{"record", "--output", "--seconds", "--stop-file", ""}, "record --seconds - - -", "{}", ""},  // values verbatim
      {{"live", "--language", "fr", "--NO-MIC", "--language", "de"}, "live fr - - mic=1 system=1 echo=0", "", ""},
      {{"live", "--language", "--no-mic", "--echo-cancel", "--translate-to", "ja"},
       "live --no-mic ja - mic=0 system=1 echo=1",
       "",
       ""},
      {{"live", "--stop-file", "/s", "--no-system"}, "live - - /s mic=1 system=0 echo=0", "", "Microphone is gone"},
      {{"translation-status", "--target", "pt-BR", "--source", "en"}, "translation en pt-BR", "{}", ""},
      {{"live", "--language", "en"}, "", "", older, false},
      {{"translation-status", "--source", "en"}, "", "", older, false}};
  for (const auto& row : rows) {
    testing::FakeSystemEnv env;
    env.failStdoutWith(row.stdoutError);
    testing::FakeGates gates(true, row.onDeviceServices);
    std::string call;
    Commands commands;
    // Each command notes what it was asked in `call`.
    commands.status = [&] { return call = "status", SystemAudioStatus{false, "unavailable", "/run/pulse"}; };
    commands.probe = [&](uint64_t seconds) { return call = "probe " + std::to_string(seconds), EncodedReply("{}"); };
    commands.record = [&](const RecordRequest& r) {
      return call = "record " + r.outputPath + " " + (r.seconds ? std::to_string(*r.seconds) : "-") + " " +
                    r.stopFilePath.value_or("-") + " " + r.startFilePath.value_or("-"),
             EncodedReply("{}");
    };
    commands.live = [&](const LiveRequest& r) {
      call = "live " + r.language.value_or("-") + " " + r.translateTo.value_or("-") + " " +
             r.stopFilePath.value_or("-") + " mic=" + std::to_string(r.micEnabled) +
             " system=" + std::to_string(r.systemEnabled) + " echo=" + std::to_string(r.echoCancellation);
      if (r.stopFilePath) throw PlatformError("Microphone is gone");
    };
    commands.translationStatus = [&](const std::optional<std::string>& source, const std::string& target) {
      return call = "translation " + source.value_or("-") + " " + target, EncodedReply("{}");
    };
    std::vector<std::string> argv = row.args;
    argv.insert(argv.begin(), "tavrin-system-audio");
    Platform platform{env, gates, commands};
    EXPECT_EQ(TavrinSystemAudio::run(Arguments(argv), platform), row.err.empty() ? kExitSuccess : kExitFailure);
    EXPECT_EQ(call, row.call);
    EXPECT_EQ(env.stdoutLines(), row.out.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.out});
    EXPECT_EQ(env.stderrLines(), row.err.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.err});
  }
}

}  // namespace
}  // namespace tavrin::system_audio
