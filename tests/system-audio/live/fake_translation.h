// A scripted translation service for tests: availability per pair, and
// translators that answer "<to>:<text>" (or a set translation), fail on
// chosen lines, and record what they were asked.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "system-audio/live/translation.h"

namespace tavrin::testing {

class FakeTranslationService final : public system_audio::TranslationService {
 public:
  using Pair = std::pair<std::string, std::string>;

  void setStatus(const std::string& from, const std::string& to, system_audio::TranslationAvailability a) {
    statuses_[{from, to}] = a;
  }
  void setTranslation(const std::string& text, const std::string& translation) { translations_[text] = translation; }
  // translate(text) throws TranslationError(description).
  void failOn(const std::string& text, const std::string& description) { failures_[text] = description; }

  system_audio::TranslationAvailability status(const std::optional<std::string>& from,
                                               const std::optional<std::string>& to) override {
    std::lock_guard lock(mutex_);
    ++statusQueries_;
    const auto it = statuses_.find({from.value_or(""), to.value_or("")});
    return it == statuses_.end() ? system_audio::TranslationAvailability::kUnsupported : it->second;
  }
  std::unique_ptr<system_audio::Translator> open(const std::string& from, const std::string& to) override {
    std::lock_guard lock(mutex_);
    opened_.emplace_back(from, to);
    return std::make_unique<Translator>(*this, to);
  }

  int statusQueries() const { return statusQueries_; }
  std::vector<Pair> opened() const { return opened_; }
  std::vector<std::string> translated() const { return translated_; }  // every text asked, in order

 private:
  class Translator final : public system_audio::Translator {
   public:
    Translator(FakeTranslationService& service, std::string to) : service_(service), to_(std::move(to)) {}
    std::string translate(const std::string& text) override {
      std::lock_guard lock(service_.mutex_);
      service_.translated_.push_back(text);
      if (auto f = service_.failures_.find(text); f != service_.failures_.end()) {
        throw system_audio::TranslationError(f->second);
      }
      const auto t = service_.translations_.find(text);
      return t != service_.translations_.end() ? t->second : to_ + ":" + text;
    }

   private:
    FakeTranslationService& service_;
    std::string to_;
  };

  std::mutex mutex_;  // channels translate on their own threads
  std::map<Pair, system_audio::TranslationAvailability> statuses_;
  std::map<std::string, std::string> translations_, failures_;
  int statusQueries_ = 0;
  std::vector<Pair> opened_;
  std::vector<std::string> translated_;
};

}  // namespace tavrin::testing
