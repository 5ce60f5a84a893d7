#include "apple-llm/llama_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "apple-llm/crash_guard.h"
#include "common/engine_library.h"

namespace tavrin::llm {
namespace {

// Called by ggml instead of abort(): one line on standard error, exit
// status 1. It cannot return (ggml aborts when it does) and may run on any
// thread.
[[noreturn]] void reportEngineAbort(const char* message) {
  reportAbortAndExit("The language model failed: ", message);
}

// Loads the ggml libraries of `dir` by their paths, dependencies first.
// libllama names them only by soname, which the dynamic loader looks up in
// LD_LIBRARY_PATH before libllama's own run path: a directory there with
// another ggml (whisper.cpp's, say) would give llama.cpp a ggml it was not
// built with. Once loaded, a library answers for its soname, so these are
// the ones libllama gets. Never unloaded, like the engine itself.
void preloadGgml(const std::string& dir) {
  for (const char* file : {"libggml-base.so.0", "libggml-cpu.so.0", "libggml.so.0"}) {
    const std::string path = dir + "/" + file;
    if (::access(path.c_str(), F_OK) == 0) ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  }
}

}  // namespace

bool cpuRunsLlama() {
  return cpuRunsGgmlBaseline();
}

std::vector<std::string> defaultLibraryDirs() {
  return engineLibraryDirs("tavrin/llama", TAVRIN_LLAMA_LIBDIR);
}

std::unique_ptr<LlamaLibrary> LlamaLibrary::open(const std::vector<std::string>& dirs) {
  LlamaApi api;
  OpenedEngineLibrary opened{nullptr, "llama.cpp is not installed."};
  for (const std::string& dir : dirs) {
    if (::access((dir + "/libllama.so.0").c_str(), F_OK) != 0) continue;
    preloadGgml(dir);
    const OpenedEngineLibrary attempt =
        openEngineLibrary({dir}, "libllama.so.0", "llama.cpp is not installed.", [&api](void* handle) {
          std::string missing;
#define TAVRIN_LLAMA_RESOLVE(name)                                        \
  api.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  if (api.name == nullptr && missing.empty()) missing = #name;
          TAVRIN_LLAMA_FUNCTIONS(TAVRIN_LLAMA_RESOLVE)
#undef TAVRIN_LLAMA_RESOLVE
          return missing;
        });
    opened = attempt;
    if (opened.handle != nullptr) break;
  }
  if (opened.handle == nullptr) throw LibraryError(opened.failure);
  api.ggml_set_abort_callback(&reportEngineAbort);
  return std::unique_ptr<LlamaLibrary>(new LlamaLibrary(opened.handle, api));
}

LlamaLibrary::~LlamaLibrary() {
  api_.ggml_set_abort_callback(nullptr);
  ::dlclose(handle_);
}

}  // namespace tavrin::llm
