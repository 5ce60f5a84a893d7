#include "models/installer.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/output.h"
#include "common/unique_fd.h"

namespace tavrin::models {
namespace {

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

// What is at a path the downloader looks at, found without blocking (a FIFO
// is never opened for reading) and without writing through a link.
enum class PathKind { kMissing, kModel, kDanglingLink, kOther };

PathKind inspectPath(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return PathKind::kMissing;
  if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) return PathKind::kDanglingLink;
  if (!S_ISREG(st.st_mode)) return PathKind::kOther;
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  return fd.get() >= 0 ? PathKind::kModel : PathKind::kOther;
}

// Throws unless `path` holds a readable model file; false when nothing is there.
bool modelThere(const std::string& path) {
  switch (inspectPath(path)) {
    case PathKind::kMissing: return false;
    case PathKind::kModel: return true;
    case PathKind::kDanglingLink:
      throw InstallError(path +
                         " is a link to a file that is not there; remove the link or mount the disk it points to.");
    case PathKind::kOther: throw InstallError(path + " is not a readable model file; remove it.");
  }
  return false;
}

// Opens one of the downloader's own files (.part, .lock): never through a
// link, never blocking on a FIFO, and only a regular file.
int openOwnFile(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0 && errno == ELOOP) throw InstallError(path + " is a link, not a file of the downloader; remove it.");
  if (fd < 0) return fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw InstallError(path + " is not a regular file; remove it.");
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// "bytes 100-199/1000" or "bytes */1000" → 1000.
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

// Reads `fd` from `offset` to `until` (or to its end) into `digest`, a
// megabyte at a time, until `stop` is set; returns the offset reached or the
// errno of a failed read.
struct ReadResult {
  uint64_t offset;
  int error;
};
ReadResult hashRange(int fd, Digest& digest, uint64_t offset, uint64_t until, const std::atomic<bool>& stop) {
  std::vector<char> buffer(1 << 20);
  while (offset < until && !stop.load()) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), until - offset));
    const ssize_t n = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {offset, errno};
    if (n == 0) break;
    digest.update(std::string_view(buffer.data(), static_cast<size_t>(n)));
    offset += static_cast<uint64_t>(n);
  }
  return {offset, 0};
}

// The size and checksum of what the open file `fd` holds, read from its start.
std::pair<uint64_t, std::string> readBack(int fd, DigestKind kind, const std::string& path) {
  Digest digest(kind);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  const std::atomic<bool> never{false};
  const ReadResult read = hashRange(fd, digest, 0, UINT64_MAX, never);
  if (read.error != 0) throw InstallError("Could not read " + path + ": " + errnoDescription(read.error) + ".");
  return {read.offset, digest.hex()};
}

// Hashes a file as it is written, reading it back on a thread of its own a
// few megabytes behind the writer, so that when the last byte is written
// only the tail is left to read. What is hashed is what the file holds, never
// what was handed to the writer: a block is read only once the writer has
// moved past it, so a stray write into it before then is caught, as is
// anything in a prefix kept from an earlier run. A change to a block already read is not: that is the price of not
// reading the whole file again after its last byte.
// The writer's thread calls written(), lastWritten() and finish(); the
// destructor stops and joins the thread on every path.
class TrailingHasher {
 public:
  static constexpr uint64_t kBlock = 4 << 20;

  TrailingHasher(int fd, DigestKind kind, uint64_t written)
      : fd_(fd), digest_(kind), written_(written), thread_([this] { run(); }) {}
  ~TrailingHasher() {
    stop_.store(true);
    {
      const std::lock_guard lock(mutex_);
      wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }
  TrailingHasher(const TrailingHasher&) = delete;
  TrailingHasher& operator=(const TrailingHasher&) = delete;

  // Bytes [0, bytes) are in the file.
  void written(uint64_t bytes) {
    const std::lock_guard lock(mutex_);
    if (bytes / kBlock == written_ / kBlock) {
      written_ = bytes;
      return;
    }
    written_ = bytes;
    wake_.notify_all();
  }

  // Nothing more will be written: reads on to the file's end.
  void lastWritten() {
    const std::lock_guard lock(mutex_);
    finishing_ = true;
    wake_.notify_all();
  }

  // After lastWritten(): waits for the end, and returns the bytes read and
  // their checksum. Throws InstallError when a read failed.
  std::pair<uint64_t, std::string> finish(const std::string& path) {
    thread_.join();
    if (error_ != 0) throw InstallError("Could not read " + path + ": " + errnoDescription(error_) + ".");
    // A file cut short behind the reader is not the file that was read.
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && static_cast<uint64_t>(st.st_size) != hashed_)
      return {static_cast<uint64_t>(st.st_size), ""};
    return {hashed_, digest_.hex()};
  }

