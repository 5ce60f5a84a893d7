#include "apple-speech/speech_output.h"

#include "apple-speech/helper_error.h"
#include "common/output.h"

namespace tavrin::apple_speech {

int StandardOutput::write(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  return writeAll(1, bytes);
}

void printJSON(SpeechOutput& out, const std::string& document) {
  std::string line;
  line.reserve(document.size() + 1);
  line.append(document);
  line.push_back('\n');
  if (const int error = out.write(line); error != 0) throw PlatformError(errnoDescription(error));
}

}  // namespace tavrin::apple_speech
