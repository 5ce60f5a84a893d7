#include "apple-llm/llama_model.h"

#include <llama.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "apple-llm/grammar.h"

namespace tavrin::llm {

// Receives every log line of llama.cpp and ggml while installed. Lines can
// arrive from llama.cpp's worker threads, hence the lock. The first error
// since the last clear() is kept: it names the cause of a failed load, while
// the later ones only say that loading failed.
class LlamaLanguageModel::LogCapture {
 public:
  LogCapture() { llama_log_set(&LogCapture::receive, this); }
  ~LogCapture() { llama_log_set(&LogCapture::discard, nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    firstError_.clear();
    state_ = State::kWaiting;
  }

  std::string firstError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text = firstError_;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }

 private:
  enum class State { kWaiting, kInError, kDone };

  static void receive(ggml_log_level level, const char* text, void* self) {
    static_cast<LogCapture*>(self)->add(level, text);
  }
  static void discard(ggml_log_level, const char*, void*) {}

  void add(ggml_log_level level, const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (level == GGML_LOG_LEVEL_ERROR && state_ == State::kWaiting) {
      firstError_ = text;
      state_ = State::kInError;
    } else if (level == GGML_LOG_LEVEL_CONT && state_ == State::kInError) {
      if (firstError_.size() < 4096) firstError_ += text;
    } else if (state_ == State::kInError) {
      state_ = State::kDone;
    }
  }

  mutable std::mutex mutex_;
  std::string firstError_;
  State state_ = State::kWaiting;
};

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct ModelDeleter {
  void operator()(llama_model* m) const { llama_model_free(m); }
};
struct ContextDeleter {
  void operator()(llama_context* c) const { llama_free(c); }
};
struct SamplerDeleter {
  void operator()(llama_sampler* s) const { llama_sampler_free(s); }
};
using ModelPtr = std::unique_ptr<llama_model, ModelDeleter>;
using ContextPtr = std::unique_ptr<llama_context, ContextDeleter>;
using SamplerPtr = std::unique_ptr<llama_sampler, SamplerDeleter>;

int defaultThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

std::string tokenPiece(const llama_vocab* vocab, llama_token token) {
  char buffer[256];
  int n = llama_token_to_piece(vocab, token, buffer, sizeof buffer, 0, false);
  if (n >= 0) return std::string(buffer, static_cast<size_t>(n));
  std::string piece(static_cast<size_t>(-n), '\0');
  n = llama_token_to_piece(vocab, token, piece.data(), static_cast<int32_t>(piece.size()), 0, false);
  piece.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return piece;
}

// Whether the grammar sampler in its current state allows `token` next.
bool allows(llama_sampler* grammar, llama_token token) {
  llama_token_data one{token, 0.0f, 0.0f};
  llama_token_data_array single{&one, 1, -1, false};
  llama_sampler_apply(grammar, &single);
  return std::isfinite(one.logit);
}

SamplerPtr makeGrammar(const llama_vocab* vocab, const RecordSchema& schema) {
  const std::string gbnf = grammarFor(schema);
  SamplerPtr grammar(llama_sampler_init_grammar(vocab, gbnf.c_str(), "root"));
  if (!grammar) throw ModelError("The grammar of the " + schema.name + " record could not be built.");
  return grammar;
}

std::vector<llama_token> tokenize(const llama_vocab* vocab, const std::string& text) {
  const int32_t needed = -llama_tokenize(vocab, text.data(), static_cast<int32_t>(text.size()), nullptr, 0, true, true);
  if (needed <= 0) throw ModelError("The prompt could not be tokenized.");
  std::vector<llama_token> tokens(static_cast<size_t>(needed));
  if (llama_tokenize(vocab, text.data(), static_cast<int32_t>(text.size()), tokens.data(), needed, true, true) != needed) {
    throw ModelError("The prompt could not be tokenized.");
  }
  return tokens;
}

class LlamaSession : public LanguageModelSession {
 public:
  LlamaSession(ModelPtr model, std::string instructions, const LlamaOptions& options)
      : model_(std::move(model)), instructions_(std::move(instructions)), options_(options) {}

