// Translation of finished subtitle lines, and the availability of a language
// pair on this machine.
//
// TranslationService answers availability questions and opens translators;
// ApertiumTranslationService (apertium.h) is the real one, tests use
// FakeTranslationService (tests/system-audio/live). Both sides speak in language codes
// as ICU gives them ("en", "de", "ast"); languageCode() turns a locale
// identifier or a language argument into one.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace tavrin::system_audio {

// A translation that failed; what() is the description shown to the user.
class TranslationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The availability of a language pair, as the service reports it.
enum class TranslationAvailability {
  kInstalled,    // translation can run now
  kSupported,    // the pair exists but its data is not installed here
  kUnsupported,  // no such pair
};

// "installed", "needsDownload" or "unsupported"; any value outside the
// enumeration is "unsupported".
const char* translationStatusName(TranslationAvailability availability);

// The language code of a locale identifier or language argument ("en_US",
// "pt-BR", "deu" give "en", "pt", "de"); absent when the identifier names no
// language ("", "_US", "und").
std::optional<std::string> languageCode(const std::string& identifier);

// Whether two optional language codes name the same language: both absent,
// or both present and equal.
bool sameLanguage(const std::optional<std::string>& a, const std::optional<std::string>& b);

// One open translation direction. translate() is called from one thread at a
// time (the results task of one channel).
class Translator {
 public:
  virtual ~Translator() = default;
  // The translation of `text`. Throws TranslationError.
  virtual std::string translate(const std::string& text) = 0;
};

class TranslationService {
 public:
  virtual ~TranslationService() = default;
  // Availability of translation from `source` to `target` (language codes,
  // either may be absent, which no pair supports).
  virtual TranslationAvailability status(const std::optional<std::string>& source,
                                         const std::optional<std::string>& target) = 0;
  // A translator for an installed pair. Throws TranslationError.
  virtual std::unique_ptr<Translator> open(const std::string& source, const std::string& target) = 0;
};

}  // namespace tavrin::system_audio
