#include "speech-service/whisper_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

#include "common/crash_guard.h"

namespace tavrin::speech {
namespace {

// Called by ggml instead of abort(): one line on standard error, exit
// status 1. It cannot return (ggml aborts when it does) and may run on any
// thread.
[[noreturn]] void reportEngineAbort(const char* message) {
  reportAbortAndExit("The speech engine failed: ", message);
}

// The engine's log lines: none of them reaches standard output or standard
// error. Failures come back to the helper as return values and become its
// own one-line reports.
void discardLog(ggml_log_level, const char*, void*) {}

}  // namespace

bool cpuRunsWhisper() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("f16c") &&
         __builtin_cpu_supports("bmi2");
#else
  return true;  // other architectures are built for their own baseline
#endif
}

std::vector<std::string> defaultWhisperLibraryDirs() {
  std::vector<std::string> dirs;
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) dirs.push_back((self.parent_path().parent_path() / "lib" / "tavrin" / "whisper").string());
  dirs.push_back(TAVRIN_WHISPER_LIBDIR);
  return dirs;
}

std::unique_ptr<WhisperLibrary> WhisperLibrary::open(const std::vector<std::string>& dirs) {
  // ggml reads this while it loads: without it, a failure would attach a
  // debugger to print a backtrace, on standard output.
  ::setenv("GGML_NO_BACKTRACE", "1", 0);
  std::string failure = "whisper.cpp is not installed.";
  for (const std::string& dir : dirs) {
    const std::string path = dir + "/libwhisper.so";
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
    WhisperApi api;
    std::string missing;
#define TAVRIN_WHISPER_RESOLVE(name)                                      \
  api.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  if (api.name == nullptr && missing.empty()) missing = #name;
    TAVRIN_WHISPER_FUNCTIONS(TAVRIN_WHISPER_RESOLVE)
#undef TAVRIN_WHISPER_RESOLVE
    if (!missing.empty()) {
      ::dlclose(handle);
      failure = path + " has no " + missing;
      continue;
    }
    api.whisper_log_set(&discardLog, nullptr);
    api.ggml_log_set(&discardLog, nullptr);
    api.ggml_set_abort_callback(&reportEngineAbort);
    return std::unique_ptr<WhisperLibrary>(new WhisperLibrary(handle, api));
  }
  throw WhisperLibraryError(failure);
}

WhisperLibrary::~WhisperLibrary() {
  api_.ggml_set_abort_callback(nullptr);
  ::dlclose(handle_);
}

}  // namespace tavrin::speech
