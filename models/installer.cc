#include "models/installer.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "common/output.h"

namespace tavrin::models {
namespace {

// An open file descriptor, closed once.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct DigestDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

class Digest {
 public:
  explicit Digest(DigestKind kind) : kind_(kind) {
    if (!reset()) throw InstallError("The checksum could not be set up.");
  }
  // Starts over; false when OpenSSL fails (then update() and hex() do nothing useful).
  bool reset() {
    ctx_.reset(EVP_MD_CTX_new());
    return ctx_ && EVP_DigestInit_ex(ctx_.get(), kind_ == DigestKind::kSha1 ? EVP_sha1() : EVP_sha256(), nullptr) == 1;
  }
  void update(std::string_view bytes) { EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()); }
  std::string hex() {
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx_.get(), sum, &n);
    std::string text;
    char byte[3];
    for (unsigned int i = 0; i < n; ++i) {
      std::snprintf(byte, sizeof byte, "%02x", sum[i]);
      text += byte;
    }
    return text;
  }

 private:
  DigestKind kind_;
  std::unique_ptr<EVP_MD_CTX, DigestDeleter> ctx_;
};

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

uint64_t fileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// "bytes 100-199/1000" → 1000.
std::optional<uint64_t> rangeTotal(const std::string& contentRange) {
  const size_t slash = contentRange.rfind('/');
  if (slash == std::string::npos || slash + 1 >= contentRange.size() || contentRange[slash + 1] == '*') return {};
  return std::strtoull(contentRange.c_str() + slash + 1, nullptr, 10);
}

// The SHA-256 in a hub's x-linked-etag ("…" or W/"…"), or nothing.
std::optional<std::string> declaredSha256(const std::map<std::string, std::string>& headers) {
  const auto it = headers.find("x-linked-etag");
  if (it == headers.end()) return {};
  std::string v = it->second;
  if (v.rfind("W/", 0) == 0) v.erase(0, 2);
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  if (v.size() != 64 || v.find_first_not_of("0123456789abcdef") != std::string::npos) return {};
  return v;
}

// One attempt's receiving end: appends to the .part file and hashes.
class PartialFile final : public HttpsSink {
 public:
  PartialFile(const CatalogueModel& model, const std::string& path, InstallObserver& observer)
      : model_(model), path_(path), observer_(observer), digest_(model.digestKind) {}

  // Opens the .part and hashes what it already holds.
  void open() {
    fd_ = std::make_unique<Fd>(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd_->get() < 0) fail(errno);
    std::vector<char> buffer(1 << 20);
    size_ = 0;
    for (;;) {
      const ssize_t n = ::read(fd_->get(), buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail(errno);
      if (n == 0) break;
      digest_.update(std::string_view(buffer.data(), static_cast<size_t>(n)));
      size_ += static_cast<uint64_t>(n);
    }
  }

  uint64_t size() const { return size_; }
  std::optional<uint64_t> total() const { return total_; }
  const std::optional<std::string>& expectedDigest() const { return expected_; }
  const std::optional<std::string>& refusal() const { return refusal_; }
  const std::optional<std::string>& writeError() const { return writeError_; }
  std::string finish() { return digest_.hex(); }

  void sync() {
    if (::fsync(fd_->get()) != 0) fail(errno);
  }

  bool onResponse(const HttpsResponse& response) override {
    // The server sends the whole file again: start over.
    if (size_ > 0 && response.status != 206) {
      if (::ftruncate(fd_->get(), 0) != 0 || ::lseek(fd_->get(), 0, SEEK_SET) != 0) {
        writeError_ = "Could not write " + path_ + ": " + errnoDescription(errno) + ".";
        return false;
      }
      size_ = 0;
      if (!digest_.reset()) {
        writeError_ = "The checksum could not be set up.";
        return false;
      }
    }
    const auto range = response.headers.find("content-range");
    if (response.status == 206 && range != response.headers.end()) {
      total_ = rangeTotal(range->second);
    } else if (response.contentLength) {
      total_ = *response.contentLength + size_;
    }
    const auto linkedSize = response.headers.find("x-linked-size");
    if (!model_.digest && linkedSize != response.headers.end())
      total_ = std::strtoull(linkedSize->second.c_str(), nullptr, 10);
    expected_ = model_.digest ? model_.digest : declaredSha256(response.headers);
    if (!expected_) {
      refusal_ = "the server declared no checksum for it";
      return false;
    }
    return true;
  }

  // Runs inside the client's callbacks: never throws.
  bool onBody(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_->get(), bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        writeError_ = "Could not write " + path_ + ": " + errnoDescription(errno) + ".";
        return false;
      }
      digest_.update(bytes.substr(0, static_cast<size_t>(n)));
      size_ += static_cast<uint64_t>(n);
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    observer_.progress(size_, total_);
    return observer_.proceed();
  }

