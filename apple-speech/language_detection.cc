#include "apple-speech/language_detection.h"

#include <cld2/public/compact_lang_det.h>
#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <algorithm>
#include <memory>

#include "common/json.h"
#include "common/text.h"

namespace tavrin::apple_speech {
namespace {

struct BreakIteratorDeleter {
  void operator()(UBreakIterator* it) const { ubrk_close(it); }
};
struct TextDeleter {
  void operator()(UText* t) const { utext_close(t); }
};

}  // namespace

size_t characterCount(std::string_view text) {
  if (text.empty()) return 0;
  const std::string valid = sanitizeUtf8(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, TextDeleter> utext(
      utext_openUTF8(nullptr, valid.data(), static_cast<int64_t>(valid.size()), &status));
  if (U_FAILURE(status)) return valid.size();
  std::unique_ptr<UBreakIterator, BreakIteratorDeleter> it(ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
  if (U_FAILURE(status)) return valid.size();
  ubrk_setUText(it.get(), utext.get(), &status);
  if (U_FAILURE(status)) return valid.size();
  size_t count = 0;
  ubrk_first(it.get());
  while (ubrk_next(it.get()) != UBRK_DONE) ++count;
  return count;
}

std::optional<std::pair<std::string, double>> Cld2LanguageRecognizer::dominantLanguage(const std::string& text) {
  const std::string valid = sanitizeUtf8(text);
  CLD2::Language languages[3];
  int percents[3] = {};
  int textBytes = 0;
  bool reliable = false;
  const CLD2::Language top = CLD2::DetectLanguageSummary(valid.data(), static_cast<int>(valid.size()), true, languages,
                                                         percents, &textBytes, &reliable);
  if (top == CLD2::UNKNOWN_LANGUAGE) return std::nullopt;
  std::string code = CLD2::LanguageCode(top);
  if (code == "zh") code = "zh-Hans";
  if (code == "iw") code = "he";
  double confidence = 0;
  for (int i = 0; i < 3; ++i) {
    if (languages[i] == top) confidence = percents[i] / 100.0;
  }
  // With no letters to go on CLD2 still names a language, with no share of
  // the text behind it.
  if (confidence <= 0) return std::nullopt;
  return std::make_pair(code, confidence);
}

std::optional<std::pair<std::string, double>> detectLanguage(const std::string& text, LanguageRecognizer& recognizer) {
  const std::string trimmed(trimUnicodeSpace(sanitizeUtf8(text)));
  if (characterCount(trimmed) < 8) return std::nullopt;
  return recognizer.dominantLanguage(trimmed);
}

}  // namespace tavrin::apple_speech
