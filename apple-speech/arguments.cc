#include "apple-speech/arguments.h"

#include "apple-speech/helper_error.h"

namespace tavrin::apple_speech {

std::optional<std::string> flagValue(const std::string& name, const std::vector<std::string>& arguments) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == name) {
      if (i + 1 < arguments.size()) return arguments[i + 1];
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::vector<std::string> splitContextualStrings(const std::optional<std::string>& value) {
  std::vector<std::string> pieces;
  if (!value) return pieces;
  size_t start = 0;
  while (start <= value->size()) {
    const size_t end = std::min(value->find('\n', start), value->size());
    if (end > start) pieces.push_back(value->substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

TranscribeArguments parseTranscribeArguments(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2) throw HelperError::invalidArguments();
  TranscribeArguments parsed;
  parsed.path = arguments[1];
  if (arguments.size() >= 3 && arguments[2].rfind("--", 0) != 0) parsed.language = arguments[2];
  parsed.contextualStrings = splitContextualStrings(flagValue("--contextual-strings", arguments));
  return parsed;
}

}  // namespace tavrin::apple_speech
