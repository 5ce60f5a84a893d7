// Downloads a catalogue model into place, safely and once.
//
//   ModelInstaller installer(*makeCurlClient(), ModelPaths::fromProcess());
//   installer.install(*findModel("base"), observer);   // the installed path
//
// What install() guarantees, whatever fails and when:
//   - An installed file is never opened, replaced or removed: install()
//     returns at once when it is there (also when it appears meanwhile).
//   - Bytes go to <file>.part beside the destination; the file is renamed
//     into place only after its size (when the server declares one) and its
//     checksum (the catalogue's, or the SHA-256 the server declares) match.
//     Neither the .part nor the .lock file is taken as a model by any helper.
//   - One process downloads a model at a time: <file>.lock is held (flock)
//     for the whole download; a second process waits for it (observer
//     waiting()) and then finds the model installed.
//   - A cut connection resumes where it stopped (a range request), here up
//     to four times while bytes keep arriving, and in a later run from the
//     .part that stays; a wrong checksum, a wrong size, a server error, a
//     full disk or a file the server cannot resume deletes the .part.
//   - observer.proceed() returning false (a stop signal) ends the download
//     within about a second: the .part stays for a later resume.
//   - The size and checksum are of the bytes read back from the .part, not
//     of what the server sent: a second thread reads the file a few
//     megabytes behind the writer (from its first byte, a kept prefix
//     included), so when the last byte is written only the tail is left.
//   - Memory does not grow with the file: the body is written, and read
//     back, piece by piece.
// Every failure is an InstallError whose what() is one line for the user.
// install() blocks the calling thread.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "models/catalogue.h"
#include "models/http.h"

namespace tavrin::models {

class InstallError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class InstallObserver {
 public:
  virtual ~InstallObserver() = default;
  // Another process is downloading the model; install() waits for it.
  virtual void waiting() {}
  // `done` bytes of `total` (when known) are in the .part file.
  virtual void progress(uint64_t done, std::optional<uint64_t> total) { (void)done, (void)total; }
  // False ends the download (asked at least once a second).
  virtual bool proceed() { return true; }
};

enum class InstallState { kNotInstalled, kPartial, kDownloading, kInstalled };

class ModelInstaller {
 public:
  ModelInstaller(HttpsClient& client, ModelPaths paths) : client_(client), paths_(std::move(paths)) {}

  // kInstalled when a readable model file is in the user's folder or in a
  // system data directory ($XDG_DATA_DIRS): installedAt() says which.
  InstallState state(const CatalogueModel& model) const;
  std::optional<std::string> installedAt(const CatalogueModel& model) const;
  // Returns the installed path. Throws InstallError.
  std::string install(const CatalogueModel& model, InstallObserver& observer);
  // Deletes the installed file and any .part. Throws InstallError when the
  // model is downloading or not there at all.
  void remove(const CatalogueModel& model);
  // Reads the installed model back and checks its checksum (asking the hub
  // for it when the catalogue pins none and `mayAsk`); returns its path.
  // Throws InstallError with the reason when it is not installed, cannot be
  // checked or does not match.
  std::string verify(const CatalogueModel& model, bool mayAsk);

  const ModelPaths& paths() const { return paths_; }

 private:
  HttpsClient& client_;
  ModelPaths paths_;
};

// The lock file's state without taking it: whether some process holds it.
bool lockHeld(const std::string& lockPath);

}  // namespace tavrin::models
