#include "models/catalogue.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

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

std::string xdgOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && v[0] == '/' ? std::string(v) : fallback;
}

// "on"/"off" and their synonyms; nothing for anything else.
std::optional<bool> parseSwitch(std::string value) {
  std::string v;
  for (char c : value) {
    if (std::isspace(static_cast<unsigned char>(c)) == 0) v.push_back(static_cast<char>(std::tolower(c)));
  }
  if (v == "on" || v == "1" || v == "yes" || v == "true") return true;
  if (v == "off" || v == "0" || v == "no" || v == "false") return false;
  return std::nullopt;
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
  const char* home = std::getenv("HOME");
  const std::string homeDir = home != nullptr ? home : "";
  return {xdgOr("XDG_DATA_HOME", homeDir + "/.local/share"), xdgOr("XDG_CONFIG_HOME", homeDir + "/.config")};
}

std::string ModelPaths::directory(ModelKind kind) const {
  return dataHome + (kind == ModelKind::kSpeech ? "/tavrin/speech/whisper" : "/tavrin/models");
}

std::string ModelPaths::installedPath(const CatalogueModel& model) const {
  return directory(model.kind) + "/" + model.fileName;
}

bool downloadsEnabled(const ModelPaths& paths) {
  if (const char* v = std::getenv("TAVRIN_MODEL_DOWNLOADS")) {
    if (const std::optional<bool> on = parseSwitch(v)) return *on;
  }
  std::ifstream in(paths.configHome + "/tavrin/models.conf");
  std::string line;
  std::optional<bool> setting;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (line.rfind('#', 0) == 0 || eq == std::string::npos) continue;
    std::string key;
    for (char c : line.substr(0, eq)) {
      if (std::isspace(static_cast<unsigned char>(c)) == 0) key.push_back(c);
    }
    if (key == "downloads") setting = parseSwitch(line.substr(eq + 1));
  }
  return setting.value_or(true);
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
