// The on-device model on this platform: llama.cpp (loaded at run time, see
// llama_library.h) running the installed GGUF model (model_store.h), with
// output constrained to the requested record (grammar.h) and to well-formed
// UTF-8.
//
// The model service is usable when this CPU runs the engine's code, the
// engine loads, a model is installed whole and fits in memory, and
// llama.cpp's own loader accepts the model's header, metadata and tensor
// table (without reading the weights). `status` and the passes ask the same
// questions, so a model that status calls available is one the passes load.
//
// llama.cpp's own logging is captured while the engine is loaded, so nothing
// of it reaches standard output or standard error; the first error it logged
// becomes part of the ModelError a failed load reports. Only one
// LlamaLanguageModel may exist at a time (llama.cpp's log routing is
// process-wide).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apple-llm/model.h"
#include "apple-llm/model_store.h"

namespace tavrin::llm {

class LlamaLibrary;

// Timings and counts of the last request, for benchmarks and tests.
struct GenerationStats {
  double loadMs = 0;         // openSession: reading the weights
  double promptMs = 0;       // evaluating the prompt
  double firstTokenMs = 0;   // from the request to the first generated token
  double generationMs = 0;   // from the first generated token to the end
  int promptTokens = 0;
  int promptControlTokens = 0;  // of those, control tokens (the chat template's markers)
  int generatedTokens = 0;   // tokens produced after the prompt, the end token excluded
};

struct LlamaOptions {
  int threads = 0;                 // 0: one per processor this process may run on
  bool constrained = true;         // false only to measure what the grammar costs
  std::optional<uint32_t> seed;    // unset: a random seed per request
  GenerationStats* stats = nullptr;  // filled when set; not owned
  uint64_t physicalMemory = 0;     // 0: this machine's
  std::vector<std::string> libraryDirs;  // empty: defaultLibraryDirs()
  bool (*cpuRunsEngine)() = nullptr;     // null: cpuRunsLlama()
};

class LlamaLanguageModel : public LanguageModel {
 public:
  explicit LlamaLanguageModel(ModelSearchPaths paths, LlamaOptions options = {});
  ~LlamaLanguageModel() override;
  LlamaLanguageModel(const LlamaLanguageModel&) = delete;
  LlamaLanguageModel& operator=(const LlamaLanguageModel&) = delete;

  ModelAvailability availability() override;
  std::unique_ptr<LanguageModelSession> openSession(const std::string& instructions) override;

  class Engine;

 private:
  // The loaded engine, or null with `engineError_` set.
  Engine* engine();

  ModelSearchPaths paths_;
  LlamaOptions options_;
  std::unique_ptr<Engine> engine_;
  std::string engineError_;
};

// The number of processors this process may run on (at least 1).
int usableProcessors();

// Whether generation may produce `text` as a complete value of `schema`: the
// record grammar and the well-formed UTF-8 rule, judged by llama.cpp's
// grammar engine over the byte tokens of the GGUF model at `modelPath`
// (which needs a token for every single byte). For tests; throws ModelError
// when the model cannot be read.
bool generationAccepts(const std::string& modelPath, const RecordSchema& schema, const std::string& text);

}  // namespace tavrin::llm
