// Locale identifiers from language arguments and from the process's locale
// environment.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavrin {

// The identifier of the user's current locale, read from the POSIX locale
// environment (LC_ALL, then LC_MESSAGES, then LANG; the first one set and
// non-empty wins). The codeset and modifier are dropped ("de_AT.UTF-8@euro"
// gives "de_AT"); an unset, "C" or "POSIX" locale gives "en_US".
std::string currentLocaleIdentifier();

// The locale a language argument asks for: absent or empty means
// `currentIdentifier`; otherwise the argument with every "-" turned into "_"
// ("en-US" asks for "en_US"). Nothing else is changed.
std::string requestedLocale(const std::optional<std::string>& language, std::string_view currentIdentifier);

// Same, with the process's current locale.
inline std::string requestedLocale(const std::optional<std::string>& language) {
  return requestedLocale(language, currentLocaleIdentifier());
}

// Language (lower case) and region (upper case) of a locale identifier,
// written with either separator and in any case, as ICU reads it after
// canonicalisation ("EN-gb" gives en and GB); both empty when ICU cannot
// read it (or it is over 100 bytes), the region empty when it has none.
// A language with two codes gets the one the engines use: nb gives no, fil
// tl, and the withdrawn iw, in and ji give he, id and yi.
struct LocaleParts {
  std::string language;
  std::string region;
};
LocaleParts localeParts(const std::string& identifier);

// The language code of a locale identifier or language argument ("en_US",
// "pt-BR", "deu" give "en", "pt", "de"), as ICU reads it without replacing
// aliases (nb stays nb, which Apertium names its pairs by; localeParts
// gives no); absent when the identifier names no language ("", "_US",
// "und").
std::optional<std::string> languageCode(const std::string& identifier);

}  // namespace tavrin
