// Standard output of tavrin-apple-speech, shared by the command's own flow
// and the results consumer of transcribe. Every call writes its bytes whole
// and under one lock, so two lines never mix.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "common/json.h"

namespace tavrin::apple_speech {

class SpeechOutput {
 public:
  virtual ~SpeechOutput() = default;
  // Writes `bytes` in full; 0 or the errno of the failed write.
  virtual int write(std::string_view bytes) = 0;
};

// Standard output (file descriptor 1).
class StandardOutput final : public SpeechOutput {
 public:
  int write(std::string_view bytes) override;

 private:
  std::mutex mutex_;
};

// Writes one encoded document and its line feed as one write. A failed write
// throws PlatformError with the system's description: a reply that did not
// reach the reader is a failure, never a success.
void printJSON(SpeechOutput& out, const std::string& document);

// The encoder of this program: compact, "/" written plain.
inline JsonBuilder jsonBuilder() {
  return JsonBuilder(SlashStyle::kPlain);
}

}  // namespace tavrin::apple_speech