  std::string respond(const std::string& prompt, const RecordSchema& schema,
                      const GenerationOptions& generation) override {
    const Clock::time_point start = Clock::now();
    const llama_vocab* vocab = llama_model_get_vocab(model_.get());
    const std::vector<llama_token> promptTokens = tokenize(vocab, formatChat(prompt));
    const int maxTokens = generation.maximumResponseTokens;

    llama_context_params cp = llama_context_default_params();
    cp.n_ctx = static_cast<uint32_t>(promptTokens.size() + static_cast<size_t>(maxTokens) + 1);
    cp.n_batch = 512;
    cp.n_ubatch = 512;
    cp.n_threads = cp.n_threads_batch = options_.threads > 0 ? options_.threads : defaultThreads();
    cp.no_perf = true;
    ContextPtr context(llama_init_from_model(model_.get(), cp));
    if (!context) throw ModelError("The language model could not create a context for this request.");

    for (size_t i = 0; i < promptTokens.size(); i += cp.n_batch) {
      const size_t n = std::min<size_t>(cp.n_batch, promptTokens.size() - i);
      llama_batch batch = llama_batch_get_one(const_cast<llama_token*>(promptTokens.data() + i), static_cast<int32_t>(n));
      if (llama_decode(context.get(), batch) != 0) throw ModelError("The language model could not read the prompt.");
    }
    const double promptMs = msSince(start);

    llama_sampler_chain_params chainParams = llama_sampler_chain_default_params();
    chainParams.no_perf = true;
    SamplerPtr sampling(llama_sampler_chain_init(chainParams));
    llama_sampler_chain_add(sampling.get(), llama_sampler_init_temp(static_cast<float>(generation.temperature)));
    llama_sampler_chain_add(sampling.get(), llama_sampler_init_dist(options_.seed.value_or(LLAMA_DEFAULT_SEED)));
    SamplerPtr grammar = options_.constrained ? makeGrammar(vocab, schema) : nullptr;

    const int vocabSize = llama_vocab_n_tokens(vocab);
    std::vector<llama_token_data> candidates(static_cast<size_t>(vocabSize));
    std::string text;
    bool ended = false;
    int generated = 0;
    Clock::time_point firstToken = start;
    while (generated < maxTokens) {
      const float* logits = llama_get_logits_ith(context.get(), -1);
      llama_token token = sample(logits, candidates, sampling.get(), nullptr);
      // Sampling from the whole distribution and keeping the token when the
      // grammar allows it, else sampling again from the allowed tokens only,
      // draws from exactly the constrained distribution while checking the
      // grammar against one token instead of the whole vocabulary.
      if (grammar && !allows(grammar.get(), token)) token = sample(logits, candidates, sampling.get(), grammar.get());
      if (llama_vocab_is_eog(vocab, token)) {
        ended = true;
        break;
      }
      if (grammar) llama_sampler_accept(grammar.get(), token);
      text += tokenPiece(vocab, token);
      if (++generated == 1) firstToken = Clock::now();
      if (generated == maxTokens) break;
      llama_batch batch = llama_batch_get_one(&token, 1);
      if (llama_decode(context.get(), batch) != 0) throw ModelError("The language model failed while generating.");
    }

    if (options_.stats != nullptr) {
      options_.stats->promptMs = promptMs;
      options_.stats->firstTokenMs = std::chrono::duration<double, std::milli>(firstToken - start).count();
      options_.stats->generationMs = std::chrono::duration<double, std::milli>(Clock::now() - firstToken).count();
      options_.stats->promptTokens = static_cast<int>(promptTokens.size());
      options_.stats->generatedTokens = generated;
    }
    // The grammar only lets the end token through once the value is
    // complete; a value can also complete on the very last allowed token.
    if (!ended && !nlohmann::json::accept(text)) {
      throw ModelError("The response was cut off at the limit of " + std::to_string(maxTokens) +
                       " tokens before the " + schema.name + " record was complete.");
    }
    return text;
  }

 private:
  std::string formatChat(const std::string& prompt) const {
    const char* stored = llama_model_chat_template(model_.get(), nullptr);
    const char* chatTemplate = stored != nullptr ? stored : "chatml";
    const llama_chat_message messages[2] = {{"system", instructions_.c_str()}, {"user", prompt.c_str()}};
    std::vector<char> buffer(2 * (instructions_.size() + prompt.size()) + 1024);
    int32_t n = llama_chat_apply_template(chatTemplate, messages, 2, true, buffer.data(), static_cast<int32_t>(buffer.size()));
    if (n > static_cast<int32_t>(buffer.size())) {
      buffer.resize(static_cast<size_t>(n));
      n = llama_chat_apply_template(chatTemplate, messages, 2, true, buffer.data(), n);
    }
    if (n < 0) throw ModelError("The language model's chat template is not supported.");
    return std::string(buffer.data(), static_cast<size_t>(n));
  }

