#include "models/catalogue.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/home.h"
#include "common/output.h"
#include "common/text.h"

namespace tavrin::models {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr const char* kWhisperSource = "https://huggingface.co/ggerganov/whisper.cpp/resolve/main/";

CatalogueModel whisper(const std::string& name, const char* sha1, uint64_t mib, bool isDefault) {
  const bool multilingual = name.find(".en") == std::string::npos;
  return {name,
          ModelKind::kSpeech,
          "ggml-" + name + ".bin",
          std::string(kWhisperSource) + "ggml-" + name + ".bin",
          std::string(sha1),
          DigestKind::kSha1,
          mib * kMiB,
          "MIT",
          multilingual ? "transcription in every language Whisper knows (about 99)" : "English transcription",
          multilingual,
          isDefault};
}

CatalogueModel notes(const std::string& name, const std::string& repo, const std::string& file, uint64_t mib,
                     bool isDefault) {
  return {name,
          ModelKind::kNotes,
          file,
          "https://huggingface.co/" + repo + "/resolve/main/" + file,
          std::nullopt,
          DigestKind::kSha256,
          mib * kMiB,
          "Apache-2.0",
          isDefault ? "notes, titles and summaries (default)" : "notes, titles and summaries on small machines",
          false,
          isDefault};
}

std::vector<CatalogueModel> builtIn() {
  // SHA-1 sums as whisper.cpp's model collection lists them; the notes
  // models' SHA-256 comes from the hub's headers when they are fetched.
  return {
      whisper("tiny.en", "c78c86eb1a8faa21b369bcd33207cc90d64ae9df", 75, false),
      whisper("tiny", "bd577a113a864445d4c299885e0cb97d4ba92b5f", 75, false),
      whisper("base.en", "137c40403d78fd54d454da0f9bd998f78703390c", 142, false),
      whisper("base", "465707469ff3a37a2b9b8d8f89f2f99de7299dac", 142, true),
      whisper("small.en", "db8a495a91d927739e50b3fc1cc4c6b8f6c2d022", 466, false),
      whisper("small", "55356645c2b361a969dfd0ef2c5a50d530afd8d5", 466, false),
      notes("notes", "Qwen/Qwen2.5-1.5B-Instruct-GGUF", "qwen2.5-1.5b-instruct-q4_k_m.gguf", 1066, true),
      notes("notes-small", "Qwen/Qwen2.5-0.5B-Instruct-GGUF", "qwen2.5-0.5b-instruct-q4_k_m.gguf", 469, false),
  };
}

struct Catalogue {
  std::vector<CatalogueModel> models = builtIn();
  std::string caFile;
};

#ifdef TAVRIN_TEST_HOOKS
// Test builds only: a file of lines "model NAME ADDRESS DIGEST BYTES"
// (DIGEST "sha1:HEX", "sha256:HEX" or "hub") replacing an entry's source,
// and "ca PATH" naming the CA bundle to trust. Packages are built without
// this (TAVRIN_TEST_HOOKS=OFF), so they only ever reach the addresses above.
void applyOverride(Catalogue& catalogue) {
  const char* path = std::getenv("TAVRIN_TEST_MODEL_CATALOGUE");
  if (path == nullptr || path[0] == '\0') return;
  // A model the file leaves out is unreachable rather than fetched from its
  // real host: a test never leaves this machine, whatever it forgot to list.
  for (CatalogueModel& model : catalogue.models) model.address = "https://127.0.0.1:9/unlisted/" + model.fileName;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string what, name, address, digest;
    uint64_t bytes = 0;
    words >> what;
    if (what == "ca") words >> catalogue.caFile;
    if (what != "model" || !(words >> name >> address >> digest >> bytes)) continue;
    for (CatalogueModel& model : catalogue.models) {
      if (model.name != name) continue;
      model.address = address;
      model.approximateBytes = bytes;
      model.digest = std::nullopt;
      if (digest.rfind("sha1:", 0) == 0) model.digest = digest.substr(5), model.digestKind = DigestKind::kSha1;
      if (digest.rfind("sha256:", 0) == 0) model.digest = digest.substr(7), model.digestKind = DigestKind::kSha256;
      if (digest == "hub") model.digestKind = DigestKind::kSha256;
    }
  }
}
#endif

const Catalogue& theCatalogue() {
  static const Catalogue catalogue = [] {
    Catalogue c;
#ifdef TAVRIN_TEST_HOOKS
    applyOverride(c);
#endif
    return c;
  }();
  return catalogue;
}

std::string lower(std::string_view s) {
  std::string out;
  for (char c : s) out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return out;
}

