// Exact texts of the instructions, prompts and language clauses, and the
// parameters of both passes.
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
  EXPECT_EQ(languageName("en"), "English");
  EXPECT_EQ(languageName("ja"), "Japanese");
  EXPECT_EQ(languageName("ja-JP"), "Japanese");
  EXPECT_EQ(languageName("ja_JP"), "Japanese");
  EXPECT_EQ(languageName("zh-Hans"), "Chinese");
  EXPECT_EQ(languageName("zh_TW"), "Chinese");
  EXPECT_EQ(languageName("pt_BR"), "Portuguese");
  EXPECT_EQ(languageName("--ja"), "Japanese");   // leading separators make no piece
  EXPECT_EQ(languageName("ja__JP-"), "Japanese");
  // Unknown codes stand whole, subtags included.
  EXPECT_EQ(languageName("qq-ZZ"), "qq-ZZ");
  EXPECT_EQ(languageName("xyzzy_Foo"), "xyzzy_Foo");
  EXPECT_EQ(languageName("-_-"), "-_-");
  EXPECT_EQ(languageName("@x=y"), "@x=y");
}

TEST(LanguageClause, SameLanguageWhenAbsentOrEmpty) {
  EXPECT_EQ(languageClause(std::nullopt), kSame);
  EXPECT_EQ(languageClause(std::string()), kSame);
  EXPECT_EQ(languageClause(std::string("ja")), clauseFor("Japanese"));
  EXPECT_EQ(languageClause(std::string("qq-ZZ")), clauseFor("qq-ZZ"));
}

TEST(Instructions, ExtractionWithoutLanguageIsClauseBodyClause) {
  EXPECT_EQ(extractInstructions(std::nullopt), kSame + " " + kExtractBody + " " + kSame);
  EXPECT_EQ(extractInstructions(std::string()), kSame + " " + kExtractBody + " " + kSame);
  // The body itself: one line, em dash, straight quotes.
  EXPECT_EQ(kExtractBody.find('\n'), std::string::npos);
  EXPECT_NE(kExtractBody.find("what \xE2\x80\x94 never"), std::string::npos);
  EXPECT_NE(kExtractBody.find("(\"You\" = the user, \"Others\")"), std::string::npos);
  EXPECT_TRUE(extractInstructions(std::nullopt).starts_with(kSame + " You are a notes assistant."));
  EXPECT_TRUE(extractInstructions(std::nullopt).ends_with("as stated. " + kSame));
}

TEST(Instructions, SynthesisNamesTheLanguageTwice) {
  EXPECT_EQ(synthesizeInstructions(std::nullopt), kSame + " " + kSynthesizeBody + " " + kSame);
  const std::string ja = clauseFor("Japanese");
  EXPECT_EQ(synthesizeInstructions(std::string("ja")), ja + " " + kSynthesizeBody + " " + ja);
  EXPECT_EQ(synthesizeInstructions(std::string("ja-JP")), synthesizeInstructions(std::string("ja")));
  EXPECT_EQ(synthesizeInstructions(std::string("ja_JP")), synthesizeInstructions(std::string("ja")));
}

TEST(Instructions, EachLanguageFormGivesItsName) {
  struct Case {
    const char* code;
    std::string name;
  };
  for (const Case& c : {Case{"ja", "Japanese"}, Case{"ja-JP", "Japanese"}, Case{"ja_JP", "Japanese"},
                        Case{"zh-Hans", "Chinese"}, Case{"pt_BR", "Portuguese"}, Case{"qq-ZZ", "qq-ZZ"}}) {
    const std::string clause = clauseFor(c.name);
    EXPECT_EQ(extractInstructions(std::string(c.code)), clause + " " + kExtractBody + " " + clause) << c.code;
    EXPECT_EQ(buildPrompt(extractPass(), "T", std::string(c.code)),
              "Extract the notes from this transcript section.\n\nT\n\n" + clause)
        << c.code;
  }
}

TEST(Prompt, HeadInputAndClauseExactly) {
  const std::string input = "You: a / b\n\n  Others: \"c\"";
  EXPECT_EQ(buildPrompt(extractPass(), input, std::nullopt),
            "Extract the notes from this transcript section.\n\n" + input + "\n\n" + kSame);
  EXPECT_EQ(buildPrompt(synthesizePass(), input, std::string()),
            "These are the notes extracted from the conversation, in order. Produce a title and overall "
            "summary.\n\n" +
                input + "\n\n" + kSame);
}

TEST(PassParameters, TemperatureTokenLimitAndRecord) {
  EXPECT_DOUBLE_EQ(extractPass().temperature, 0.1);
  EXPECT_EQ(extractPass().maximumResponseTokens, 1200);
  EXPECT_EQ(extractPass().schema, &Extract::schema());
  EXPECT_DOUBLE_EQ(synthesizePass().temperature, 0.3);
  EXPECT_EQ(synthesizePass().maximumResponseTokens, 500);
  EXPECT_EQ(synthesizePass().schema, &Overview::schema());
}

}  // namespace
}  // namespace tavrin::llm
