#include "apple-llm/llama_model.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string_view>
#include <thread>

#include "apple-llm/grammar.h"
#include "apple-llm/llama_library.h"
#include "apple-llm/prompts.h"
#include "apple-llm/thread_choice.h"
#include "common/unique_fd.h"

namespace tavrin::llm {
namespace {

// Receives every log line of llama.cpp and ggml while installed. Lines can
// arrive from llama.cpp's worker threads, hence the lock. The first error
// since the last clear() is kept: it names the cause of a failed load, while
// the later ones only say that loading failed.
class LogCapture {
 public:
  explicit LogCapture(const LlamaApi& api) : api_(api) { api_.llama_log_set(&LogCapture::receive, this); }
  ~LogCapture() { api_.llama_log_set(&LogCapture::discard, nullptr); }
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

  const LlamaApi& api_;
  mutable std::mutex mutex_;
  std::string firstError_;
  State state_ = State::kWaiting;
};

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Owners of llama.cpp's handles; each frees through the table it came from.
template <typename T, void (*LlamaApi::*Free)(T*)>
struct Freer {
  const LlamaApi* api;
  void operator()(T* p) const { (api->*Free)(p); }
};
using ModelPtr = std::unique_ptr<llama_model, Freer<llama_model, &LlamaApi::llama_model_free>>;
using ContextPtr = std::unique_ptr<llama_context, Freer<llama_context, &LlamaApi::llama_free>>;
using SamplerPtr = std::unique_ptr<llama_sampler, Freer<llama_sampler, &LlamaApi::llama_sampler_free>>;

std::string tokenPiece(const LlamaApi& api, const llama_vocab* vocab, llama_token token) {
  char buffer[256];
  int n = api.llama_token_to_piece(vocab, token, buffer, sizeof buffer, 0, false);
  if (n >= 0) return std::string(buffer, static_cast<size_t>(n));
  std::string piece(static_cast<size_t>(-n), '\0');
  n = api.llama_token_to_piece(vocab, token, piece.data(), static_cast<int32_t>(piece.size()), 0, false);
  piece.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return piece;
}

// Appends the tokens of `text` (any bytes, NUL included). Only the chat
// template's own markers are read with `parseSpecial`: text that merely
// spells a control token stays text.
void appendTokens(const LlamaApi& api, const llama_vocab* vocab, std::string_view text, bool addSpecial,
                  bool parseSpecial, std::vector<llama_token>& out) {
  if (text.size() > INT32_MAX / 2) throw ModelError("The prompt could not be tokenized.");
  const auto length = static_cast<int32_t>(text.size());
  // llama.cpp's tokenizer lets its own exceptions through (a vocabulary
  // without a byte it needs throws std::out_of_range).
  try {
    const int32_t n = api.llama_tokenize(vocab, text.data(), length, nullptr, 0, addSpecial, parseSpecial);
    if (n == 0) return;
    if (n == INT32_MIN) throw ModelError("The prompt could not be tokenized.");
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(n < 0 ? -n : n));
    const int32_t written = api.llama_tokenize(vocab, text.data(), length, out.data() + at,
                                               static_cast<int32_t>(out.size() - at), addSpecial, parseSpecial);
    if (written < 0) throw ModelError("The prompt could not be tokenized.");
    out.resize(at + static_cast<size_t>(written));
  } catch (const ModelError&) {
    throw;
  } catch (const std::exception&) {
    throw ModelError("The prompt could not be tokenized.");
  }
}

// What the model's chat template puts around the instructions and the
// prompt: before the system text, between it and the user text, and after.
struct ChatFrame {
  std::string beforeSystem, betweenSystemAndUser, afterUser;
};

// Throws ModelError when llama.cpp does not know the template, or when it
// does not hold each of the two texts exactly once.
ChatFrame chatFrame(const LlamaApi& api, const llama_model* model) {
  static constexpr std::string_view kSystemMark = "TAVRINSYSTEMTEXTMARK";
  static constexpr std::string_view kUserMark = "TAVRINUSERTEXTMARK";
  const char* stored = api.llama_model_chat_template(model, nullptr);
  const char* chatTemplate = stored != nullptr ? stored : "chatml";
  const std::string system(kSystemMark), user(kUserMark);
  const llama_chat_message messages[2] = {{"system", system.c_str()}, {"user", user.c_str()}};
  std::vector<char> buffer(1024);
  int32_t n = api.llama_chat_apply_template(chatTemplate, messages, 2, true, buffer.data(),
                                            static_cast<int32_t>(buffer.size()));
  if (n > static_cast<int32_t>(buffer.size())) {
    buffer.resize(static_cast<size_t>(n));
    n = api.llama_chat_apply_template(chatTemplate, messages, 2, true, buffer.data(), n);
  }
  const std::string_view chat(buffer.data(), n < 0 ? 0 : static_cast<size_t>(n));
  const size_t s = chat.find(kSystemMark);
  const size_t u = chat.find(kUserMark);
  if (n < 0 || s == std::string_view::npos || u == std::string_view::npos || u < s ||
      chat.find(kSystemMark, s + 1) != std::string_view::npos ||
      chat.find(kUserMark, u + 1) != std::string_view::npos) {
    throw ModelError("The language model's chat template is not supported.");
  }
  const size_t afterSystem = s + kSystemMark.size();
  return {std::string(chat.substr(0, s)), std::string(chat.substr(afterSystem, u - afterSystem)),
          std::string(chat.substr(u + kUserMark.size()))};
}

// The chat as tokens. What the template puts around the texts is read with
// special-token parsing, the instructions and the prompt themselves as
// plain text, by length (they may hold NUL).
std::vector<llama_token> chatTokens(const LlamaApi& api, const llama_model* model, const std::string& instructions,
                                    const std::string& prompt) {
  const ChatFrame frame = chatFrame(api, model);
  const llama_vocab* vocab = api.llama_model_get_vocab(model);
  std::vector<llama_token> tokens;
  appendTokens(api, vocab, frame.beforeSystem, true, true, tokens);
  appendTokens(api, vocab, instructions, false, false, tokens);
  appendTokens(api, vocab, frame.betweenSystemAndUser, false, true, tokens);
  appendTokens(api, vocab, prompt, false, false, tokens);
  appendTokens(api, vocab, frame.afterUser, false, true, tokens);
  return tokens;
}

// What generation may produce next: the record's grammar (when on), bytes
// that keep the text well-formed UTF-8, and no control token (the grammar
// would let one through inside a string, spelled as its marker text; only
// the end-of-generation tokens may end the value).
class Constraint {
 public:
  Constraint(const LlamaApi& api, const llama_vocab* vocab, const std::vector<std::string>& pieces,
             const RecordSchema& schema, bool grammarOn)
      : api_(api), pieces_(pieces), grammar_(nullptr, {&api}) {
    const int n = api.llama_vocab_n_tokens(vocab);
    forbidden_.assign(static_cast<size_t>(n), false);
    for (llama_token t = 0; t < n; ++t) {
      eog_.push_back(api.llama_vocab_is_eog(vocab, t));
      const bool control = (api.llama_vocab_get_attr(vocab, t) & LLAMA_TOKEN_ATTR_CONTROL) != 0;
      forbidden_[static_cast<size_t>(t)] = control && !eog_.back();
    }
    if (grammarOn) {
      const std::string gbnf = grammarFor(schema);
      grammar_.reset(api.llama_sampler_init_grammar(vocab, gbnf.c_str(), "root"));
      if (!grammar_) throw ModelError("The grammar of the " + schema.name + " record could not be built.");
    }
  }