  bool proceed() override { return observer_.proceed(); }

  [[noreturn]] void fail(int error) {
    throw InstallError("Could not write " + path_ + ": " + errnoDescription(error) + ".");
  }

 private:
  const CatalogueModel& model_;
  std::string path_;
  InstallObserver& observer_;
  Digest digest_;
  std::unique_ptr<Fd> fd_;
  uint64_t size_ = 0;
  std::optional<uint64_t> total_;
  std::optional<std::string> expected_;
  std::optional<std::string> refusal_;
  std::optional<std::string> writeError_;
};

// Holds the model's lock file for the life of the object.
class DownloadLock {
 public:
  DownloadLock(const std::string& path, InstallObserver& observer)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_.get() < 0) throw InstallError("Could not create " + path + ": " + errnoDescription(errno) + ".");
    bool told = false;
    while (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) {
        throw InstallError("Could not lock " + path + ": " + errnoDescription(errno) + ".");
      }
      if (!told) observer.waiting();
      told = true;
      if (!observer.proceed()) throw InstallError("The download was stopped.");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

 private:
  Fd fd_;
};

}  // namespace

bool lockHeld(const std::string& lockPath) {
  Fd fd(::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return false;  // released with the descriptor
  return errno == EWOULDBLOCK;
}

InstallState ModelInstaller::state(const CatalogueModel& model) const {
  if (exists(paths_.installedPath(model))) return InstallState::kInstalled;
  if (lockHeld(paths_.lockPath(model))) return InstallState::kDownloading;
  if (exists(paths_.partialPath(model))) return InstallState::kPartial;
  return InstallState::kNotInstalled;
}

std::string ModelInstaller::install(const CatalogueModel& model, InstallObserver& observer) {
  const std::string target = paths_.installedPath(model);
  if (exists(target)) return target;
  const std::string dir = paths_.directory(model.kind);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw InstallError("Could not create " + dir + ": " + ec.message() + ".");
  DownloadLock lock(paths_.lockPath(model), observer);
  if (exists(target)) return target;  // the process we waited for installed it

  const std::string part = paths_.partialPath(model);
  const auto fail = [&](const std::string& reason) -> InstallError {
    ::unlink(part.c_str());
    return InstallError("Could not download " + model.fileName + ": " + reason + ".");
  };
  struct statvfs fs {};
  const uint64_t have = fileSize(part);
  if (::statvfs(dir.c_str(), &fs) == 0 && model.approximateBytes > have &&
      static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize < model.approximateBytes - have) {
    throw InstallError("Not enough free space in " + dir + " for " + model.fileName + " (" +
                       formatBytes(model.approximateBytes - have) + " needed).");
  }

  PartialFile file(model, part, observer);
  file.open();
  for (int attempt = 0;; ++attempt) {
    const uint64_t before = file.size();
    try {
      client_.get({model.address, file.size(), certificateAuthorityFile()}, file);
      break;
    } catch (const TransferError& e) {
      if (file.refusal()) throw fail(*file.refusal());
      if (file.writeError()) {
        ::unlink(part.c_str());
        throw InstallError(*file.writeError());
      }
      if (e.kind() == TransferError::Kind::kStopped) {
        throw InstallError("The download of " + model.fileName + " was stopped; it resumes when started again.");
      }
      if (e.kind() == TransferError::Kind::kStatus) throw fail(e.what());
      if (attempt >= 4 || file.size() == before) {
        throw InstallError("Could not download " + model.fileName + ": " + e.what() +
                           "; it resumes when started again.");
      }
    }
  }
  if (file.total() && file.size() != *file.total()) {
    throw fail("it has " + std::to_string(file.size()) + " bytes instead of " + std::to_string(*file.total()));
  }
  if (!file.expectedDigest() || file.finish() != *file.expectedDigest()) throw fail("its checksum does not match");
  file.sync();
  // Never over a file that appeared meanwhile (a user's copy).
  if (::renameat2(AT_FDCWD, part.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
    const int error = errno;
    ::unlink(part.c_str());
    if (error == EEXIST) return target;
    throw InstallError("Could not install " + target + ": " + errnoDescription(error) + ".");
  }
  Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.get() >= 0) ::fsync(dirFd.get());
  return target;
}

void ModelInstaller::remove(const CatalogueModel& model) {
  if (lockHeld(paths_.lockPath(model))) {
    throw InstallError(model.name + " is downloading; stop that download first.");
  }
  bool removed = false;
  for (const std::string& path : {paths_.installedPath(model), paths_.partialPath(model)}) {
    if (::unlink(path.c_str()) == 0) {
      removed = true;
    } else if (errno != ENOENT) {
      throw InstallError("Could not remove " + path + ": " + errnoDescription(errno) + ".");
    }
  }
  if (!removed) throw InstallError(model.name + " is not installed.");
}

}  // namespace tavrin::models
