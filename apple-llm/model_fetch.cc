#include "apple-llm/model_fetch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "models/catalogue.h"
#include "models/installer.h"

namespace tavrin::llm {
namespace {

// Runs in the detached process: the download, then _exit. Its standard
// descriptors are /dev/null and nothing else of the helper's is open, so
// the host's pipes close when the helper ends.
[[noreturn]] void downloadAndExit(const models::CatalogueModel& model, const models::ModelPaths& paths) {
  const int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
  ::close_range(3, ~0U, 0);
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGHUP, SIG_IGN);
  int status = 1;
  try {
    const std::unique_ptr<models::HttpsClient> client = models::makeCurlClient();
    models::ModelInstaller installer(*client, paths);
    models::InstallObserver quiet;
    installer.install(model, quiet);
    status = 0;
  } catch (const std::exception&) {
    // Nobody to tell: the next run of the helper finds no model and starts again.
  }
  ::_exit(status);
}

}  // namespace

bool fetchNotesModel(uint64_t physicalMemory) {
  try {
    const models::ModelPaths paths = models::ModelPaths::fromProcess();
    if (paths.dataHome.empty() || !models::downloadsEnabled(paths)) return false;
    const std::optional<models::CatalogueModel> small = models::findModel("notes-small");
    const models::CatalogueModel model =
        physicalMemory < kDefaultNotesModelMemory && small ? *small : models::defaultModel(models::ModelKind::kNotes);
    if (models::lockHeld(paths.lockPath(model))) return true;
    struct stat st {};
    // Installed but not usable (damaged, too large): fetching it again would not help.
    if (::lstat(paths.installedPath(model).c_str(), &st) == 0) return false;
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
      // The first child only makes the downloader an orphan of its own
      // session, so it is never the helper's zombie nor in its group.
      ::setsid();
      const pid_t downloader = ::fork();
      if (downloader == 0) downloadAndExit(model, paths);
      ::_exit(downloader > 0 ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace tavrin::llm