 private:
  // The hashing thread: owns digest_, hashed_ and error_ until joined.
  void run() {
    bool shortRead = false;  // the file is shorter than written: nothing to do until the end
    for (;;) {
      uint64_t until = UINT64_MAX;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock,
                   [&] { return stop_.load() || finishing_ || (!shortRead && written_ / kBlock * kBlock > hashed_); });
        if (stop_.load()) return;
        if (!finishing_) until = written_ / kBlock * kBlock;
      }
      // Its write-out starts now, so that the final fsync has little left to do.
      if (until != UINT64_MAX) {
        ::sync_file_range(fd_, static_cast<off_t>(hashed_), static_cast<off_t>(until - hashed_), SYNC_FILE_RANGE_WRITE);
      }
      const ReadResult read = hashRange(fd_, digest_, hashed_, until, stop_);
      shortRead = read.offset < until;
      hashed_ = read.offset;
      error_ = read.error;
      if (error_ != 0 || until == UINT64_MAX) return;
    }
  }

  const int fd_;
  Digest digest_;
  uint64_t hashed_ = 0;
  int error_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  uint64_t written_;  // guarded by mutex_, as finishing_
  bool finishing_ = false;
  std::thread thread_;  // last: starts once every member above is set up
};

// Statuses after which the same request may well succeed later.
bool transientStatus(long status) {
  return status == 408 || status == 429 || status >= 500;
}

// The receiving end of a download: appends to the .part file. What is
// checked is never the stream but the file: a TrailingHasher reads it back,
// so whatever else reached the file before it was read (a stray write, a
// truncation) fails the checksum.
class PartialFile final : public HttpsSink {
 public:
  PartialFile(const CatalogueModel& model, const std::string& path, InstallObserver& observer)
      : model_(model), path_(path), observer_(observer) {}

  // Opens (or creates) the .part and takes its size as the bytes so far.
  void open() {
    fd_.reset(openOwnFile(path_, O_RDWR | O_CREAT));
    if (fd_.get() < 0) fail(errno);
    const off_t end = ::lseek(fd_.get(), 0, SEEK_END);
    if (end < 0) fail(errno);
    size_ = static_cast<uint64_t>(end);
    if (!startHasher()) throw InstallError("The checksum could not be set up.");
  }

  uint64_t size() const { return size_; }
  std::optional<uint64_t> total() const { return total_; }
  const std::optional<std::string>& expectedDigest() const { return expected_; }
  const std::optional<std::string>& refusal() const { return refusal_; }
  const std::optional<std::string>& writeError() const { return writeError_; }
  // Whether a later run can go on from the bytes kept.
  bool resumable() const { return size_ > 0 && !rangeRefused_; }

  // Flushes the file to the disk, and returns the size and checksum of its
  // bytes as read back from it (the tail while the disk flushes).
  std::pair<uint64_t, std::string> syncAndVerify() {
    hasher_->lastWritten();
    if (::fsync(fd_.get()) != 0) fail(errno);
    return hasher_->finish(path_);
  }

