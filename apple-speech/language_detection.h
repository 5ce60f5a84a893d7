// Text helpers of transcribe: character counting and language detection of
// the final transcript.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tavrin::apple_speech {

// User-perceived characters (extended grapheme clusters) in UTF-8 text.
size_t characterCount(std::string_view text);

// The most likely language of a text and its probability (0…1).
class LanguageRecognizer {
 public:
  virtual ~LanguageRecognizer() = default;
  virtual std::optional<std::pair<std::string, double>> dominantLanguage(const std::string& text) = 0;
};

// CLD2, with identifiers in the usual form (en, ja, zh-Hans, zh-Hant, he).
class Cld2LanguageRecognizer final : public LanguageRecognizer {
 public:
  std::optional<std::pair<std::string, double>> dominantLanguage(const std::string& text) override;
};

// Trims the text; below 8 characters there is no language; otherwise the
// recognizer's answer.
std::optional<std::pair<std::string, double>> detectLanguage(const std::string& text, LanguageRecognizer& recognizer);

}  // namespace tavrin::apple_speech