  bool allows(llama_token token) {
    if (!ownRulesAllow(token)) return false;
    if (!grammar_) return true;
    llama_token_data one{token, 0.0f, 0.0f};
    llama_token_data_array single{&one, 1, -1, false};
    api_.llama_sampler_apply(grammar_.get(), &single);
    return std::isfinite(one.logit);
  }

  // Leaves finite logits on the allowed candidates only; false when none is.
  bool restrict(llama_token_data_array& array) {
    for (size_t i = 0; i < array.size; ++i) {
      if (!ownRulesAllow(array.data[i].id)) array.data[i].logit = -INFINITY;
    }
    if (grammar_) api_.llama_sampler_apply(grammar_.get(), &array);
    for (size_t i = 0; i < array.size; ++i) {
      if (std::isfinite(array.data[i].logit)) return true;
    }
    return false;
  }

  void accept(llama_token token) {
    if (grammar_) api_.llama_sampler_accept(grammar_.get(), token);
    if (!eog_[static_cast<size_t>(token)]) text_.append(pieces_[static_cast<size_t>(token)]);
  }

 private:
  bool ownRulesAllow(llama_token token) const {
    const auto t = static_cast<size_t>(token);
    if (forbidden_[t]) return false;
    return eog_[t] ? text_.complete() : text_.accepts(pieces_[t]);
  }

