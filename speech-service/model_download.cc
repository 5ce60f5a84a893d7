#include "speech-service/model_download.h"

#include "models/installer.h"

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
  explicit CatalogueWhisperDownload(std::unique_ptr<models::HttpsClient> client)
      : client_(std::move(client)),
        model_(models::defaultModel(models::ModelKind::kSpeech)),
        installer_(*client_, models::ModelPaths::fromProcess()) {}

  std::string path() const override { return installer_.paths().installedPath(model_); }

  bool inProgress() override { return installer_.state(model_) == models::InstallState::kDownloading; }

  void install(const std::string& locale, const KeepWaiting& keepWaiting) override {
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
      throw SpeechServiceError(e.what());
    }
  }

 private:
  std::unique_ptr<models::HttpsClient> client_;
  models::CatalogueModel model_;
  models::ModelInstaller installer_;
};

}  // namespace

std::unique_ptr<WhisperDownload> makeCatalogueWhisperDownload(std::unique_ptr<models::HttpsClient> client) {
  return std::make_unique<CatalogueWhisperDownload>(std::move(client));
}

}  // namespace tavrin::speech
