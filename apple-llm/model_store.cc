#include "apple-llm/model_store.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <system_error>

#include "common/home.h"
#include "models/installer.h"

namespace tavrin::llm {
namespace {

namespace fs = std::filesystem;

struct GgufDeleter {
  const LlamaApi* api;
  void operator()(gguf_context* ctx) const { api->gguf_free(ctx); }
};
using GgufPtr = std::unique_ptr<gguf_context, GgufDeleter>;

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A tavrin-models download (<name>.gguf.part beside <name>.gguf.lock) is in
// progress only while its lock is held; otherwise it is paused, to resume
// with the next install.
bool isInstallInProgress(const std::string& path) {
  if (endsWith(path, ".gguf.part")) {
    const std::string lock = path.substr(0, path.size() - 5) + ".lock";
    return !fs::exists(lock) || models::lockHeld(lock);
  }
  return endsWith(path, ".gguf.partial") || endsWith(path, ".gguf.download");
}

}  // namespace

ModelSearchPaths ModelSearchPaths::fromEnvironment(const GetEnv& getenv) {
  ModelSearchPaths paths;
  if (std::string home = xdgHome("XDG_DATA_HOME", ".local/share", getenv); !home.empty()) {
    paths.dataDirs.push_back(std::move(home));
  }
  for (std::string& dir : xdgDirs("XDG_DATA_DIRS", "/usr/local/share:/usr/share", getenv)) {
    paths.dataDirs.push_back(std::move(dir));
  }
  return paths;
}

bool ranksBefore(const ModelCandidate& a, const ModelCandidate& b) {
  if (a.modifiedNs != b.modifiedNs) return a.modifiedNs > b.modifiedNs;
  if (a.dirIndex != b.dirIndex) return a.dirIndex < b.dirIndex;
  return a.path < b.path;
}

InstalledModels findModels(const ModelSearchPaths& paths) {
  InstalledModels installed;
  for (size_t d = 0; d < paths.dataDirs.size(); ++d) {
    const fs::path models = fs::path(paths.dataDirs[d]) / "tavrin" / "models";
    std::error_code ec;
    for (fs::directory_iterator it(models, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      std::error_code fileError;
      if (endsWith(name, ".gguf") && it->is_regular_file(fileError)) {
        const fs::file_time_type modified = fs::last_write_time(it->path(), fileError);
        const int64_t ns =
            fileError ? 0 : std::chrono::duration_cast<std::chrono::nanoseconds>(modified.time_since_epoch()).count();
        installed.models.push_back({it->path().string(), d, ns});
      } else if (isInstallInProgress(it->path().string())) {
        installed.installing = true;
      }
    }
  }
  std::sort(installed.models.begin(), installed.models.end(), ranksBefore);
  return installed;
}

ModelChoice chooseModel(const InstalledModels& installed,
                        const std::function<ModelAvailability(const std::string& path)>& check) {
  using R = UnavailableReason;
  bool notReady = installed.installing;
  bool tooLarge = false;
  for (const ModelCandidate& candidate : installed.models) {
    const ModelAvailability a = check(candidate.path);
    if (a.available) return {a, candidate.path};
    notReady = notReady || a.reason == R::kModelNotReady;
    tooLarge = tooLarge || a.reason == R::kDeviceNotEligible;
  }
  if (notReady) return {ModelAvailability::unavailable(R::kModelNotReady), {}};
  if (installed.models.empty()) return {ModelAvailability::unavailable(R::kAppleIntelligenceNotEnabled), {}};
  return {ModelAvailability::unavailable(tooLarge ? R::kDeviceNotEligible : R::kOther), {}};
}

ModelAvailability inspectModel(const LlamaApi& api, const std::string& path, uint64_t physicalMemory) {
  using R = UnavailableReason;
  GgufPtr gguf(api.gguf_init_from_file(path.c_str(), gguf_init_params{/*no_alloc=*/true, /*ctx=*/nullptr}), {&api});
  if (!gguf) return ModelAvailability::unavailable(R::kOther);
  if (api.gguf_find_key(gguf.get(), "general.architecture") < 0 ||
      api.gguf_find_key(gguf.get(), "tokenizer.ggml.model") < 0 || api.gguf_get_n_tensors(gguf.get()) == 0) {
    return ModelAvailability::unavailable(R::kOther);
  }
  uint64_t weightBytes = 0;
  uint64_t dataEnd = 0;
  for (int64_t i = 0; i < api.gguf_get_n_tensors(gguf.get()); ++i) {
    const uint64_t size = api.gguf_get_tensor_size(gguf.get(), i);
    weightBytes += size;
    dataEnd = std::max<uint64_t>(dataEnd, api.gguf_get_tensor_offset(gguf.get(), i) + size);
  }
  if (weightBytes > physicalMemory) return ModelAvailability::unavailable(R::kDeviceNotEligible);
  std::error_code ec;
  const uintmax_t fileSize = fs::file_size(path, ec);
  if (ec) return ModelAvailability::unavailable(R::kOther);
  if (api.gguf_get_data_offset(gguf.get()) + dataEnd > fileSize)
    return ModelAvailability::unavailable(R::kModelNotReady);
  return ModelAvailability::ready();
}

uint64_t physicalMemoryBytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return UINT64_MAX;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

}  // namespace tavrin::llm
