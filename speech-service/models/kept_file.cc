#include "speech-service/models/kept_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace tavrin::speech {
namespace {

// Closes a descriptor on every path out.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::optional<std::string> readKeptFile(const std::string& path, size_t maxBytes) {
  const Descriptor file{::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxBytes) {
    return std::nullopt;
  }
  // Read up to one byte past the cap: a file that grew since fstat is
  // refused too.
  std::string text(maxBytes + 1, '\0');
  size_t have = 0;
  while (have < text.size()) {
    const ssize_t n = ::read(file.fd, text.data() + have, text.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  if (have > maxBytes) return std::nullopt;
  text.resize(have);
  return text;
}

bool writeKeptFile(const std::string& path, const std::string& text) {
  namespace fs = std::filesystem;
  const fs::path directory = fs::path(path).parent_path();
  std::error_code ec;
  if (!fs::exists(directory, ec)) {
    fs::create_directories(directory, ec);
    fs::permissions(directory, fs::perms::owner_all, ec);
  }
  std::string temporary = path + ".XXXXXX";
  const Descriptor file{::mkostemp(temporary.data(), O_CLOEXEC)};
  if (file.fd < 0) return false;
  bool written = true;
  for (size_t done = 0; written && done < text.size();) {
    const ssize_t n = ::write(file.fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += static_cast<size_t>(n);
  }
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace tavrin::speech