// "on"/"off" and their synonyms, in any case and quoted or not; nothing for
// anything else.
std::optional<bool> parseSwitch(std::string_view value) {
  value = trimSpace(value);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    value = trimSpace(value.substr(1, value.size() - 2));
  }
  const std::string v = lower(value);
  for (const char* on : {"on", "1", "yes", "true", "enabled", "enable"}) {
    if (v == on) return true;
  }
  for (const char* off : {"off", "0", "no", "false", "disabled", "disable"}) {
    if (v == off) return false;
  }
  return std::nullopt;
}

// What a models.conf says about downloads: nothing when it has no such line
// (or cannot be read); the last line wins.
struct FileSwitch {
  std::optional<bool> on;
  std::optional<std::string> unknownValue;
};

FileSwitch readSwitchFile(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  FileSwitch result;
  for (bool first = true; std::getline(in, line); first = false) {
    if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    std::string_view text = line;
    text = text.substr(0, text.find_first_of("#;"));
    const size_t separator = text.find_first_of(":=");
    if (separator == std::string_view::npos || lower(trimSpace(text.substr(0, separator))) != "downloads") continue;
    const std::string_view value = trimSpace(text.substr(separator + 1));
    result.on = parseSwitch(value);
    result.unknownValue = result.on ? std::nullopt : std::optional(std::string(value));
  }
  return result;
}

// Off, said once per process on standard error.
bool offBecauseUnknown(const std::string& where, const std::string& value) {
  static std::atomic<bool> said{false};
  if (!said.exchange(true)) {
    writeFailureLine("Model downloads are off: " + where + " sets them to \"" + value +
                     "\", which is neither on nor off.");
  }
  return false;
}

}  // namespace

const std::vector<CatalogueModel>& catalogue() {
  return theCatalogue().models;
}

std::optional<CatalogueModel> findModel(const std::string& name) {
  for (const CatalogueModel& model : catalogue()) {
    if (model.name == name) return model;
  }
  return std::nullopt;
}

CatalogueModel defaultModel(ModelKind kind) {
  for (const CatalogueModel& model : catalogue()) {
    if (model.kind == kind && model.isDefault) return model;
  }
  return catalogue().front();
}

std::string certificateAuthorityFile() {
  return theCatalogue().caFile;
}

ModelPaths ModelPaths::fromProcess() {
  return {xdgHome("XDG_DATA_HOME", ".local/share"), xdgHome("XDG_CONFIG_HOME", ".config"),
          xdgDirs("XDG_DATA_DIRS", "/usr/local/share:/usr/share"), xdgDirs("XDG_CONFIG_DIRS", "/etc/xdg")};
}

std::string ModelPaths::directory(ModelKind kind) const {
  return dataHome + (kind == ModelKind::kSpeech ? "/tavrin/speech/whisper" : "/tavrin/models");
}

std::string ModelPaths::installedPath(const CatalogueModel& model) const {
  return directory(model.kind) + "/" + model.fileName;
}

std::vector<std::string> ModelPaths::systemPaths(const CatalogueModel& model) const {
  std::vector<std::string> paths;
  for (const std::string& dir : dataDirs) {
    paths.push_back(ModelPaths{dir, {}, {}, {}}.installedPath(model));
  }
  return paths;
}

bool downloadsEnabled(const ModelPaths& paths) {
  for (const std::string& dir : paths.configDirs) {
    const std::string path = dir + "/tavrin/models.conf";
    const FileSwitch system = readSwitchFile(path);
    if (system.unknownValue) return offBecauseUnknown(path, *system.unknownValue);
    if (system.on == false) return false;
  }
  if (const char* v = std::getenv("TAVRIN_MODEL_DOWNLOADS"); v != nullptr && v[0] != '\0') {
    if (const std::optional<bool> on = parseSwitch(v)) return *on;
    return offBecauseUnknown("TAVRIN_MODEL_DOWNLOADS", v);
  }
  const std::string path = paths.configHome + "/tavrin/models.conf";
  const FileSwitch user = paths.configHome.empty() ? FileSwitch{} : readSwitchFile(path);
  if (user.unknownValue) return offBecauseUnknown(path, *user.unknownValue);
  return user.on.value_or(true);
}

std::string formatBytes(uint64_t bytes) {
  char text[32];
  const double mb = static_cast<double>(bytes) / 1e6;
  if (mb >= 1000) {
    std::snprintf(text, sizeof text, "%.1f GB", mb / 1000);
  } else {
    std::snprintf(text, sizeof text, "%.0f MB", mb);
  }
  return text;
}

}  // namespace tavrin::models