  const LlamaApi& api_;
  const std::vector<std::string>& pieces_;
  std::vector<bool> forbidden_;
  std::vector<bool> eog_;
  Utf8Prefix text_;
  SamplerPtr grammar_;
};

// Every token's bytes, as generation appends them to the text.
std::vector<std::string> tokenPieces(const LlamaApi& api, const llama_vocab* vocab) {
  std::vector<std::string> pieces(static_cast<size_t>(api.llama_vocab_n_tokens(vocab)));
  for (size_t t = 0; t < pieces.size(); ++t) pieces[t] = tokenPiece(api, vocab, static_cast<llama_token>(t));
  return pieces;
}

// With the extraction pass's instructions and full response (the larger of
// the two passes), the smallest request a model must hold to be called
// available.
constexpr const char* kShortestSection = "You: Hello.";

// Why the model (loaded at least to its metadata) cannot serve the passes,
// or "" when it can: its chat template is one llama.cpp applies, it has a
// token for every byte (its tokenizer falls back to bytes for text outside
// its vocabulary, and fails without them), and its trained context holds
// the extraction pass on a short section with its full response.
std::string unsuitability(const LlamaApi& api, const llama_model* model) {
  const llama_vocab* vocab = api.llama_model_get_vocab(model);
  std::vector<bool> byteHasToken(256, false);
  for (const std::string& piece : tokenPieces(api, vocab)) {
    if (piece.size() == 1) byteHasToken[static_cast<unsigned char>(piece[0])] = true;
  }
  for (size_t b = 0; b < byteHasToken.size(); ++b) {
    if (!byteHasToken[b]) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(b));
      return std::string("its vocabulary has no token for the byte ") + hex;
    }
  }
  std::vector<llama_token> request;
  try {
    // Counted with a language of a long name: its sentence is in the
    // instructions twice and in the prompt once.
    const std::optional<std::string> language = "nb";
    request =
        chatTokens(api, model, extractInstructions(language), buildPrompt(extractPass(), kShortestSection, language));
  } catch (const ModelError& e) {
    return e.what();
  }
  const size_t needed = request.size() + static_cast<size_t>(extractPass().maximumResponseTokens);
  const int trained = api.llama_model_n_ctx_train(model);
  if (trained <= 0 || static_cast<size_t>(trained) < needed) {
    return "its context of " + std::to_string(trained) + " tokens is smaller than a request (" +
           std::to_string(needed) + " tokens)";
  }
  return {};
}

