#include "apple-llm/llama_library.h"

#include "apple-llm/crash_guard.h"
#include "common/engine_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace tavrin::llm {
namespace {

// Called by ggml instead of abort(): one line on standard error, exit
// status 1. It cannot return (ggml aborts when it does) and may run on any
// thread.
[[noreturn]] void reportEngineAbort(const char* message) {
  reportAbortAndExit("The language model failed: ", message);
}

}  // namespace

bool cpuRunsLlama() { return cpuRunsGgmlBaseline(); }

std::vector<std::string> defaultLibraryDirs() { return engineLibraryDirs("tavrin/llama", TAVRIN_LLAMA_LIBDIR); }

std::unique_ptr<LlamaLibrary> LlamaLibrary::open(const std::vector<std::string>& dirs) {
  LlamaApi api;
  const OpenedEngineLibrary opened =
      openEngineLibrary(dirs, "libllama.so.0", "llama.cpp is not installed.", [&api](void* handle) {
        std::string missing;
#define TAVRIN_LLAMA_RESOLVE(name)                                         \
  api.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  if (api.name == nullptr && missing.empty()) missing = #name;
        TAVRIN_LLAMA_FUNCTIONS(TAVRIN_LLAMA_RESOLVE)
#undef TAVRIN_LLAMA_RESOLVE
        return missing;
      });
  if (opened.handle == nullptr) throw LibraryError(opened.failure);
  api.ggml_set_abort_callback(&reportEngineAbort);
  return std::unique_ptr<LlamaLibrary>(new LlamaLibrary(opened.handle, api));
}

LlamaLibrary::~LlamaLibrary() {
  api_.ggml_set_abort_callback(nullptr);
  ::dlclose(handle_);
}

}  // namespace tavrin::llm
