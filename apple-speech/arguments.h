// The argument grammar of tavrin-apple-speech: positional arguments after
// the command word, plus the one flag --contextual-strings of transcribe.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavrin::apple_speech {

// The element right after the first element equal to `name`, searching the
// whole list (command and positional arguments included); nothing when the
// name does not occur or is the last element.
std::optional<std::string> flagValue(const std::string& name, const std::vector<std::string>& arguments);

// The value cut at every line feed, empty pieces dropped, the others kept in
// order and unchanged (a carriage return stays in its piece).
std::vector<std::string> splitContextualStrings(const std::optional<std::string>& value);

struct TranscribeArguments {
  std::string path;
  std::optional<std::string> language;
  std::vector<std::string> contextualStrings;
};

// `arguments` starts with the command word "transcribe". Throws
// HelperError::invalidArguments() without a path.
TranscribeArguments parseTranscribeArguments(const std::vector<std::string>& arguments);

}  // namespace tavrin::apple_speech