  bool onResponse(const HttpsResponse& response) override {
    const auto range = response.headers.find("content-range");
    if ((response.status == 206 || response.status == 416) && range != response.headers.end()) {
      total_ = rangeTotal(range->second);
    } else if (response.status < 300 && response.contentLength) {
      total_ = *response.contentLength;
    }
    // Only the catalogue's own address speaks for the model: a checksum or
    // size declared by the host it redirects to (file storage) is not taken.
    const auto linkedSize = response.originHeaders.find("x-linked-size");
    if (!model_.digest && linkedSize != response.originHeaders.end()) {
      total_ = std::strtoull(linkedSize->second.c_str(), nullptr, 10);
    }
    expected_ = model_.digest ? model_.digest : declaredSha256(response.originHeaders);
    if (response.status >= 400) return false;
    // The server sends the whole file again: start over.
    if (size_ > 0 && response.status != 206) {
      rangeRefused_ = true;
      hasher_.reset();
      if (::ftruncate(fd_.get(), 0) != 0) {
        writeError_ = "Could not write " + path_ + ": " + errnoDescription(errno) + ".";
        return false;
      }
      size_ = 0;
      if (!startHasher()) {
        writeError_ = "The checksum could not be set up.";
        return false;
      }
    }
    // Nothing past the size declared, or past the catalogue's when none is.
    limit_ = total_ ? total_ : (model_.approximateBytes > 0 ? std::optional(model_.approximateBytes) : std::nullopt);
    if (!expected_) {
      refusal_ = "the server declared no checksum for it";
      return false;
    }
    return true;
  }

  // Runs inside the client's callbacks: never throws.
  bool onBody(std::string_view bytes) override {
    bool over = false;
    if (limit_ && size_ + bytes.size() > *limit_) {
      bytes = bytes.substr(0, static_cast<size_t>(*limit_ - std::min(size_, *limit_)));
      over = true;
    }
    while (!bytes.empty()) {
      const ssize_t n = ::pwrite(fd_.get(), bytes.data(), bytes.size(), static_cast<off_t>(size_));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        writeError_ = "Could not write " + path_ + ": " + errnoDescription(errno) + ".";
        return false;
      }
      size_ += static_cast<uint64_t>(n);
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    hasher_->written(size_);
    if (over) {
      refusal_ = "the server sent more than " + std::to_string(*limit_) + " bytes";
      return false;
    }
    observer_.progress(size_, total_);
    return observer_.proceed();
  }

  bool proceed() override { return observer_.proceed(); }

