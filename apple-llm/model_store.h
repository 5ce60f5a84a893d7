// Where the on-device model lives and whether it can be used.
//
// A model is a GGUF file installed as tavrin/models/<name>.gguf under
// $XDG_DATA_HOME (default ~/.local/share), then under each directory of
// $XDG_DATA_DIRS (default /usr/local/share:/usr/share). The first directory
// holding a .gguf file wins; within it the first name in byte order. A file
// named <name>.gguf.part (or .partial, .download) is an install in progress.
//
// Inspection reads only the GGUF header and tensor table, never the weights,
// so it is cheap enough for every `status` run.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "apple-llm/llama_library.h"
#include "apple-llm/model.h"

namespace tavrin::llm {

// The data directories to search, in order.
struct ModelSearchPaths {
  std::vector<std::string> dataDirs;

  // From XDG_DATA_HOME, HOME and XDG_DATA_DIRS as `getenv` reports them
  // (unset or empty variables take their defaults; relative entries are
  // ignored, as the XDG rules say).
  static ModelSearchPaths fromEnvironment(const std::function<const char*(const char*)>& getenv);
};

struct ModelLocation {
  enum class State { kNone, kInstalling, kFound };
  State state = State::kNone;
  std::string path;  // set when kFound
};

ModelLocation locateModel(const ModelSearchPaths& paths);

// Availability of the GGUF file at `path` on a machine with `physicalMemory`
// bytes: its weights must fit in memory (else kDeviceNotEligible), its data
// must all be present (a shorter file is a copy in progress: kModelNotReady),
// and it must be a GGUF language model (else kOther). Logging of the GGUF
// reader goes wherever the caller has routed ggml's log.
ModelAvailability inspectModel(const LlamaApi& api, const std::string& path, uint64_t physicalMemory);

// Both steps together.
ModelAvailability modelAvailability(const LlamaApi& api, const ModelSearchPaths& paths, uint64_t physicalMemory);

uint64_t physicalMemoryBytes();

}  // namespace tavrin::llm
