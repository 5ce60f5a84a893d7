// The command line on a fake model: argument grammar, input files,
// availability replies, the platform gate and what each pass sends.
#include "apple-llm/app.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "apple-llm/fake_model.h"
#include "apple-llm/prompts.h"
#include "tests/support/subprocess.h"

namespace tavrin::llm {
namespace {

using testing::TempDir;
using testing::writeFile;

class AppTest : public ::testing::Test {
 protected:
  RunOutcome run(std::vector<std::string> args) { return runTavrinAppleLLM(args, platform_); }

  FakeLanguageModel model_;
  Platform platform_{model_};
  TempDir dir_;
};

TEST(ParseGenerateArgs, PathAndOptionalLanguage) {
  EXPECT_THROW(parseGenerateArgs({"extract"}), HelperError);
  const auto parse = [](std::vector<std::string> args) { return parseGenerateArgs(args); };
  EXPECT_EQ(parse({"extract", "p"}).language, std::nullopt);
  EXPECT_EQ(parse({"extract", "--p"}).path, "--p");  // a path is taken as is
  EXPECT_EQ(parse({"extract", "p", "ja"}).language, "ja");
  EXPECT_EQ(parse({"extract", "p", "--ja"}).language, std::nullopt);
  EXPECT_EQ(parse({"extract", "p", "ja", "--x", "y"}).language, "ja");
  EXPECT_EQ(parse({"extract", "p", ""}).language, std::string());
}

TEST(Trim, UnicodeWhiteSpaceAndLineBreaksAtBothEndsOnly) {
  EXPECT_EQ(trimWhitespaceAndNewlines(" \t\r\n a \n\n b \u3000\u00A0\u2028\n"), "a \n\n b");
  EXPECT_EQ(trimWhitespaceAndNewlines("\u2003x\u0085"), "x");
  EXPECT_EQ(trimWhitespaceAndNewlines("日本"), "日本");
  EXPECT_EQ(trimWhitespaceAndNewlines(" \n "), "");
}

TEST_F(AppTest, ReadTranscriptRules) {
  writeFile(dir_.file("t.txt"), "\n\n  You: hello\n\tOthers: hi  \n\n");
  EXPECT_EQ(readTranscript(dir_.file("t.txt")), "You: hello\n\tOthers: hi");
  writeFile(dir_.file("blank.txt"), " \t\n\n  \r\n");
  writeFile(dir_.file("latin1.txt"), "caf\xE9");
  writeFile(dir_.file("empty.txt"), "");
  for (const char* name : {"blank.txt", "latin1.txt", "empty.txt"}) {
    try {
      readTranscript(dir_.file(name));
      ADD_FAILURE() << name;
    } catch (const HelperError& e) {
      EXPECT_STREQ(e.what(), "Transcript is empty.") << name;
    }
  }
  try {
    readTranscript(dir_.path());  // a directory exists but does not read
    ADD_FAILURE();
  } catch (const HelperError& e) {
    EXPECT_STREQ(e.what(), "Transcript is empty.");
  }
  try {
    readTranscript(dir_.file("missing dir/x.txt"));
    ADD_FAILURE();
  } catch (const HelperError& e) {
    EXPECT_EQ(std::string(e.what()), "Transcript file not found: " + dir_.file("missing dir/x.txt"));
  }
}

TEST_F(AppTest, StatusRepliesForEveryAvailability) {
  EXPECT_EQ(run({"status"}).out, R"({"available":true,"status":"available"})");
  EXPECT_EQ(run({"status", "extra", "--x"}).out, R"({"available":true,"status":"available"})");
  struct Case {
    UnavailableReason reason;
    const char* sentence;
  };
  for (const Case& c : {Case{UnavailableReason::kDeviceNotEligible, "This device does not support Apple Intelligence."},
                        Case{UnavailableReason::kAppleIntelligenceNotEnabled,
                             "Enable Apple Intelligence in System Settings to generate summaries."},
                        Case{UnavailableReason::kModelNotReady,
                             "The on-device model is still downloading. Try again shortly."},
                        Case{UnavailableReason::kOther, "Apple Intelligence is unavailable on this device."}}) {
    model_.setAvailability(ModelAvailability::unavailable(c.reason));
    const RunOutcome status = run({"status"});
    EXPECT_EQ(status.exitStatus, 0);
    EXPECT_EQ(status.out, std::string(R"({"available":false,"status":"unavailable","reason":")") + c.sentence + "\"}");
    // The generation passes fail with the same sentence, before any session.
    writeFile(dir_.file("t.txt"), "x");
    for (const char* command : {"extract", "synthesize"}) {
      const RunOutcome r = run({command, dir_.file("t.txt")});
      EXPECT_EQ(r.exitStatus, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, c.sentence);
    }
  }
  EXPECT_EQ(model_.sessionsOpened(), 0);
}

TEST_F(AppTest, ArgumentFailures) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"Status"}, {"STATUS"}, {"help"}, {""}, {"extract"}, {"synthesize"}, {"--status"}}) {
    const RunOutcome r = run(args);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Invalid arguments.");
  }
}