  // One token drawn with `sampling` from the logits, restricted to what
  // `grammar` allows when it is given.
  static llama_token sample(const float* logits, std::vector<llama_token_data>& candidates, llama_sampler* sampling,
                            llama_sampler* grammar) {
    for (size_t i = 0; i < candidates.size(); ++i) {
      candidates[i] = llama_token_data{static_cast<llama_token>(i), logits[i], 0.0f};
    }
    llama_token_data_array array{candidates.data(), candidates.size(), -1, false};
    if (grammar != nullptr) {
      llama_sampler_apply(grammar, &array);
      bool any = false;
      for (size_t i = 0; i < array.size && !any; ++i) any = std::isfinite(array.data[i].logit);
      if (!any) throw ModelError("The language model has no token that continues the record.");
    }
    llama_sampler_apply(sampling, &array);
    if (array.selected < 0 || static_cast<size_t>(array.selected) >= array.size) {
      throw ModelError("The language model could not choose a token.");
    }
    return array.data[array.selected].id;
  }

  ModelPtr model_;
  std::string instructions_;
  LlamaOptions options_;
};

}  // namespace

LlamaLanguageModel::LlamaLanguageModel(ModelSearchPaths paths, LlamaOptions options)
    : paths_(std::move(paths)), options_(options), log_(std::make_unique<LogCapture>()) {}

LlamaLanguageModel::~LlamaLanguageModel() {
  if (backendStarted_) llama_backend_free();
}

ModelAvailability LlamaLanguageModel::availability() {
  const uint64_t memory = options_.physicalMemory != 0 ? options_.physicalMemory : physicalMemoryBytes();
  return modelAvailability(paths_, memory);
}

std::unique_ptr<LanguageModelSession> LlamaLanguageModel::openSession(const std::string& instructions) {
  const ModelLocation location = locateModel(paths_);
  if (location.state != ModelLocation::State::kFound) throw ModelError("The language model is not installed.");
  if (!backendStarted_) {
    llama_backend_init();
    backendStarted_ = true;
  }
  const Clock::time_point start = Clock::now();
  llama_model_params params = llama_model_default_params();
  log_->clear();
  ModelPtr model(llama_model_load_from_file(location.path.c_str(), params));
  if (!model) {
    const std::string detail = log_->firstError();
    throw ModelError("The language model at " + location.path + " could not be loaded" +
                     (detail.empty() ? std::string(".") : ": " + detail));
  }
  if (options_.stats != nullptr) options_.stats->loadMs = msSince(start);
  return std::make_unique<LlamaSession>(std::move(model), instructions, options_);
}

bool grammarAcceptsWithModel(const std::string& modelPath, const RecordSchema& schema, const std::string& text) {
  LlamaLanguageModel::LogCapture quiet;
  llama_model_params params = llama_model_default_params();
  params.vocab_only = true;
  ModelPtr model(llama_model_load_from_file(modelPath.c_str(), params));
  if (!model) throw ModelError("The model at " + modelPath + " could not be read.");
  const llama_vocab* vocab = llama_model_get_vocab(model.get());

  std::vector<llama_token> byteToken(256, LLAMA_TOKEN_NULL);
  for (llama_token t = 0; t < llama_vocab_n_tokens(vocab); ++t) {
    const std::string piece = tokenPiece(vocab, t);
    if (piece.size() == 1 && byteToken[static_cast<unsigned char>(piece[0])] == LLAMA_TOKEN_NULL) {
      byteToken[static_cast<unsigned char>(piece[0])] = t;
    }
  }
  SamplerPtr grammar = makeGrammar(vocab, schema);
  for (unsigned char byte : text) {
    const llama_token t = byteToken[byte];
    if (t == LLAMA_TOKEN_NULL) throw ModelError("The model has no token for a byte of the text.");
    if (!allows(grammar.get(), t)) return false;
    llama_sampler_accept(grammar.get(), t);
  }
  return allows(grammar.get(), llama_vocab_eos(vocab));
}

}  // namespace tavrin::llm
