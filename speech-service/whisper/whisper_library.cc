#include "speech-service/whisper/whisper_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

#include "common/crash_guard.h"
#include "common/engine_library.h"

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
  return cpuRunsGgmlBaseline();
}

std::vector<std::string> defaultWhisperLibraryDirs() {
  return engineLibraryDirs("tavrin/whisper", TAVRIN_WHISPER_LIBDIR);
}

std::unique_ptr<WhisperLibrary> WhisperLibrary::open(const std::vector<std::string>& dirs) {
  WhisperApi api;
  const OpenedEngineLibrary opened =
      openEngineLibrary(dirs, "libwhisper.so.1", "whisper.cpp is not installed.", [&api](void* handle) {
        std::string missing;
#define TAVRIN_WHISPER_RESOLVE(name)                                      \
  api.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  if (api.name == nullptr && missing.empty()) missing = #name;
        TAVRIN_WHISPER_FUNCTIONS(TAVRIN_WHISPER_RESOLVE)
#undef TAVRIN_WHISPER_RESOLVE
        return missing;
      });
  if (opened.handle == nullptr) throw WhisperLibraryError(opened.failure);
  api.whisper_log_set(&discardLog, nullptr);
  api.ggml_log_set(&discardLog, nullptr);
  api.ggml_set_abort_callback(&reportEngineAbort);
  return std::unique_ptr<WhisperLibrary>(new WhisperLibrary(opened.handle, api));
}

WhisperLibrary::~WhisperLibrary() {
  api_.ggml_set_abort_callback(nullptr);
  ::dlclose(handle_);
}

}  // namespace tavrin::speech