// Runs `check` in a child process and returns what it returned, so that an
// assertion or a crash of llama.cpp on a hostile file costs this answer and
// not the run. The child's standard error is a pipe: what the engine's abort
// hook or the crash guard writes there before exit status 1 is the cause.
// Call only while no other thread runs (fork copies just this one).
std::string inChildProcess(const std::function<std::string()>& check) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return check();
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  const pid_t pid = ::fork();
  if (pid < 0) return check();
  if (pid == 0) {
    ::dup2(writeEnd.get(), STDERR_FILENO);
    std::string result;
    try {
      result = check();
    } catch (const std::exception& e) {
      result = e.what();
    }
    result += '\n';
    ssize_t unused = ::write(STDERR_FILENO, result.data(), result.size());
    (void)unused;
    ::_exit(result.size() == 1 ? 0 : 1);
  }
  writeEnd.reset();  // the child's end: the reads below end when the child does
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (text.size() < 4096) text.append(buffer, static_cast<size_t>(n));
  }
  readEnd.reset();
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  text = text.substr(0, text.find('\n'));
  if (text.empty())
    text = WIFSIGNALED(status) ? "the check ended on signal " + std::to_string(WTERMSIG(status)) : "the check failed";
  return text;
}

}  // namespace

// The loaded library with its log capture and backend.
class LlamaLanguageModel::Engine {
 public:
  explicit Engine(std::unique_ptr<LlamaLibrary> library) : library_(std::move(library)), log_(library_->api()) {
    library_->api().llama_backend_init();
  }
  ~Engine() { library_->api().llama_backend_free(); }

  const LlamaApi& api() const { return library_->api(); }
  LogCapture& log() { return log_; }

  // Loads `path`: only its header, metadata and tensor table when
  // `metadataOnly`, else the whole model. Null on failure, with the cause in
  // the log.
  // With `checkWeights`, every weight is read and a NaN or infinity (a
  // damaged file) fails the load.
  ModelPtr load(const std::string& path, bool metadataOnly, bool checkWeights = false) {
    llama_model_params params = api().llama_model_default_params();
    if (metadataOnly) {
      params.no_alloc = true;  // checks every tensor's shape and extent in the file
      params.load_mode = LLAMA_LOAD_MODE_NONE;
    }
    params.check_tensors = checkWeights;
    log_.clear();
    return ModelPtr(api().llama_model_load_from_file(path.c_str(), params), {&api()});
  }

 private:
  std::unique_ptr<LlamaLibrary> library_;
  LogCapture log_;
};

namespace {

class LlamaSession : public LanguageModelSession {
 public:
  // `cpuBefore` was sampled at `sampledAt`, before the model was loaded: the
  // start of the window that chooses the thread count.
  LlamaSession(const LlamaApi& api, ModelPtr model, std::string instructions, const LlamaOptions& options,
               CpuTimes cpuBefore, Clock::time_point sampledAt)
      : api_(api),
        model_(std::move(model)),
        instructions_(std::move(instructions)),
        options_(options),
        cpuBefore_(cpuBefore),
        sampledAt_(sampledAt) {}