TEST_F(AppTest, OlderPlatformFailsEveryCommandButNoArguments) {
  platform_.modelServiceAvailable = false;
  EXPECT_EQ(run({}).err, "Invalid arguments.");
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"status"}, {"extract", "x"}, {"extract"}, {"bogus"}}) {
    const RunOutcome r = run(args);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Apple Foundation Models requires macOS 26.0 or later.");
  }
}

TEST_F(AppTest, ExtractSendsOneRequestWithTheExactTexts) {
  writeFile(dir_.file("t.txt"), "\n  You: a/b\nOthers: c  \n");
  model_.setResponse(R"({"topics":[{"topic":"A/1","notes":"B"}],"decisions":[],"actionItems":[{"text":"D"}]})");
  const RunOutcome r = run({"extract", dir_.file("t.txt"), "ja-JP", "--ignored"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, R"({"topics":[{"topic":"A/1","notes":"B"}],"decisions":[],"actionItems":[{"text":"D"}]})");
  ASSERT_EQ(model_.requests().size(), 1u);
  EXPECT_EQ(model_.sessionsOpened(), 1);
  const auto& req = model_.requests()[0];
  EXPECT_EQ(req.instructions, extractInstructions(std::string("ja")));
  EXPECT_EQ(req.prompt, buildPrompt(extractPass(), "You: a/b\nOthers: c", std::string("ja")));
  EXPECT_EQ(req.schema, &Extract::schema());
  EXPECT_DOUBLE_EQ(req.options.temperature, 0.1);
  EXPECT_EQ(req.options.maximumResponseTokens, 1200);
}

TEST_F(AppTest, SynthesizeWithEmptyLanguageUsesTheSameLanguage) {
  writeFile(dir_.file("notes.txt"), "notes");
  model_.setResponse(R"({"title":"T","summary":"S"})");
  const RunOutcome r = run({"synthesize", dir_.file("notes.txt"), ""});
  EXPECT_EQ(r.out, R"({"title":"T","summary":"S"})");
  const auto& req = model_.requests().at(0);
  EXPECT_EQ(req.instructions, synthesizeInstructions(std::nullopt));
  EXPECT_EQ(req.prompt, buildPrompt(synthesizePass(), "notes", std::nullopt));
  EXPECT_DOUBLE_EQ(req.options.temperature, 0.3);
  EXPECT_EQ(req.options.maximumResponseTokens, 500);
  EXPECT_EQ(req.schema, &Overview::schema());
}

TEST_F(AppTest, ModelFailuresAreReportedAsOneLineWithNoReply) {
  writeFile(dir_.file("t.txt"), "x");
  model_.setError("The response was cut off\nat the limit.");
  RunOutcome r = run({"synthesize", dir_.file("t.txt")});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "The response was cut off at the limit.");
  model_.setResponse(R"({"title":"T"})");
  r = run({"synthesize", dir_.file("t.txt")});
  EXPECT_EQ(r.err, "The model's response is not a valid Overview: it has no \"summary\" field.");
  EXPECT_EQ(model_.requests().size(), 2u);  // no retry
}

}  // namespace
}  // namespace tavrin::llm
