// The on-device language model as the notes passes see it.
//
// A model answers whether it can be used now and opens sessions; a session
// carries standing instructions and answers one prompt with one complete
// value of a record schema, as JSON text. The real model is llama.cpp
// running a locally installed GGUF file (llama_model.h); FakeLanguageModel
// (tests/apple-llm/fake_model.h) stands in for it in tests.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "apple-llm/records.h"

namespace tavrin::llm {

// Why the model cannot be used. kOther covers every reason the program has
// no sentence of its own for.
enum class UnavailableReason {
  kDeviceNotEligible,
  kAppleIntelligenceNotEnabled,
  kModelNotReady,
  kOther,
};

struct ModelAvailability {
  bool available = false;
  UnavailableReason reason = UnavailableReason::kOther;  // meaningful when !available

  static ModelAvailability ready() { return {true, UnavailableReason::kOther}; }
  static ModelAvailability unavailable(UnavailableReason r) { return {false, r}; }
};

struct GenerationOptions {
  double temperature = 1.0;
  int maximumResponseTokens = 0;
};

// A failure of the model itself (loading, decoding, a response cut off at the
// token limit). Its text is reported as is.
class ModelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class LanguageModelSession {
 public:
  virtual ~LanguageModelSession() = default;
  // Generates one complete value of `schema` for `prompt` and returns it as
  // JSON text. Throws ModelError (or GeneratedValueError) when no complete
  // value comes out; never returns a partial value.
  virtual std::string respond(const std::string& prompt, const RecordSchema& schema,
                              const GenerationOptions& options) = 0;
};

class LanguageModel {
 public:
  virtual ~LanguageModel() = default;
  // Read afresh on every call; never throws.
  virtual ModelAvailability availability() = 0;
  // A new session with no history and exactly these standing instructions.
  // Throws ModelError when the model cannot be opened.
  virtual std::unique_ptr<LanguageModelSession> openSession(const std::string& instructions) = 0;
};

}  // namespace tavrin::llm
