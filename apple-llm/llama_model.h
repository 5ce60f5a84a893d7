// The on-device model on this platform: llama.cpp running the installed GGUF
// model (see model_store.h), with output constrained by a grammar derived
// from the requested record (grammar.h).
//
// llama.cpp's own logging is captured for the lifetime of this object, so
// nothing of it reaches standard output or standard error; the last error it
// logged becomes part of the ModelError a failed load reports. Only one
// LlamaLanguageModel may exist at a time (llama.cpp's log routing is
// process-wide).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "apple-llm/model.h"
#include "apple-llm/model_store.h"

namespace tavrin::llm {

// Timings and counts of the last request, for benchmarks.
struct GenerationStats {
  double loadMs = 0;         // openSession: reading the weights
  double promptMs = 0;       // evaluating the prompt
  double firstTokenMs = 0;   // from the request to the first generated token
  double generationMs = 0;   // from the first generated token to the end
  int promptTokens = 0;
  int generatedTokens = 0;   // tokens produced after the prompt, the end token excluded
};

struct LlamaOptions {
  int threads = 0;                 // 0: one per online processor
  bool constrained = true;         // false only to measure what the grammar costs
  std::optional<uint32_t> seed;    // unset: a random seed per request
  GenerationStats* stats = nullptr;  // filled when set; not owned
  uint64_t physicalMemory = 0;     // 0: this machine's
};

class LlamaLanguageModel : public LanguageModel {
 public:
  explicit LlamaLanguageModel(ModelSearchPaths paths, LlamaOptions options = {});
  ~LlamaLanguageModel() override;
  LlamaLanguageModel(const LlamaLanguageModel&) = delete;
  LlamaLanguageModel& operator=(const LlamaLanguageModel&) = delete;

  ModelAvailability availability() override;
  std::unique_ptr<LanguageModelSession> openSession(const std::string& instructions) override;

  class LogCapture;

 private:
  ModelSearchPaths paths_;
  LlamaOptions options_;
  std::unique_ptr<LogCapture> log_;
  bool backendStarted_ = false;
};

// Whether the grammar derived from `schema` accepts `text` as a complete
// value, judged by llama.cpp's grammar engine over the byte tokens of the
// GGUF model at `modelPath` (which needs a token for every single byte).
// For tests of the grammar; throws ModelError when the model cannot be read.
bool grammarAcceptsWithModel(const std::string& modelPath, const RecordSchema& schema, const std::string& text);

}  // namespace tavrin::llm
