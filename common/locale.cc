#include "common/locale.h"

#include <algorithm>
#include <cstdlib>

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

}  // namespace tavrin
