// Captured standard output / error for tests of tavrin-apple-speech.
#pragma once

#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "apple-speech/speech_output.h"

namespace tavrin::testing {

class FakeOutput final : public apple_speech::SpeechOutput {
 public:
  int write(std::string_view bytes) override {
    std::lock_guard lock(mutex_);
    if (failWith == 0) text_.append(bytes);
    return failWith;
  }
  std::string text() const {
    std::lock_guard lock(mutex_);
    return text_;
  }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  int failWith = 0;  // set before use: every write fails with this errno

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

}  // namespace tavrin::testing
