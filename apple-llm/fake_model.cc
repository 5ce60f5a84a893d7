#include "apple-llm/fake_model.h"

namespace tavrin::llm {

class FakeSession : public LanguageModelSession {
 public:
  FakeSession(FakeLanguageModel& model, std::string instructions)
      : model_(model), instructions_(std::move(instructions)) {}

  std::string respond(const std::string& prompt, const RecordSchema& schema,
                      const GenerationOptions& options) override {
    model_.requests_.push_back({instructions_, prompt, &schema, options});
    if (model_.error_) throw ModelError(*model_.error_);
    return model_.response_;
  }

 private:
  FakeLanguageModel& model_;
  std::string instructions_;
};

std::unique_ptr<LanguageModelSession> FakeLanguageModel::openSession(const std::string& instructions) {
  ++sessionsOpened_;
  return std::make_unique<FakeSession>(*this, instructions);
}

}  // namespace tavrin::llm