  std::string respond(const std::string& prompt, const RecordSchema& schema,
                      const GenerationOptions& generation) override {
    const Clock::time_point start = Clock::now();
    const llama_vocab* vocab = api_.llama_model_get_vocab(model_.get());
    const std::vector<std::string> pieces = tokenPieces(api_, vocab);
    const int maxTokens = generation.maximumResponseTokens;
    const int trained = api_.llama_model_n_ctx_train(model_.get());
    const int room = trained - maxTokens;
    const std::string tooLong = "The request is too long for the language model: it needs more than its context of " +
                                std::to_string(trained) + " tokens.";
    // A token stands for at most its longest piece's bytes: a text longer
    // than that many times the room cannot fit, and is not tokenized at all.
    size_t longestPiece = 1;
    for (const std::string& p : pieces) longestPiece = std::max(longestPiece, p.size());
    if (room <= 0 || prompt.size() + instructions_.size() > static_cast<size_t>(room) * longestPiece) {
      throw ModelError(tooLong);
    }
    const std::vector<llama_token> promptTokens = chatTokens(api_, model_.get(), instructions_, prompt);
    if (promptTokens.size() > static_cast<size_t>(room)) throw ModelError(tooLong);

    llama_context_params cp = api_.llama_context_default_params();
    cp.n_ctx = static_cast<uint32_t>(promptTokens.size() + static_cast<size_t>(maxTokens) + 1);
    cp.n_batch = 512;
    cp.n_ubatch = 512;
    cp.n_threads = cp.n_threads_batch = options_.threads > 0 ? options_.threads : threadsNow();
    cp.no_perf = true;
    ContextPtr context(api_.llama_init_from_model(model_.get(), cp), {&api_});
    if (!context) throw ModelError("The language model could not create a context for this request.");

    for (size_t i = 0; i < promptTokens.size(); i += cp.n_batch) {
      const size_t n = std::min<size_t>(cp.n_batch, promptTokens.size() - i);
      llama_batch batch =
          api_.llama_batch_get_one(const_cast<llama_token*>(promptTokens.data() + i), static_cast<int32_t>(n));
      if (api_.llama_decode(context.get(), batch) != 0)
        throw ModelError("The language model could not read the prompt.");
    }
    const double promptMs = msSince(start);

    llama_sampler_chain_params chainParams = api_.llama_sampler_chain_default_params();
    chainParams.no_perf = true;
    SamplerPtr sampling(api_.llama_sampler_chain_init(chainParams), {&api_});
    api_.llama_sampler_chain_add(sampling.get(),
                                 api_.llama_sampler_init_temp(static_cast<float>(generation.temperature)));
    api_.llama_sampler_chain_add(sampling.get(),
                                 api_.llama_sampler_init_dist(options_.seed.value_or(LLAMA_DEFAULT_SEED)));
    Constraint constraint(api_, vocab, pieces, schema, options_.constrained);

    std::vector<llama_token_data> candidates(pieces.size());
    std::string text;
    bool ended = false;
    int generated = 0;
    Clock::time_point firstToken = start;
    while (generated < maxTokens) {
      const float* logits = api_.llama_get_logits_ith(context.get(), -1);
      llama_token token = sample(logits, candidates, sampling.get(), nullptr);
      // Sampling from the whole distribution and keeping the token when it
      // is allowed, else sampling again from the allowed tokens only, draws
      // from exactly the constrained distribution while checking one token
      // instead of the whole vocabulary.
      if (!constraint.allows(token)) token = sample(logits, candidates, sampling.get(), &constraint);
      if (api_.llama_vocab_is_eog(vocab, token)) {
        ended = true;
        break;
      }
      constraint.accept(token);
      text += pieces[static_cast<size_t>(token)];
      if (++generated == 1) firstToken = Clock::now();
      if (generated == maxTokens) break;
      llama_batch batch = api_.llama_batch_get_one(&token, 1);
      if (api_.llama_decode(context.get(), batch) != 0) throw ModelError("The language model failed while generating.");
    }

    if (options_.stats != nullptr) {
      GenerationStats& s = *options_.stats;
      s.promptMs = promptMs;
      s.firstTokenMs = std::chrono::duration<double, std::milli>(firstToken - start).count();
      s.generationMs = std::chrono::duration<double, std::milli>(Clock::now() - firstToken).count();
      s.promptTokens = static_cast<int>(promptTokens.size());
      s.promptControlTokens = 0;
      for (llama_token t : promptTokens) {
        s.promptControlTokens += (api_.llama_vocab_get_attr(vocab, t) & LLAMA_TOKEN_ATTR_CONTROL) != 0 ? 1 : 0;
      }
      s.generatedTokens = generated;
      s.threads = static_cast<int>(cp.n_threads);
    }
    // The grammar only lets the end token through once the value is
    // complete; a value can also complete on the very last allowed token.
    if (!ended && !nlohmann::json::accept(text)) {
      throw ModelError("The response was cut off at the limit of " + std::to_string(maxTokens) + " tokens before the " +
                       schema.name + " record was complete.");
    }
    return text;
  }

