// whisper.cpp loaded at run time.
//
// The speech helper never links whisper.cpp: a machine without it, or with a
// copy that does not load, or a CPU that cannot run it, still transcribes
// with the built-in engine. whisper.cpp's headers are used for its types
// only; every function the helper calls is resolved once, here, into one
// table that lives as long as the WhisperLibrary that loaded it.
//
// Where it is looked for, in order (the first copy that loads wins):
//   1. <directory of this program>/../lib/tavrin/whisper/libwhisper.so.1 (an
//      installed helper; whisper.cpp's own ggml sits beside it and is found
//      through its $ORIGIN run path, apart from any other ggml);
//   2. the lib directory of the whisper.cpp installation this helper was
//      built against (the build tree's fallback).
//
// The libraries are built for a fixed x86-64 baseline (AVX2, FMA, F16C,
// BMI2); on a CPU without it they would die on an illegal instruction, so
// cpuRunsWhisper() is asked before anything is loaded.
#pragma once

#include <ggml.h>
#include <whisper.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrin::speech {

// clang-format off
#define TAVRIN_WHISPER_FUNCTIONS(X) \
  X(whisper_context_default_params) \
  X(whisper_init_from_file_with_params_no_state) \
  X(whisper_free) \
  X(whisper_init_state) \
  X(whisper_free_state) \
  X(whisper_full_default_params) \
  X(whisper_full_with_state) \
  X(whisper_full_n_segments_from_state) \
  X(whisper_full_get_segment_t0_from_state) \
  X(whisper_full_get_segment_t1_from_state) \
  X(whisper_full_get_segment_text_from_state) \
  X(whisper_lang_id) \
  X(whisper_lang_max_id) \
  X(whisper_lang_str) \
  X(whisper_log_set) \
  X(ggml_log_set) \
  X(ggml_set_abort_callback)
// clang-format on

// The functions of whisper.cpp (and of ggml beneath it) that the helper
// calls, under their own names.
struct WhisperApi {
#define TAVRIN_WHISPER_POINTER(name) decltype(&::name) name = nullptr;
  TAVRIN_WHISPER_FUNCTIONS(TAVRIN_WHISPER_POINTER)
#undef TAVRIN_WHISPER_POINTER
};

// whisper.cpp is not there, or does not load, or lacks a function.
class WhisperLibraryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether this CPU runs the instructions the libraries are built with.
bool cpuRunsWhisper();

// The lookup order above, for this program.
std::vector<std::string> defaultWhisperLibraryDirs();

// One loaded copy of whisper.cpp. While it exists, the engine's log lines
// (whisper's and ggml's) go nowhere, and a failed assertion inside ggml ends
// the process with one line on standard error and exit status 1 (ggml would
// otherwise abort, and may print a debugger's backtrace on standard output).
class WhisperLibrary {
 public:
  // The first of `dirs` whose libwhisper.so.1 loads with every function of
  // WhisperApi. Throws WhisperLibraryError naming the last failure.
  static std::unique_ptr<WhisperLibrary> open(const std::vector<std::string>& dirs);
  ~WhisperLibrary();
  WhisperLibrary(const WhisperLibrary&) = delete;
  WhisperLibrary& operator=(const WhisperLibrary&) = delete;

  const WhisperApi& api() const { return api_; }

 private:
  WhisperLibrary(void* handle, const WhisperApi& api) : handle_(handle), api_(api) {}

  void* handle_;
  WhisperApi api_;
};

}  // namespace tavrin::speech
