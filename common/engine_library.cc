#include "common/engine_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

namespace tavrin {

bool cpuRunsGgmlBaseline() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("f16c") &&
         __builtin_cpu_supports("bmi2");
#else
  return true;  // other architectures are built for their own baseline
#endif
}

std::vector<std::string> engineLibraryDirs(const std::string& subdir, const std::string& builtDir) {
  std::vector<std::string> dirs;
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) dirs.push_back((self.parent_path().parent_path() / "lib" / subdir).string());
  if (!builtDir.empty()) dirs.push_back(builtDir);
  return dirs;
}

OpenedEngineLibrary openEngineLibrary(const std::vector<std::string>& dirs, const std::string& file,
                                      const std::string& notInstalled,
                                      const std::function<std::string(void*)>& resolve) {
  ::setenv("GGML_NO_BACKTRACE", "1", 0);
  OpenedEngineLibrary opened{nullptr, notInstalled};
  for (const std::string& dir : dirs) {
    const std::string path = dir + "/" + file;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) continue;
    // Never unloaded, even when the last handle closes: the engine's
    // OpenMP worker threads and exit handlers outlive any one use of it.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      opened.failure = why != nullptr ? why : "cannot load " + path;
      continue;
    }
    const std::string missing = resolve(handle);
    if (!missing.empty()) {
      ::dlclose(handle);
      opened.failure = path + " has no " + missing;
      continue;
    }
    opened.handle = handle;
    return opened;
  }
  return opened;
}

}  // namespace tavrin
