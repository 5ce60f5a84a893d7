// The models this system knows how to download: where each comes from, how
// it is checked, how big it is, under which licence, what it serves and
// where it is installed.
//
// A model is installed as <data home>/tavrin/<folder>/<file name>, where the
// data home is $XDG_DATA_HOME (default ~/.local/share) and the folder is
// speech/whisper for Whisper models and models for notes models: the places
// the speech and notes helpers already search. While it downloads, the
// bytes go to <file name>.part beside it and <file name>.lock is held
// (flock) by the downloading process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrin::models {

enum class ModelKind { kSpeech, kNotes };

enum class DigestKind { kSha1, kSha256 };

struct CatalogueModel {
  std::string name;  // what users type: "base", "notes-small"
  ModelKind kind = ModelKind::kSpeech;
  std::string fileName;  // ggml-base.bin
  std::string address;   // https://...
  // The pinned checksum (lower-case hex); nothing when it is taken from the
  // server's large-file headers at download time (x-linked-etag, SHA-256).
  std::optional<std::string> digest;
  DigestKind digestKind = DigestKind::kSha1;
  uint64_t approximateBytes = 0;  // for display and the free-space check
  std::string licence;
  std::string serves;         // "every language Whisper knows", ...
  bool multilingual = false;  // speech: serves every Whisper language
  // The model fetched by itself when a locale needs one (speech) or the one
  // `tavrin-models install notes` means.
  bool isDefault = false;
};

// The catalogue, in display order. Builds with test hooks read
// $TAVRIN_TEST_MODEL_CATALOGUE (see catalogueOverride) over it.
const std::vector<CatalogueModel>& catalogue();

// The entry called `name`, or nothing.
std::optional<CatalogueModel> findModel(const std::string& name);

// The default model of `kind`.
CatalogueModel defaultModel(ModelKind kind);

// Extra trust for HTTPS: a CA bundle file, set only by the test hook;
// empty means the system's trust store.
std::string certificateAuthorityFile();

// Where models are installed and where the switch is read.
// Homes and directory lists by the rule of common/home.h.
struct ModelPaths {
  std::string dataHome;                 // $XDG_DATA_HOME or ~/.local/share
  std::string configHome;               // $XDG_CONFIG_HOME or ~/.config
  std::vector<std::string> dataDirs;    // $XDG_DATA_DIRS: models installed for everyone
  std::vector<std::string> configDirs;  // $XDG_CONFIG_DIRS: the administrator's switch

  static ModelPaths fromProcess();
  std::string directory(ModelKind kind) const;
  std::string installedPath(const CatalogueModel& model) const;
  // Where a copy installed for every user would be, in dataDirs' order.
  std::vector<std::string> systemPaths(const CatalogueModel& model) const;
  std::string partialPath(const CatalogueModel& model) const { return installedPath(model) + ".part"; }
  std::string lockPath(const CatalogueModel& model) const { return installedPath(model) + ".lock"; }
};

// Whether downloads may happen. The switch is a line "downloads = off" (or
// on) in tavrin/models.conf, read in any case, with ":" for "=", quotes,
// a trailing "#" or ";" comment and a byte-order mark; off, 0, no, false,
// disabled and their opposites are understood. In order:
//   1. any <config dir>/tavrin/models.conf ($XDG_CONFIG_DIRS, /etc/xdg)
//      that says off turns downloads off for every user, whatever follows;
//   2. the environment variable TAVRIN_MODEL_DOWNLOADS;
//   3. <config home>/tavrin/models.conf;
//   4. on.
// A value that is neither on nor off turns downloads off: it fails closed,
// and the first time in a process it says so in one line on standard error.
bool downloadsEnabled(const ModelPaths& paths);

// Human sizes: "142 MB", "1.1 GB".
std::string formatBytes(uint64_t bytes);

}  // namespace tavrin::models
