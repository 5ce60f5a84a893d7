// A LanguageModel for tests: always available; records every session's
// requests and answers each with a set text or fails it with a set error.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "apple-llm/model.h"

namespace tavrin::llm {

class FakeLanguageModel final : public LanguageModel {
 public:
  struct Request {
    std::string instructions, prompt;
    const RecordSchema* schema;
    GenerationOptions options;
  };

  ModelAvailability availability() override { return ModelAvailability::ready(); }
  std::unique_ptr<LanguageModelSession> openSession(const std::string& instructions) override {
    ++sessionsOpened;
    return std::make_unique<Session>(*this, instructions);
  }
  void setResponse(std::string json) { response_ = std::move(json), error_.reset(); }
  void setError(std::string message) { error_ = std::move(message); }

  int sessionsOpened = 0;
  std::vector<Request> requests;

 private:
  class Session final : public LanguageModelSession {
   public:
    Session(FakeLanguageModel& model, std::string instructions) : model_(model), instructions_(instructions) {}
    std::string respond(const std::string& prompt, const RecordSchema& schema,
                        const GenerationOptions& options) override {
      model_.requests.push_back({instructions_, prompt, &schema, options});
      if (model_.error_) throw ModelError(*model_.error_);
      return model_.response_;
    }

   private:
    FakeLanguageModel& model_;
    const std::string instructions_;
  };

  std::string response_ = "{}";
  std::optional<std::string> error_;
};

}  // namespace tavrin::llm
