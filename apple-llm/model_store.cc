#include "apple-llm/model_store.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>

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

ModelSearchPaths ModelSearchPaths::fromEnvironment(const std::function<const char*(const char*)>& getenv) {
  auto value = [&](const char* name) -> std::string {
    const char* v = getenv(name);
    return v == nullptr ? std::string() : std::string(v);
  };
  ModelSearchPaths paths;
  std::string home = value("XDG_DATA_HOME");
  if (home.empty() || home.front() != '/') {
    const std::string userHome = value("HOME");
    home = userHome.empty() ? std::string() : userHome + "/.local/share";
  }
  if (!home.empty()) paths.dataDirs.push_back(home);
  std::string dirs = value("XDG_DATA_DIRS");
  if (dirs.empty()) dirs = "/usr/local/share:/usr/share";
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t colon = std::min(dirs.find(':', start), dirs.size());
    const std::string dir = dirs.substr(start, colon - start);
    if (!dir.empty() && dir.front() == '/') paths.dataDirs.push_back(dir);
    start = colon + 1;
  }
  return paths;
}

ModelLocation locateModel(const ModelSearchPaths& paths) {
  bool installing = false;
  for (const std::string& dir : paths.dataDirs) {
    const fs::path models = fs::path(dir) / "tavrin" / "models";
    std::error_code ec;
    std::vector<std::string> found;
    for (fs::directory_iterator it(models, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      std::error_code typeError;
      if (endsWith(name, ".gguf") && it->is_regular_file(typeError)) {
        found.push_back(it->path().string());
      } else if (isInstallInProgress(it->path().string())) {
        installing = true;
      }
    }
    if (!found.empty()) {
      std::sort(found.begin(), found.end());
      return {ModelLocation::State::kFound, found.front()};
    }
  }
  return {installing ? ModelLocation::State::kInstalling : ModelLocation::State::kNone, {}};
}

ModelAvailability inspectModel(const LlamaApi& api, const std::string& path, uint64_t physicalMemory) {
  using R = UnavailableReason;
  GgufPtr gguf(api.gguf_init_from_file(path.c_str(), gguf_init_params{/*no_alloc=*/true, /*ctx=*/nullptr}), {&api});
  if (!gguf) return ModelAvailability::unavailable(R::kOther);
  if (api.gguf_find_key(gguf.get(), "general.architecture") < 0 || api.gguf_find_key(gguf.get(), "tokenizer.ggml.model") < 0 ||
      api.gguf_get_n_tensors(gguf.get()) == 0) {
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
  if (api.gguf_get_data_offset(gguf.get()) + dataEnd > fileSize) return ModelAvailability::unavailable(R::kModelNotReady);
  return ModelAvailability::ready();
}

ModelAvailability modelAvailability(const LlamaApi& api, const ModelSearchPaths& paths, uint64_t physicalMemory) {
  const ModelLocation location = locateModel(paths);
  switch (location.state) {
    case ModelLocation::State::kNone:
      return ModelAvailability::unavailable(UnavailableReason::kAppleIntelligenceNotEnabled);
    case ModelLocation::State::kInstalling:
      return ModelAvailability::unavailable(UnavailableReason::kModelNotReady);
    case ModelLocation::State::kFound:
      break;
  }
  return inspectModel(api, location.path, physicalMemory);
}

uint64_t physicalMemoryBytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return UINT64_MAX;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

}  // namespace tavrin::llm
