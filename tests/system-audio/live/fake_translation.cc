#include "tests/system-audio/live/fake_translation.h"

namespace tavrin::testing {

using system_audio::TranslationAvailability;

class FakeTranslator final : public system_audio::Translator {
 public:
  FakeTranslator(FakeTranslationService& service, std::string to) : service_(service), to_(std::move(to)) {}
  std::string translate(const std::string& text) override { return service_.answer(to_, text); }

 private:
  FakeTranslationService& service_;
  std::string to_;
};

TranslationAvailability FakeTranslationService::status(const std::optional<std::string>& from,
                                                       const std::optional<std::string>& to) {
  std::lock_guard lock(mutex_);
  ++statusQueries_;
  auto it = statuses_.find({from.value_or(""), to.value_or("")});
  return it == statuses_.end() ? TranslationAvailability::kUnsupported : it->second;
}

std::unique_ptr<system_audio::Translator> FakeTranslationService::open(const std::string& from,
                                                                       const std::string& to) {
  std::lock_guard lock(mutex_);
  opened_.emplace_back(from, to);
  return std::make_unique<FakeTranslator>(*this, to);
}

std::string FakeTranslationService::answer(const std::string& to, const std::string& text) {
  std::lock_guard lock(mutex_);
  translated_.push_back(text);
  if (auto f = failures_.find(text); f != failures_.end()) throw system_audio::TranslationError(f->second);
  if (auto t = translations_.find(text); t != translations_.end()) return t->second;
  return to + ":" + text;
}

int FakeTranslationService::statusQueries() const {
  std::lock_guard lock(mutex_);
  return statusQueries_;
}
std::vector<FakeTranslationService::Pair> FakeTranslationService::opened() const {
  std::lock_guard lock(mutex_);
  return opened_;
}
std::vector<std::string> FakeTranslationService::translated() const {
  std::lock_guard lock(mutex_);
  return translated_;
}

}  // namespace tavrin::testing
