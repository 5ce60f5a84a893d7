#include "apple-llm/prompts.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <vector>

namespace tavrin::llm {
namespace {

constexpr std::string_view kExtractBody =
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

constexpr std::string_view kSynthesizeBody =
    "You are a notes assistant. From the ordered notes (topics, decisions, action items) of a whole "
    "conversation, produce: - title: a specific phrase naming the CORE subject actually discussed. "
    "Describe WHAT was discussed, not WHO discussed it; do not use or start with the source's name "
    "or a person's name. - summary: 3-5 sentences on the main substance, weighting the topics "
    "discussed most. Use only what is in the notes; never invent facts. If a detail looks uncertain "
    "or garbled (especially a number or name), do not present it as a confirmed fact — omit it or "
    "keep it qualitative.";

constexpr std::string_view kSameLanguage = "Write the output in the same language as the transcript.";

const PassParameters kExtractPass{"Extract the notes from this transcript section.\n\n", 0.1, 1200, &Extract::schema()};
const PassParameters kSynthesizePass{
    "These are the notes extracted from the conversation, in order. Produce a title and overall summary.\n\n", 0.3, 500,
    &Overview::schema()};

std::string instructions(std::string_view body, const std::optional<std::string>& language) {
  const std::string clause = languageClause(language);
  std::string text = clause;
  text += ' ';
  text += body;
  text += ' ';
  text += clause;
  return text;
}

}  // namespace

const PassParameters& extractPass() {
  return kExtractPass;
}
const PassParameters& synthesizePass() {
  return kSynthesizePass;
}

std::string languageName(std::string_view code) {
  std::vector<std::string> pieces;
  std::string piece;
  for (char c : code) {
    if (c == '-' || c == '_') {
      if (!piece.empty()) pieces.push_back(std::move(piece));
      piece.clear();
    } else {
      piece += c;
    }
  }
  if (!piece.empty()) pieces.push_back(std::move(piece));
  const std::string base = pieces.empty() ? std::string(code) : pieces.front();

  // ICU answers an unknown language with the code itself; only a real name
  // (different from what was asked) counts. A language subtag is ASCII
  // letters (and digits): anything else, locale syntax ("@", "=") or any
  // non-ASCII byte, names no language, and ICU would canonicalize it into
  // something else than what was passed.
  const bool plainSubtag = std::all_of(base.begin(), base.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  });
  if (plainSubtag && !base.empty()) {
    const icu::Locale locale(base.c_str());
    if (!locale.isBogus() && std::string_view(locale.getLanguage()) != "") {
      icu::UnicodeString name;
      locale.getDisplayLanguage(icu::Locale("en"), name);
      std::string utf8;
      name.toUTF8String(utf8);
      const std::string asked = locale.getLanguage();
      if (!utf8.empty() && utf8 != asked && utf8 != base) return utf8;
    }
  }
  return std::string(code);
}

std::string languageClause(const std::optional<std::string>& language) {
  if (!language || language->empty()) return std::string(kSameLanguage);
  std::string clause = "IMPORTANT: Write EVERY field of the output \u2014 every label, note, and ";
  clause += "sentence \u2014 in ";
  clause += languageName(*language);
  clause += ". Do not output any English (or any other ";
  clause += "language); translate if the source is in another language.";
  return clause;
}

std::string extractInstructions(const std::optional<std::string>& language) {
  return instructions(kExtractBody, language);
}

std::string synthesizeInstructions(const std::optional<std::string>& language) {
  return instructions(kSynthesizeBody, language);
}

std::string buildPrompt(const PassParameters& pass, std::string_view input,
                        const std::optional<std::string>& language) {
  std::string prompt(pass.promptHead);
  prompt += input;
  prompt += "\n\n";
  prompt += languageClause(language);
  return prompt;
}

}  // namespace tavrin::llm
