// Captured output and a language recognizer with a set answer, for tavrin-apple-speech tests.
#pragma once

#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "apple-speech/language_detection.h"
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

// Answers `answer` for every text and records the texts it was asked about.
class FakeLanguage final : public apple_speech::LanguageRecognizer {
 public:
  explicit FakeLanguage(std::optional<std::pair<std::string, double>> a = std::nullopt) : answer(std::move(a)) {}
  std::optional<std::pair<std::string, double>> dominantLanguage(const std::string& text) override {
    seen.push_back(text);
    return answer;
  }
  std::optional<std::pair<std::string, double>> answer;
  std::vector<std::string> seen;
};

}  // namespace tavrin::testing