  // Starts reading the file back from its start (a thread); false when it cannot.
  bool startHasher() {
    try {
      hasher_.emplace(fd_.get(), model_.digestKind, size_);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }

  [[noreturn]] void fail(int error) {
    throw InstallError("Could not write " + path_ + ": " + errnoDescription(error) + ".");
  }

 private:
  const CatalogueModel& model_;
  std::string path_;
  InstallObserver& observer_;
  UniqueFd fd_;
  std::optional<TrailingHasher> hasher_;  // reads fd_: destroyed before it
  uint64_t size_ = 0;
  std::optional<uint64_t> total_;
  std::optional<uint64_t> limit_;
  std::optional<std::string> expected_;
  std::optional<std::string> refusal_;
  std::optional<std::string> writeError_;
  bool rangeRefused_ = false;
};

// Holds the model's lock file for the life of the object.
class DownloadLock {
 public:
  DownloadLock(const std::string& path, InstallObserver& observer) : fd_(openOwnFile(path, O_RDWR | O_CREAT)) {
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
  UniqueFd fd_;
};

}  // namespace

bool lockHeld(const std::string& lockPath) {
  UniqueFd fd(::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return false;  // released with the descriptor
  return errno == EWOULDBLOCK;
}

std::optional<std::string> ModelInstaller::installedAt(const CatalogueModel& model) const {
  if (inspectPath(paths_.installedPath(model)) == PathKind::kModel) return paths_.installedPath(model);
  for (const std::string& path : paths_.systemPaths(model)) {
    if (inspectPath(path) == PathKind::kModel) return path;
  }
  return std::nullopt;
}

InstallState ModelInstaller::state(const CatalogueModel& model) const {
  if (installedAt(model)) return InstallState::kInstalled;
  if (lockHeld(paths_.lockPath(model))) return InstallState::kDownloading;
  struct stat st {};
  if (::lstat(paths_.partialPath(model).c_str(), &st) == 0 && S_ISREG(st.st_mode)) return InstallState::kPartial;
  return InstallState::kNotInstalled;
}

std::string ModelInstaller::install(const CatalogueModel& model, InstallObserver& observer) {
  const std::string target = paths_.installedPath(model);
  if (modelThere(target)) return target;
  for (const std::string& path : paths_.systemPaths(model)) {
    if (inspectPath(path) == PathKind::kModel) return path;  // installed for every user
  }
  const std::string dir = paths_.directory(model.kind);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw InstallError("Could not create " + dir + ": " + ec.message() + ".");
  DownloadLock lock(paths_.lockPath(model), observer);
  if (modelThere(target)) return target;  // the process we waited for installed it

  const std::string part = paths_.partialPath(model);
  PartialFile file(model, part, observer);
  file.open();
  const auto fail = [&](const std::string& reason) -> InstallError {
    ::unlink(part.c_str());
    return InstallError("Could not download " + model.fileName + ": " + reason + ".");
  };
  // The .part stays for a later run; the advice to start again only where
  // that run can go on from it.
  const auto keep = [&](const std::string& reason) -> InstallError {
    if (file.size() == 0) ::unlink(part.c_str());
    return InstallError("Could not download " + model.fileName + ": " + reason +
                        (file.resumable() ? "; it resumes when started again." : "."));
  };
  struct statvfs fs {};
  const uint64_t have = file.size();
  if (::statvfs(dir.c_str(), &fs) == 0 && model.approximateBytes > have &&
      static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize < model.approximateBytes - have) {
    throw InstallError("Not enough free space in " + dir + " for " + model.fileName + " (" +
                       formatBytes(model.approximateBytes - have) + " needed).");
  }

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
        throw InstallError("The download of " + model.fileName + " was stopped" +
                           (file.resumable() ? "; it resumes when started again." : "."));
      }
      // The server has no bytes past the .part's end: it may be complete.
      if (e.kind() == TransferError::Kind::kStatus && e.status() == 416 && file.size() > 0) break;
      if (e.kind() == TransferError::Kind::kStatus && !transientStatus(e.status())) throw fail(e.what());
      if (e.kind() == TransferError::Kind::kStatus || attempt >= 4 || file.size() == before) throw keep(e.what());
    }
  }
  if (!file.expectedDigest()) throw keep("the server declared no checksum for it");
  const auto [size, digest] = file.syncAndVerify();
  if (file.total() && size != *file.total()) {
    throw fail("it has " + std::to_string(size) + " bytes instead of " + std::to_string(*file.total()));
  }
  if (digest != *file.expectedDigest()) throw fail("its checksum does not match");
  // Never over a file that appeared meanwhile (a user's copy).
  if (::renameat2(AT_FDCWD, part.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
    const int error = errno;
    ::unlink(part.c_str());
    if (error == EEXIST && modelThere(target)) return target;
    throw InstallError("Could not install " + target + ": " + errnoDescription(error) + ".");
  }
  UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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

namespace {

// Takes the checksum the catalogue's host declares, and no byte of the body.
class DeclaredChecksum final : public HttpsSink {
 public:
  bool onResponse(const HttpsResponse& response) override {
    sha256 = declaredSha256(response.originHeaders);
    return false;
  }
  bool onBody(std::string_view) override { return false; }
  std::optional<std::string> sha256;
};

}  // namespace

std::string ModelInstaller::verify(const CatalogueModel& model, bool mayAsk) {
  const std::optional<std::string> path = installedAt(model);
  if (!path) {
    modelThere(paths_.installedPath(model));  // a link to nothing or a FIFO is named
    throw InstallError(model.name + " is not installed.");
  }
  std::optional<std::string> expected = model.digest;
  if (!expected && !mayAsk) {
    throw InstallError(model.name + " cannot be checked: its checksum comes from the server and downloads are off.");
  }
  if (!expected) {
    DeclaredChecksum declared;
    try {
      client_.get({model.address, 0, certificateAuthorityFile()}, declared);
    } catch (const TransferError& e) {
      if (!declared.sha256) throw InstallError(model.name + " cannot be checked: " + e.what() + ".");
    }
    if (!declared.sha256)
      throw InstallError(model.name + " cannot be checked: the server declared no checksum for it.");
    expected = declared.sha256;
  }
  const UniqueFd fd(::open(path->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) throw InstallError("Could not read " + *path + ": " + errnoDescription(errno) + ".");
  if (readBack(fd.get(), model.digestKind, *path).second != *expected) {
    throw InstallError(*path + " is damaged: its checksum does not match; remove it and install " + model.name +
                       " again.");
  }
  return *path;
}

}  // namespace tavrin::models
