// The command line on a fake model: arguments, the platform gate, what each pass sends.
#include "apple-llm/app.h"

#include <gtest/gtest.h>

#include "apple-llm/crash_guard.h"
#include "apple-llm/prompts.h"
#include "tests/apple-llm/fake_model.h"
#include "tests/support/subprocess.h"

namespace tavrin::llm {
namespace {

using Args = std::vector<std::string>;

TEST(ParseGenerateArgs, PathAndOptionalLanguage) {
  EXPECT_THROW(parseGenerateArgs({"extract"}), HelperError);
  struct Case {
    Args args;
    std::string path;
    std::optional<std::string> language;
  };
  for (const Case& c : {Case{{"extract", "p"}, "p", std::nullopt}, Case{{"extract", "--p"}, "--p", std::nullopt},
                        Case{{"extract", "p", "ja"}, "p", "ja"}, Case{{"extract", "p", "--ja"}, "p", std::nullopt},
                        Case{{"extract", "p", "ja", "--x", "y"}, "p", "ja"}, Case{{"extract", "p", ""}, "p", ""}}) {
    const GenerateArgs parsed = parseGenerateArgs(c.args);
    EXPECT_EQ(parsed.path, c.path);
    EXPECT_EQ(parsed.language, c.language) << ::testing::PrintToString(c.args);
  }
}

TEST(App, WithoutTheModelServiceEveryCommandFailsButNoArguments) {
  FakeLanguageModel model;
  Platform platform{model, false};
  EXPECT_EQ(runTavrinAppleLLM({}, platform).err, HelperError::invalidArguments().what());
  for (const Args& args : {Args{"status"}, Args{"extract", "x"}, Args{"bogus"}}) {
    const RunOutcome r = runTavrinAppleLLM(args, platform);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, HelperError::unsupportedOS().what());
  }
}

// One session and one request per pass, with the pass's texts and options; a model failure is one line, not retried.
TEST(App, EachPassSendsOneRequestWithItsTextsAndOptions) {
  testing::TempDir dir;
  testing::writeFile(dir.file("t.txt"), "\n  You: a/b\nOthers: c  \n");
  const std::string text = "You: a/b\nOthers: c";
  const std::optional<std::string> ja("ja"), none;
  const auto check = [](const Args& args, const std::string& reply, const std::string& instructions,
                        const std::string& prompt, double temperature, int limit, const RecordSchema& schema) {
    FakeLanguageModel model;
    Platform platform{model};
    model.setResponse(reply);
    EXPECT_EQ(runTavrinAppleLLM(args, platform).out, reply);
    ASSERT_EQ(model.requests.size(), 1u);
    EXPECT_EQ(model.sessionsOpened, 1);
    const auto& req = model.requests[0];
    EXPECT_EQ(req.instructions, instructions);
    EXPECT_EQ(req.prompt, prompt);
    EXPECT_EQ(req.schema, &schema);
    EXPECT_DOUBLE_EQ(req.options.temperature, temperature);
    EXPECT_EQ(req.options.maximumResponseTokens, limit);
    model.setError("The response was cut off\nat the limit.");
    const RunOutcome r = runTavrinAppleLLM(args, platform);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "The response was cut off at the limit.");
    model.setResponse(R"({"title":"T"})");  // an incomplete record fails
    EXPECT_EQ(runTavrinAppleLLM(args, platform).exitStatus, 1);
    EXPECT_EQ(model.requests.size(), 3u);
  };
  check({"extract", dir.file("t.txt"), "ja-JP", "--x"}, R"({"topics":[],"decisions":[],"actionItems":[]})",
        extractInstructions(ja), buildPrompt(extractPass(), text, ja), 0.1, 1200, Extract::schema());
  check({"synthesize", dir.file("t.txt"), ""}, R"({"title":"T","summary":"S"})", synthesizeInstructions(none),
        buildPrompt(synthesizePass(), text, none), 0.3, 500, Overview::schema());
}

TEST(CrashGuard, ACrashIsOneLineAndExitStatus1) {
  for (const auto& [signal, what] :
       std::vector<std::pair<int, std::string>>{{SIGSEGV, "the process crashed"},
                                                {SIGILL, "this CPU cannot run its instructions"},
                                                {SIGABRT, "it aborted"}}) {
    EXPECT_EXIT(
        {
          const CrashGuard guard;
          std::raise(signal);
        },
        ::testing::ExitedWithCode(1), "^The language model failed: " + what + "\\.\n$");
  }
}

}  // namespace
}  // namespace tavrin::llm
