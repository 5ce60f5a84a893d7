// The instructions' frame, the prompts and the language clauses.
#include "apple-llm/prompts.h"

#include <gtest/gtest.h>

namespace tavrin::llm {
namespace {

const std::string kSame = "Write the output in the same language as the transcript.";

std::string clauseFor(const std::string& name) {
  return "IMPORTANT: Write EVERY field of the output \xE2\x80\x94 every label, note, and sentence \xE2\x80\x94 in " +
         name + ". Do not output any English (or any other language); translate if the source is in another language.";
}

TEST(LanguageName, BaseLanguageInEnglishWithSplittingAndFallback) {
  struct Case {
    const char* code;
    const char* name;
  };
  for (const Case& c : {Case{"en", "English"}, Case{"ja", "Japanese"}, Case{"ja-JP", "Japanese"},
                        Case{"ja_JP", "Japanese"}, Case{"zh-Hans", "Chinese"}, Case{"zh_TW", "Chinese"},
                        Case{"pt_BR", "Portuguese"}, Case{"--ja", "Japanese"}, Case{"ja__JP-", "Japanese"},
                        // Unknown codes stand whole, subtags included.
                        Case{"qq-ZZ", "qq-ZZ"}, Case{"xyzzy_Foo", "xyzzy_Foo"}, Case{"-_-", "-_-"},
                        Case{"@x=y", "@x=y"}, Case{"日本語", "日本語"}, Case{"ü-DE", "ü-DE"}}) {
    EXPECT_EQ(languageName(c.code), c.name) << c.code;
  }
}

// Instructions are clause, body, clause; prompts head, input, clause; no language: the transcript's.
TEST(Instructions, ClauseBodyClauseAndPromptForEveryLanguageForm) {
  struct Case {
    std::optional<std::string> language;
    std::string clause;
  };
  const std::string input = "You: a / b\n\n  Others: \"c\"";
  const auto body = [](const std::string& instructions, const std::string& clause) {
    const bool framed = instructions.size() > 2 * clause.size() + 2 && instructions.rfind(clause + " ", 0) == 0 &&
                        instructions.substr(instructions.size() - clause.size() - 1) == " " + clause;
    return framed ? instructions.substr(clause.size() + 1, instructions.size() - 2 * clause.size() - 2) : "";
  };
  const std::string extractBody = body(extractInstructions(std::nullopt), kSame);
  const std::string synthesizeBody = body(synthesizeInstructions(std::nullopt), kSame);
  EXPECT_EQ(extractBody.rfind("You are a notes assistant. Extract structured notes from ONE section", 0), 0u);
  EXPECT_EQ(synthesizeBody.rfind("You are a notes assistant. From the ordered notes", 0), 0u);
  for (const Case& c : {Case{std::nullopt, kSame}, Case{"", kSame}, Case{"ja", clauseFor("Japanese")},
                        Case{"ja-JP", clauseFor("Japanese")}, Case{"qq-ZZ", clauseFor("qq-ZZ")}}) {
    EXPECT_EQ(languageClause(c.language), c.clause);
    EXPECT_EQ(body(extractInstructions(c.language), c.clause), extractBody);
    EXPECT_EQ(body(synthesizeInstructions(c.language), c.clause), synthesizeBody);
    EXPECT_EQ(buildPrompt(extractPass(), input, c.language),
              "Extract the notes from this transcript section.\n\n" + input + "\n\n" + c.clause);
    EXPECT_EQ(buildPrompt(synthesizePass(), input, c.language),
              "These are the notes extracted from the conversation, in order. Produce a title and overall "
              "summary.\n\n" +
                  input + "\n\n" + c.clause);
  }
}

}  // namespace
}  // namespace tavrin::llm
