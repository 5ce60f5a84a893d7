// The on-device model on this platform: llama.cpp (loaded at run time, see
// llama_library.h) running the installed GGUF model (model_store.h), with
// output constrained to the requested record (grammar.h) and to well-formed
// UTF-8.
//
// The model service is usable when this CPU runs the engine's code, the
// engine loads, and one of the installed models (the best, model_store.h)
// is installed whole, fits in memory, is accepted by llama.cpp's own loader
// (header, metadata and tensor table, without the weights) and can serve a
// request: a chat template llama.cpp knows, a token for every byte, a
// trained context that holds the extraction pass. `status` and the passes
// ask the same questions and the passes load the model `status` chose, so
// a model that status calls available is one the passes run. The loader
// check runs in a child process: an assertion or crash of llama.cpp on a
// damaged file makes that model unavailable instead of ending the run.
//
// llama.cpp's own logging is captured while the engine is loaded, so nothing
// of it reaches standard output or standard error; the first error it logged
// becomes part of the ModelError a failed load reports. Only one
// LlamaLanguageModel may exist at a time (llama.cpp's log routing is
// process-wide).
#pragma once

#include <cstdint>
#include <functional>
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
  double loadMs = 0;        // openSession: reading the weights
  double promptMs = 0;      // evaluating the prompt
  double firstTokenMs = 0;  // from the request to the first generated token
  double generationMs = 0;  // from the first generated token to the end
  int promptTokens = 0;
  int promptControlTokens = 0;  // of those, control tokens (the chat template's markers)
  int generatedTokens = 0;      // tokens produced after the prompt, the end token excluded
  int threads = 0;              // the thread count chosen for the request
};

struct LlamaOptions {
  int threads = 0;                       // 0: chosen per request (thread_choice.h)
  bool constrained = true;               // false only to measure what the grammar costs
  std::optional<uint32_t> seed;          // unset: a random seed per request
  GenerationStats* stats = nullptr;      // filled when set; not owned
  uint64_t physicalMemory = 0;           // 0: this machine's
  std::vector<std::string> libraryDirs;  // empty: defaultLibraryDirs()
  bool (*cpuRunsEngine)() = nullptr;     // null: cpuRunsLlama()
  // Receives one line for each reason the engine or an installed model is
  // not used, and the model that is; unset: nothing is said.
  std::function<void(const std::string&)> log;
  // Called with the machine's memory when no installed model can be used;
  // true when a model is downloading (then the reason is kModelNotReady).
  // Unset: nothing is fetched.
  std::function<bool(uint64_t physicalMemory)> fetchModel;
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
  void log(const std::string& line) const;

  ModelSearchPaths paths_;
  LlamaOptions options_;
  std::unique_ptr<Engine> engine_;
  std::string engineError_;
  std::string chosen_;  // the model the last availability() chose
};

// Whether generation may produce `text` as a complete value of `schema`: the
// record grammar and the well-formed UTF-8 rule, judged by llama.cpp's
// grammar engine over the byte tokens of the GGUF model at `modelPath`
// (which needs a token for every single byte). For tests; throws ModelError
// when the model cannot be read.
bool generationAccepts(const std::string& modelPath, const RecordSchema& schema, const std::string& text);

}  // namespace tavrin::llm
