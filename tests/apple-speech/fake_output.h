// Captured standard output / error for tests of tavrin-apple-speech.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "apple-speech/speech_output.h"

namespace tavrin::testing {

class FakeOutput final : public apple_speech::SpeechOutput {
 public:
  int write(std::string_view bytes) override {
    std::lock_guard lock(mutex_);
    if (failWith_ != 0) return failWith_;
    text_.append(bytes);
    ++writes_;
    return 0;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    text_.clear();
  }
  void failWith(int error) {
    std::lock_guard lock(mutex_);
    failWith_ = error;
  }
  std::string text() const {
    std::lock_guard lock(mutex_);
    return text_;
  }
  // The text cut at line feeds (a last piece without one is kept).
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    const std::string t = text();
    size_t start = 0;
    while (start < t.size()) {
      const size_t nl = t.find('\n', start);
      if (nl == std::string::npos) {
        out.push_back(t.substr(start));
        break;
      }
      out.push_back(t.substr(start, nl - start));
      start = nl + 1;
    }
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
  int writes_ = 0;
  int failWith_ = 0;
};

}  // namespace tavrin::testing
