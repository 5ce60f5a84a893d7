// A scripted LanguageModel for tests: reports a set availability, records
// every session and request, and answers with a set text or error.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "apple-llm/model.h"

namespace tavrin::llm {

class FakeLanguageModel : public LanguageModel {
 public:
  struct Request {
    std::string instructions;
    std::string prompt;
    const RecordSchema* schema = nullptr;
    GenerationOptions options;
  };

  ModelAvailability availability() override { return availability_; }
  std::unique_ptr<LanguageModelSession> openSession(const std::string& instructions) override;

  void setAvailability(ModelAvailability a) { availability_ = a; }
  // The JSON text every request answers with.
  void setResponse(std::string json) {
    response_ = std::move(json);
    error_.reset();
  }
  // Every request fails with a ModelError carrying this text.
  void setError(std::string message) { error_ = std::move(message); }

  int sessionsOpened() const { return sessionsOpened_; }
  const std::vector<Request>& requests() const { return requests_; }

 private:
  friend class FakeSession;
  ModelAvailability availability_ = ModelAvailability::ready();
  std::string response_ = "{}";
  std::optional<std::string> error_;
  int sessionsOpened_ = 0;
  std::vector<Request> requests_;
};

}  // namespace tavrin::llm