 private:
  // The thread rule of thread_choice.h over the window since the session
  // was opened, stretched to kSampleWindow when loading was quicker.
  int threadsNow() const {
    static constexpr std::chrono::milliseconds kSampleWindow{100};
    const std::vector<int> cpus = allowedCpus();
    const Clock::duration waited = Clock::now() - sampledAt_;
    if (waited < kSampleWindow) std::this_thread::sleep_for(kSampleWindow - waited);
    const int threads =
        threadsFor(cpuBefore_, sampleCpuTimes(cpus), static_cast<int>(cpus.size()), physicalCores(cpus));
    return threads;
  }

  // One token drawn with `sampling` from the logits, restricted to what
  // `constraint` allows when it is given.
  llama_token sample(const float* logits, std::vector<llama_token_data>& candidates, llama_sampler* sampling,
                     Constraint* constraint) const {
    for (size_t i = 0; i < candidates.size(); ++i) {
      candidates[i] = llama_token_data{static_cast<llama_token>(i), logits[i], 0.0f};
    }
    llama_token_data_array array{candidates.data(), candidates.size(), -1, false};
    if (constraint != nullptr && !constraint->restrict(array)) {
      throw ModelError("The language model has no token that continues the record.");
    }
    api_.llama_sampler_apply(sampling, &array);
    if (array.selected < 0 || static_cast<size_t>(array.selected) >= array.size) {
      throw ModelError("The language model could not choose a token.");
    }
    return array.data[array.selected].id;
  }

  const LlamaApi& api_;
  ModelPtr model_;
  std::string instructions_;
  LlamaOptions options_;
  CpuTimes cpuBefore_;
  Clock::time_point sampledAt_;
};

}  // namespace

LlamaLanguageModel::LlamaLanguageModel(ModelSearchPaths paths, LlamaOptions options)
    : paths_(std::move(paths)), options_(std::move(options)) {}

LlamaLanguageModel::~LlamaLanguageModel() = default;

LlamaLanguageModel::Engine* LlamaLanguageModel::engine() {
  if (engine_ || !engineError_.empty()) return engine_.get();
  try {
    engine_ = std::make_unique<Engine>(
        LlamaLibrary::open(options_.libraryDirs.empty() ? defaultLibraryDirs() : options_.libraryDirs));
  } catch (const LibraryError& e) {
    engineError_ = e.what();
  }
  return engine_.get();
}

void LlamaLanguageModel::log(const std::string& line) const {
  if (options_.log) options_.log(line);
}

ModelAvailability LlamaLanguageModel::availability() {
  using R = UnavailableReason;
  chosen_.clear();
  // Nothing of the engine is loaded on a CPU that cannot run it.
  if (!(options_.cpuRunsEngine != nullptr ? options_.cpuRunsEngine : &cpuRunsLlama)()) {
    log("this CPU lacks an instruction set the engine is built for (AVX2, FMA, F16C, BMI2)");
    return ModelAvailability::unavailable(R::kDeviceNotEligible);
  }
  Engine* e = engine();
  if (e == nullptr) {
    log("the engine (llama.cpp) could not be loaded: " + engineError_);
    return ModelAvailability::unavailable(R::kOther);
  }
  const uint64_t memory = options_.physicalMemory != 0 ? options_.physicalMemory : physicalMemoryBytes();
  const InstalledModels installed = findModels(paths_);
  if (installed.models.empty()) {
    std::string dirs;
    for (const std::string& d : paths_.dataDirs) dirs += (dirs.empty() ? "" : ", ") + d + "/tavrin/models";
    log("no model (*.gguf) in " + dirs + (installed.installing ? "; an install is in progress" : ""));
  }
  const ModelChoice choice = chooseModel(installed, [&](const std::string& path) {
    const ModelAvailability found = inspectModel(e->api(), path, memory);
    if (!found.available) {
      log(path + ": " +
          (found.reason == R::kModelNotReady       ? "its data is incomplete (still being copied or downloaded)"
           : found.reason == R::kDeviceNotEligible ? "its weights need more memory than this machine has"
                                                   : "not a GGUF language model"));
      return found;
    }
    const std::string why = inChildProcess([&]() -> std::string {
      const ModelPtr model = e->load(path, /*metadataOnly=*/true);
      if (!model) {
        const std::string detail = e->log().firstError();
        return "llama.cpp cannot load it" + (detail.empty() ? std::string() : ": " + detail);
      }
      if (std::string unsuitable = unsuitability(e->api(), model.get()); !unsuitable.empty()) return unsuitable;
      // Damaged weights load, and then every pass fails: read them all once.
      if (!e->load(path, /*metadataOnly=*/false, /*checkWeights=*/true)) {
        const std::string detail = e->log().firstError();
        return "its weights are damaged" + (detail.empty() ? std::string() : ": " + detail);
      }
      return {};
    });
    if (!why.empty()) {
      log(path + ": " + why);
      return ModelAvailability::unavailable(R::kOther);
    }
    return found;
  });
  if (choice.availability.available) log("using " + choice.path);
  chosen_ = choice.path;
  if (!choice.availability.available && choice.availability.reason != R::kModelNotReady && options_.fetchModel &&
      options_.fetchModel(memory)) {
    log("the notes model is downloading");
    return ModelAvailability::unavailable(R::kModelNotReady);
  }
  return choice.availability;
}

