// The command line on a fake model: arguments, trimming, the platform gate, what each pass sends.
#include "apple-llm/app.h"

#include <gtest/gtest.h>

#include "apple-llm/crash_guard.h"
#include "apple-llm/fake_model.h"
#include "apple-llm/prompts.h"
#include "tests/support/subprocess.h"

namespace tavrin::llm {
namespace {

using testing::TempDir;
using testing::writeFile;
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

TEST(Trim, UnicodeWhiteSpaceAndLineBreaksAtBothEndsOnly) {
  EXPECT_EQ(trimWhitespaceAndNewlines(" \t\r\n a \n\n b \u3000\u00A0\u2028\n"), "a \n\n b");
  EXPECT_EQ(trimWhitespaceAndNewlines("\u2003日本\u0085"), "日本");
  EXPECT_EQ(trimWhitespaceAndNewlines(" \n "), "");
}

class AppTest : public ::testing::Test {
 protected:
  RunOutcome run(Args args) { return runTavrinAppleLLM(args, platform_); }

  FakeLanguageModel model_;
  Platform platform_{model_};
  TempDir dir_;
};

TEST_F(AppTest, WithoutTheModelServiceEveryCommandFailsButNoArguments) {
  platform_.modelServiceAvailable = false;
  EXPECT_EQ(run({}).err, "Invalid arguments.");
  for (const Args& args : {Args{"status"}, Args{"extract", "x"}, Args{"bogus"}}) {
    const RunOutcome r = run(args);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "Apple Foundation Models requires macOS 26.0 or later.");
  }
}

TEST_F(AppTest, EachPassSendsOneRequestWithItsTextsAndOptions) {
  writeFile(dir_.file("t.txt"), "\n  You: a/b\nOthers: c  \n");
  struct Case {
    Args args;
    std::string reply;
    std::string instructions;
    std::string prompt;
    double temperature;
    int limit;
    const RecordSchema* schema;
  };
  const std::string text = "You: a/b\nOthers: c";
  const std::optional<std::string> ja("ja"), none;
  for (const Case& c : {Case{{"extract", dir_.file("t.txt"), "ja-JP", "--x"},
                             R"({"topics":[{"topic":"A","notes":"B"}],"decisions":[],"actionItems":[{"text":"D"}]})",
                             extractInstructions(ja),
                             buildPrompt(extractPass(), text, ja),
                             0.1,
                             1200,
                             &Extract::schema()},
                        Case{{"synthesize", dir_.file("t.txt"), ""},
                             R"({"title":"T","summary":"S"})",
                             synthesizeInstructions(none),
                             buildPrompt(synthesizePass(), text, none),
                             0.3,
                             500,
                             &Overview::schema()}}) {
    FakeLanguageModel model;
    Platform platform{model};
    model.setResponse(c.reply);
    const RunOutcome r = runTavrinAppleLLM(c.args, platform);
    EXPECT_EQ(r.out, c.reply) << r.err;
    ASSERT_EQ(model.requests().size(), 1u);
    EXPECT_EQ(model.sessionsOpened(), 1);
    const auto& req = model.requests()[0];
    EXPECT_EQ(req.instructions, c.instructions);
    EXPECT_EQ(req.prompt, c.prompt);
    EXPECT_EQ(req.schema, c.schema);
    EXPECT_DOUBLE_EQ(req.options.temperature, c.temperature);
    EXPECT_EQ(req.options.maximumResponseTokens, c.limit);
  }
}

TEST_F(AppTest, ModelFailuresAreOneLineWithNoReplyAndNoRetry) {
  writeFile(dir_.file("t.txt"), "x");
  model_.setError("The response was cut off\nat the limit.");
  RunOutcome r = run({"synthesize", dir_.file("t.txt")});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "The response was cut off at the limit.");
  model_.setResponse(R"({"title":"T"})");
  EXPECT_EQ(run({"synthesize", dir_.file("t.txt")}).exitStatus, 1);  // an incomplete record fails
  EXPECT_EQ(model_.requests().size(), 2u);
}

TEST(CrashGuard, ACrashIsOneLineAndExitStatus1) {
  for (int signal : {SIGSEGV, SIGILL, SIGABRT}) {
    EXPECT_EXIT(
        {
          const CrashGuard guard;
          std::raise(signal);
        },
        ::testing::ExitedWithCode(1), "^The language model failed: [a-zA-Z ]+\\.\n$");
  }
}

}  // namespace
}  // namespace tavrin::llm
