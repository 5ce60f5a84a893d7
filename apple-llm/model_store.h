// Where the on-device models live, which one is used, and whether a file is
// a whole model that fits this machine.
//
// A model is a GGUF file installed as tavrin/models/<name>.gguf under
// $XDG_DATA_HOME (default ~/.local/share), then under each directory of
// $XDG_DATA_DIRS (default /usr/local/share:/usr/share). A file named
// <name>.gguf.part (or .partial, .download) is an install in progress; it is
// never used, and never keeps an installed model from being used.
//
// Of several models, the best usable one wins (chooseModel): candidates are
// taken in the order of ranksBefore, and a damaged, partial or unsuitable
// file only passes the turn to the next.
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
#include "common/home.h"

namespace tavrin::llm {

// The data directories to search, in order.
struct ModelSearchPaths {
  std::vector<std::string> dataDirs;

  // From XDG_DATA_HOME, HOME and XDG_DATA_DIRS as `getenv` reports them,
  // by the rule of common/home.h (unset, empty or relative values take
  // their defaults; a home from the password database when HOME is not
  // absolute).
  static ModelSearchPaths fromEnvironment(const GetEnv& getenv = ::getenv);
};

// An installed model file as the ranking sees it.
struct ModelCandidate {
  std::string path;
  size_t dirIndex = 0;     // its data directory's place in the search order
  int64_t modifiedNs = 0;  // modification time, ns since the epoch
};

struct InstalledModels {
  std::vector<ModelCandidate> models;  // best first (ranksBefore)
  bool installing = false;             // an install in progress is there
};

// The one ranking of installed models: whether `a` is tried before `b`.
// The newest file first (a model just installed is the one the user
// wants), then the search order of the directories (the user's own before
// the system's), then the path in byte order; a total order, so the choice
// never depends on the order a directory lists its files in.
bool ranksBefore(const ModelCandidate& a, const ModelCandidate& b);

// Every regular *.gguf file in the search directories, ranked.
InstalledModels findModels(const ModelSearchPaths& paths);

struct ModelChoice {
  ModelAvailability availability;
  std::string path;  // the chosen model, when available
};

// The first of `installed.models` that `check` finds available. When none
// is, the reason that tells the user most: a model still being installed or
// copied (kModelNotReady), else one too large for this device
// (kDeviceNotEligible), else kOther; with no model at all,
// kAppleIntelligenceNotEnabled.
ModelChoice chooseModel(const InstalledModels& installed,
                        const std::function<ModelAvailability(const std::string& path)>& check);

// Availability of the GGUF file at `path` on a machine with `physicalMemory`
// bytes: its weights must fit in memory (else kDeviceNotEligible), its data
// must all be present (a shorter file is a copy in progress: kModelNotReady),
// and it must be a GGUF language model (else kOther). Logging of the GGUF
// reader goes wherever the caller has routed ggml's log.
ModelAvailability inspectModel(const LlamaApi& api, const std::string& path, uint64_t physicalMemory);

uint64_t physicalMemoryBytes();

}  // namespace tavrin::llm
