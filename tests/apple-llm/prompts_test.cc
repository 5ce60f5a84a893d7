// Exact texts of the instructions, prompts and language clauses.
#include "apple-llm/prompts.h"

#include <gtest/gtest.h>

namespace tavrin::llm {
namespace {

const std::string kSame = "Write the output in the same language as the transcript.";

std::string clauseFor(const std::string& name) {
  return "IMPORTANT: Write EVERY field of the output \xE2\x80\x94 every label, note, and sentence \xE2\x80\x94 in " + name +
         ". Do not output any English (or any other language); translate if the source is in another language.";
}

const std::string kExtractBody =
    "You are a notes assistant. Extract structured notes from ONE section of a longer transcript: "
    "the substantive topics with their concrete points (facts, figures, names, dates, opinions, "
    "reasoning), plus any decisions and action items. Lines are prefixed with a speaker label "
    "(\"You\" = the user, \"Others\"). Prefer fewer, denser topics over many vague ones. Summarize "
    "in your own words; never use a bare speaker label as a topic. Do not copy long lines verbatim, "
    "but you may keep short exact phrases for names, numbers, or terms when accuracy needs it. "
    "Ignore intros, outros, greetings, self-introductions, the source's name, jingles, sponsor "
    "reads, and social-media plugs; if a section is only these, return no topics. The transcript "
    "comes from automatic speech recognition and may contain errors. Handle words and numbers "
    "differently: - Words (homophones, names, terms): you MAY silently fix an obvious "
    "mis-transcription, but ONLY when the surrounding context makes the intended word unambiguous. - "
    "Numbers: never reconstruct or guess a figure. If a number is garbled, implausible, or "
    "inconsistent with its context, omit it or describe it qualitatively (e.g. \"a large increase\") "
    "instead of stating a precise value you are unsure of. Stay faithful: report only what is "
    "actually said; do not invent events or conclusions. Do not confuse who said what — never "
    "attribute one person's statements to another. Keep buyer/seller, purchase/sale, before/after, "
    "increase/decrease, and cause/effect distinctions as stated.";

const std::string kSynthesizeBody =
    "You are a notes assistant. From the ordered notes (topics, decisions, action items) of a whole "
    "conversation, produce: - title: a specific phrase naming the CORE subject actually discussed. "
    "Describe WHAT was discussed, not WHO discussed it; do not use or start with the source's name "
    "or a person's name. - summary: 3-5 sentences on the main substance, weighting the topics "
    "discussed most. Use only what is in the notes; never invent facts. If a detail looks uncertain "
    "or garbled (especially a number or name), do not present it as a confirmed fact — omit it or "
    "keep it qualitative.";

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
                        Case{"@x=y", "@x=y"}}) {
    EXPECT_EQ(languageName(c.code), c.name) << c.code;
  }
}

// Clause, body, clause in the instructions; head, input, two line feeds and
// the clause in the prompt; an absent or empty language asks for the
// transcript's own.
TEST(Instructions, ClauseBodyClauseAndPromptForEveryLanguageForm) {
  struct Case {
    std::optional<std::string> language;
    std::string clause;
  };
  const std::string input = "You: a / b\n\n  Others: \"c\"";
  for (const Case& c : {Case{std::nullopt, kSame}, Case{"", kSame}, Case{"ja", clauseFor("Japanese")},
                        Case{"ja-JP", clauseFor("Japanese")}, Case{"qq-ZZ", clauseFor("qq-ZZ")}}) {
    EXPECT_EQ(languageClause(c.language), c.clause);
    EXPECT_EQ(extractInstructions(c.language), c.clause + " " + kExtractBody + " " + c.clause);
    EXPECT_EQ(synthesizeInstructions(c.language), c.clause + " " + kSynthesizeBody + " " + c.clause);
    EXPECT_EQ(buildPrompt(extractPass(), input, c.language),
              "Extract the notes from this transcript section.\n\n" + input + "\n\n" + c.clause);
    EXPECT_EQ(buildPrompt(synthesizePass(), input, c.language),
              "These are the notes extracted from the conversation, in order. Produce a title and overall "
              "summary.\n\n" + input + "\n\n" + c.clause);
  }
}

}  // namespace
}  // namespace tavrin::llm
