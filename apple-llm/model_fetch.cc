#include "apple-llm/model_fetch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <filesystem>
#include <string>

#include "models/catalogue.h"
#include "models/installer.h"

namespace tavrin::llm {
namespace {

// <file>.failed: locked while an attempt runs, then holding why it failed.
// For a while after a failure, runs give the reason they gave before
// instead of "still downloading" (offline, a server failing), and start no
// download.
constexpr auto kRetryAfter = std::chrono::minutes(10);

std::string failedMarker(const models::CatalogueModel& model, const models::ModelPaths& paths) {
  return paths.installedPath(model) + ".failed";
}

// Runs in the detached process: the download, then _exit. Its standard
// descriptors are /dev/null and nothing else of the helper's is open, so
// the host's pipes close when the helper ends.
[[noreturn]] void downloadAndExit(const models::CatalogueModel& model, const models::ModelPaths& paths) {
  const int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
  ::close_range(3, ~0U, 0);
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGHUP, SIG_IGN);
  // The marker is locked for the whole attempt, so a run meanwhile sees one
  // in progress, and holds why once the attempt failed.
  const std::string failed = failedMarker(model, paths);
  std::error_code ec;
  std::filesystem::create_directories(paths.directory(model.kind), ec);
  const int marker = ::open(failed.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (marker >= 0) ::flock(marker, LOCK_EX);
  int status = 1;
  try {
    const std::unique_ptr<models::HttpsClient> client = models::makeCurlClient();
    models::ModelInstaller installer(*client, paths);
    models::InstallObserver quiet;
    installer.install(model, quiet);
    ::unlink(failed.c_str());
    status = 0;
  } catch (const std::exception& e) {
    // Nobody to tell but the marker, which the next runs look at and a user can read.
    const std::string why = std::string(e.what()) + "\n";
    const ssize_t written = marker >= 0 ? ::write(marker, why.data(), why.size()) : 0;
    (void)written;  // a reason that cannot be kept changes nothing: the next run retries later
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
    const std::string failed = failedMarker(model, paths);
    if (::lstat(failed.c_str(), &st) == 0) {
      if (models::lockHeld(failed)) return true;  // an attempt is under way
      const bool recent =
          std::chrono::system_clock::now() - std::chrono::system_clock::from_time_t(st.st_mtime) < kRetryAfter;
      // Empty: an attempt just starting; else it failed, and is not tried again at once.
      if (recent) return st.st_size == 0;
    }
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
