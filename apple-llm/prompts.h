// The texts each generation pass sends to the model: standing instructions,
// prompt and the language clause, plus the pass's generation options.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "apple-llm/records.h"

namespace tavrin::llm {

// What one pass asks of the model: the record it must produce and the
// sampling limits. The sampling mode is left at the model's default.
struct PassParameters {
  std::string_view promptHead;  // ends in two line feeds
  double temperature;
  int maximumResponseTokens;
  const RecordSchema* schema;
};

const PassParameters& extractPass();
const PassParameters& synthesizePass();

// English name of the base language of `code` ("pt_BR" gives "Portuguese");
// the whole code when the locale data has no name for it. `code` is not
// empty.
std::string languageName(std::string_view code);

// The sentence that fixes the output language; an absent or empty language
// asks for the transcript's own language.
std::string languageClause(const std::optional<std::string>& language);

// Clause, body, clause, joined by single spaces.
std::string extractInstructions(const std::optional<std::string>& language);
std::string synthesizeInstructions(const std::optional<std::string>& language);

// The pass's head, the input exactly as given, two line feeds, the clause.
std::string buildPrompt(const PassParameters& pass, std::string_view input, const std::optional<std::string>& language);

}  // namespace tavrin::llm
