// Translation of finished subtitle lines, and the availability of a language
// pair on this machine.
//
// TranslationService answers availability questions and opens translators
// of text; ApertiumTranslationService (apertium.h) is the real one, tests use
// FakeTranslationService (tests/system-audio/live). Both sides speak in language codes
// as ICU gives them ("en", "de", "ast"); languageCode() (common/locale.h)
// turns a locale identifier or a language argument into one.
//
// A line can also be translated from its sound: a speech engine that
// translates into English (a multilingual Whisper model) gives each final
// line's English, which is the translation when the target is English and
// goes on through the text service's English pair otherwise
// (planTranslation() decides).
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "speech-service/speech_service.h"

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

// One open translation direction. translate() is called from one thread at a
// time (the results task of one channel).
class Translator {
 public:
  virtual ~Translator() = default;
  // Whether translate() takes the speech engine's English of a line (the
  // final result's `english`) rather than the line's text.
  virtual bool fromSpokenEnglish() const { return false; }
  // The translation of `text`. Throws TranslationError.
  virtual std::string translate(const std::string& text) = 0;
};

// Takes the speech engine's English of a line; `onward`, when given,
// translates it from English to the target, otherwise it is the
// translation.
class SpokenEnglishTranslator final : public Translator {
 public:
  explicit SpokenEnglishTranslator(std::unique_ptr<Translator> onward) : onward_(std::move(onward)) {}
  bool fromSpokenEnglish() const override { return true; }
  std::string translate(const std::string& english) override { return onward_ ? onward_->translate(english) : english; }

 private:
  std::unique_ptr<Translator> onward_;
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

// How lines of one language pair are translated here.
struct TranslationPlan {
  TranslationAvailability availability = TranslationAvailability::kUnsupported;
  // The speech engine's English first (then the text service's pair from
  // English, unless the target is English); otherwise the text service's
  // pair from the source.
  bool throughSpeech = false;
};

// The plan for `source` to `target` (language codes, not the same
// language), given whether the speech engine of the source locale
// translates into English (SpeechService::englishTranslation()). The text
// service's own pair wins when it is installed; otherwise the route with
// the better availability: through the speech engine's English, which
// needs both the engine and, for another target, the text pair from
// English, or the text pair itself.
TranslationPlan planTranslation(const std::optional<std::string>& source, const std::optional<std::string>& target,
                                speech::AssetStatus spokenEnglish, TranslationService& service);

}  // namespace tavrin::system_audio
