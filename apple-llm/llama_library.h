// llama.cpp loaded at run time.
//
// The helper never links llama.cpp: a machine without it, or with a copy that
// does not load, still runs every command and reports the model service as
// unusable. llama.cpp's headers are used for its types only; every function
// the helper calls is resolved once, here, into one table that lives as long
// as the LlamaLibrary that loaded it.
//
// Where it is looked for, in order (the first copy that loads wins):
//   1. <directory of this program>/../lib/tavrin/llama/libllama.so.0 (an installed
//      helper, whose libraries find each other through $ORIGIN run paths);
//   2. the lib directory of the llama.cpp installation this helper was built
//      against (the build tree's fallback).
//
// The libraries are built for a fixed x86-64 baseline (AVX2, FMA, F16C,
// BMI2); on a CPU without it they would die on an illegal instruction, so
// cpuRunsLlama() is asked before anything is loaded.
#pragma once

#include <ggml.h>
#include <gguf.h>
#include <llama.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrin::llm {

// clang-format off
#define TAVRIN_LLAMA_FUNCTIONS(X) \
  X(llama_backend_init) \
  X(llama_backend_free) \
  X(llama_log_set) \
  X(llama_model_default_params) \
  X(llama_model_load_from_file) \
  X(llama_model_free) \
  X(llama_model_get_vocab) \
  X(llama_model_chat_template) \
  X(llama_model_n_ctx_train) \
  X(llama_chat_apply_template) \
  X(llama_tokenize) \
  X(llama_token_to_piece) \
  X(llama_vocab_n_tokens) \
  X(llama_vocab_is_eog) \
  X(llama_vocab_get_attr) \
  X(llama_vocab_eos) \
  X(llama_context_default_params) \
  X(llama_init_from_model) \
  X(llama_free) \
  X(llama_batch_get_one) \
  X(llama_decode) \
  X(llama_get_logits_ith) \
  X(llama_sampler_chain_default_params) \
  X(llama_sampler_chain_init) \
  X(llama_sampler_chain_add) \
  X(llama_sampler_init_temp) \
  X(llama_sampler_init_dist) \
  X(llama_sampler_init_grammar) \
  X(llama_sampler_apply) \
  X(llama_sampler_accept) \
  X(llama_sampler_free) \
  X(ggml_set_abort_callback) \
  X(gguf_init_from_file) \
  X(gguf_free) \
  X(gguf_find_key) \
  X(gguf_get_n_tensors) \
  X(gguf_get_tensor_size) \
  X(gguf_get_tensor_offset) \
  X(gguf_get_data_offset)
// clang-format on

// The functions of llama.cpp (and of ggml beneath it) that the helper calls,
// under their own names.
struct LlamaApi {
#define TAVRIN_LLAMA_POINTER(name) decltype(&::name) name = nullptr;
  TAVRIN_LLAMA_FUNCTIONS(TAVRIN_LLAMA_POINTER)
#undef TAVRIN_LLAMA_POINTER
};

// llama.cpp is not there, or does not load, or lacks a function.
class LibraryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether this CPU runs the instructions the libraries are built with.
bool cpuRunsLlama();

// The lookup order above, for this program.
std::vector<std::string> defaultLibraryDirs();

// One loaded copy of llama.cpp. While it exists, a failed assertion inside
// ggml ends the process with one line on standard error and exit status 1
// (ggml would otherwise abort, and may print a debugger's backtrace on
// standard output).
class LlamaLibrary {
 public:
  // The first of `dirs` whose libllama.so loads with every function of
  // LlamaApi. Throws LibraryError naming the last failure.
  static std::unique_ptr<LlamaLibrary> open(const std::vector<std::string>& dirs);
  ~LlamaLibrary();
  LlamaLibrary(const LlamaLibrary&) = delete;
  LlamaLibrary& operator=(const LlamaLibrary&) = delete;

  const LlamaApi& api() const { return api_; }

 private:
  LlamaLibrary(void* handle, const LlamaApi& api) : handle_(handle), api_(api) {}

  void* handle_;
  LlamaApi api_;
};

}  // namespace tavrin::llm
