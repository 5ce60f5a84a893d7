#include "apple-llm/llama_library.h"

#include "apple-llm/crash_guard.h"

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

bool cpuRunsLlama() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("f16c") &&
         __builtin_cpu_supports("bmi2");
#else
  return true;  // other architectures are built for their own baseline
#endif
}

std::vector<std::string> defaultLibraryDirs() {
  std::vector<std::string> dirs;
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) dirs.push_back((self.parent_path().parent_path() / "lib" / "tavrin").string());
  dirs.push_back(TAVRIN_LLAMA_LIBDIR);
  return dirs;
}

std::unique_ptr<LlamaLibrary> LlamaLibrary::open(const std::vector<std::string>& dirs) {
  // ggml reads this while it loads: without it, a failure would attach a
  // debugger to print a backtrace, on standard output.
  ::setenv("GGML_NO_BACKTRACE", "1", 0);
  std::string failure = "llama.cpp is not installed.";
  for (const std::string& dir : dirs) {
    const std::string path = dir + "/libllama.so";
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) continue;
    // Never unloaded, even when the last handle closes: the engine's
    // OpenMP worker threads and exit handlers outlive any one use of it.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      failure = why != nullptr ? why : "cannot load " + path;
      continue;
    }
    LlamaApi api;
    std::string missing;
#define TAVRIN_LLAMA_RESOLVE(name)                                              \
  api.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name));      \
  if (api.name == nullptr && missing.empty()) missing = #name;
    TAVRIN_LLAMA_FUNCTIONS(TAVRIN_LLAMA_RESOLVE)
#undef TAVRIN_LLAMA_RESOLVE
    if (!missing.empty()) {
      ::dlclose(handle);
      failure = path + " has no " + missing;
      continue;
    }
    api.ggml_set_abort_callback(&reportEngineAbort);
    return std::unique_ptr<LlamaLibrary>(new LlamaLibrary(handle, api));
  }
  throw LibraryError(failure);
}

LlamaLibrary::~LlamaLibrary() {
  api_.ggml_set_abort_callback(nullptr);
  ::dlclose(handle_);
}

}  // namespace tavrin::llm