std::unique_ptr<LanguageModelSession> LlamaLanguageModel::openSession(const std::string& instructions) {
  Engine* e = engine();
  if (e == nullptr) throw ModelError("The language model engine could not be loaded: " + engineError_);
  if (chosen_.empty()) availability();
  if (chosen_.empty()) throw ModelError("No usable language model is installed.");
  const Clock::time_point start = Clock::now();
  const CpuTimes cpuBefore = options_.threads > 0 ? CpuTimes{} : sampleCpuTimes(allowedCpus());
  ModelPtr model = e->load(chosen_, /*metadataOnly=*/false);
  if (!model) {
    const std::string detail = e->log().firstError();
    throw ModelError("The language model at " + chosen_ + " could not be loaded" +
                     (detail.empty() ? std::string(".") : ": " + detail));
  }
  if (options_.stats != nullptr) options_.stats->loadMs = msSince(start);
  return std::make_unique<LlamaSession>(e->api(), std::move(model), instructions, options_, cpuBefore, start);
}

bool generationAccepts(const std::string& modelPath, const RecordSchema& schema, const std::string& text) {
  LlamaLanguageModel::Engine engine(LlamaLibrary::open(defaultLibraryDirs()));
  const LlamaApi& api = engine.api();
  llama_model_params params = api.llama_model_default_params();
  params.vocab_only = true;
  ModelPtr model(api.llama_model_load_from_file(modelPath.c_str(), params), {&api});
  if (!model) throw ModelError("The model at " + modelPath + " could not be read.");
  const llama_vocab* vocab = api.llama_model_get_vocab(model.get());
  const std::vector<std::string> pieces = tokenPieces(api, vocab);
  std::vector<llama_token> byteToken(256, LLAMA_TOKEN_NULL);
  for (size_t t = 0; t < pieces.size(); ++t) {
    const std::string& piece = pieces[t];
    if (piece.size() == 1 && byteToken[static_cast<unsigned char>(piece[0])] == LLAMA_TOKEN_NULL) {
      byteToken[static_cast<unsigned char>(piece[0])] = static_cast<llama_token>(t);
    }
  }
  Constraint constraint(api, vocab, pieces, schema, true);
  for (unsigned char byte : text) {
    const llama_token t = byteToken[byte];
    if (t == LLAMA_TOKEN_NULL) throw ModelError("The model has no token for a byte of the text.");
    if (!constraint.allows(t)) return false;
    constraint.accept(t);
  }
  return constraint.allows(api.llama_vocab_eos(vocab));
}

}  // namespace tavrin::llm
