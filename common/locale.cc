#include "common/locale.h"

#include <unicode/locid.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <utility>

namespace tavrin {

std::string currentLocaleIdentifier() {
  std::string value;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(name);
    if (v != nullptr && *v != '\0') {
      value = v;
      break;
    }
  }
  value = value.substr(0, value.find_first_of(".@"));
  if (value.empty() || value == "C" || value == "POSIX") return "en_US";
  return value;
}

std::string requestedLocale(const std::optional<std::string>& language, std::string_view currentIdentifier) {
  if (!language || language->empty()) return std::string(currentIdentifier);
  std::string identifier = *language;
  std::replace(identifier.begin(), identifier.end(), '-', '_');
  return identifier;
}

LocaleParts localeParts(const std::string& identifier) {
  if (identifier.empty() || identifier.size() > 100) return {};
  char canonical[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_canonicalize(identifier.c_str(), canonical, sizeof canonical, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return {};
  char language[ULOC_LANG_CAPACITY] = {};
  status = U_ZERO_ERROR;
  uloc_getLanguage(canonical, language, sizeof language, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return {};
  char region[ULOC_COUNTRY_CAPACITY] = {};
  status = U_ZERO_ERROR;
  uloc_getCountry(canonical, region, sizeof region, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) region[0] = '\0';
  LocaleParts parts{language, region};
  for (char& c : parts.language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // Codes desktops still use for languages the engines know by another:
  // Bokmål as Norwegian, Filipino as Tagalog, and ISO 639's withdrawn codes
  // for Hebrew, Indonesian and Yiddish.
  static constexpr std::pair<std::string_view, std::string_view> kAliases[] = {
      {"nb", "no"}, {"fil", "tl"}, {"iw", "he"}, {"in", "id"}, {"ji", "yi"}};
  for (const auto& [alias, code] : kAliases) {
    if (parts.language == alias) parts.language = code;
  }
  return parts;
}

std::optional<std::string> languageCode(const std::string& identifier) {
  // ICU accepts both "-" and "_" as separators and maps ISO 639-3 codes that
  // have a two-letter form to it ("deu" → "de"); "und" has no language.
  icu::Locale locale(identifier.c_str());
  if (locale.isBogus()) return std::nullopt;
  std::string code = locale.getLanguage();
  if (code.empty()) return std::nullopt;
  return code;
}

}  // namespace tavrin
