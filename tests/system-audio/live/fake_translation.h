// A scripted translation service for tests: availability per pair, and
// translators that answer from a table, fail on chosen lines, and record
// what they were asked.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "system-audio/live/translation.h"

namespace tavrin::testing {

class FakeTranslationService final : public system_audio::TranslationService {
 public:
  using Pair = std::pair<std::string, std::string>;

  void setStatus(const std::string& from, const std::string& to, system_audio::TranslationAvailability a) {
    std::lock_guard lock(mutex_);
    statuses_[{from, to}] = a;
  }
  // translate(text) answers translations[text], or "<to>:" + text.
  void setTranslation(const std::string& text, const std::string& translation) {
    std::lock_guard lock(mutex_);
    translations_[text] = translation;
  }
  // translate(text) throws TranslationError(description).
  void failOn(const std::string& text, const std::string& description) {
    std::lock_guard lock(mutex_);
    failures_[text] = description;
  }

  system_audio::TranslationAvailability status(const std::optional<std::string>& from,
                                               const std::optional<std::string>& to) override;
  std::unique_ptr<system_audio::Translator> open(const std::string& from, const std::string& to) override;

  int statusQueries() const;
  std::vector<Pair> opened() const;
  std::vector<std::string> translated() const;  // every text asked, in order

 private:
  friend class FakeTranslator;
  std::string answer(const std::string& to, const std::string& text);

  mutable std::mutex mutex_;
  std::map<Pair, system_audio::TranslationAvailability> statuses_;
  std::map<std::string, std::string> translations_;
  std::map<std::string, std::string> failures_;
  int statusQueries_ = 0;
  std::vector<Pair> opened_;
  std::vector<std::string> translated_;
};

}  // namespace tavrin::testing
