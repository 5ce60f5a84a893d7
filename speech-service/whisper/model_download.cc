#include "speech-service/whisper/model_download.h"

#include <mutex>
#include <optional>

#include "models/installer.h"
#include "models/machine.h"

namespace tavrin::speech {
namespace {

// Shows nothing; stops when the caller no longer waits.
class Observer final : public models::InstallObserver {
 public:
  explicit Observer(const KeepWaiting& keepWaiting) : keepWaiting_(keepWaiting) {}
  bool proceed() override { return !keepWaiting_ || keepWaiting_(); }

 private:
  const KeepWaiting& keepWaiting_;
};

class CatalogueWhisperDownload final : public WhisperDownload {
 public:
  CatalogueWhisperDownload(std::unique_ptr<models::HttpsClient> client, models::CatalogueModel model)
      : client_(std::move(client)), model_(std::move(model)), installer_(*client_, models::ModelPaths::fromProcess()) {}

  std::string path() const override { return installer_.paths().installedPath(model_); }
  bool multilingual() const override { return model_.multilingual; }

  bool inProgress() override { return installer_.state(model_) == models::InstallState::kDownloading; }

  void install(const std::string& locale, const KeepWaiting& keepWaiting) override {
    // Callers of this process take turns; the lock file makes other
    // processes wait.
    std::lock_guard lock(mutex_);
    if (failure_) throw SpeechServiceError(*failure_);
    if (!models::downloadsEnabled(installer_.paths())) {
      throw SpeechServiceError("The speech model for " + locale +
                               " is not installed and model downloads are turned off: run `tavrin-models install " +
                               model_.name + "`, or put " + model_.fileName + " (from " + model_.address + ") into " +
                               installer_.paths().directory(model_.kind) + ".");
    }
    Observer observer(keepWaiting);
    try {
      installer_.install(model_, observer);
    } catch (const models::InstallError& e) {
      failure_ = e.what();
      throw SpeechServiceError(e.what());
    }
  }

 private:
  std::unique_ptr<models::HttpsClient> client_;
  models::CatalogueModel model_;
  models::ModelInstaller installer_;
  std::mutex mutex_;
  std::optional<std::string> failure_;  // the line of the download that failed
};

}  // namespace

std::unique_ptr<WhisperDownload> makeCatalogueWhisperDownload(std::unique_ptr<models::HttpsClient> client,
                                                              models::CatalogueModel model) {
  return std::make_unique<CatalogueWhisperDownload>(std::move(client), std::move(model));
}

models::CatalogueModel englishCatalogueModel() {
  const std::string name = models::englishModelName(models::thisMachine());
  const std::optional<models::CatalogueModel> model = models::findModel(name);
  return model ? *model : *models::findModel("base.en");
}

}  // namespace tavrin::speech
