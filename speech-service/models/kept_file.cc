#include "speech-service/models/kept_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "common/atomic_file.h"
#include "common/unique_fd.h"

namespace tavrin::speech {

std::optional<std::string> readKeptFile(const std::string& path, size_t maxBytes) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxBytes) {
    return std::nullopt;
  }
  // Read up to one byte past the cap: a file that grew since fstat is
  // refused too.
  std::string text(maxBytes + 1, '\0');
  size_t have = 0;
  while (have < text.size()) {
    const ssize_t n = ::read(file.get(), text.data() + have, text.size() - have);
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
  return writeFileAtomically(path, text, 0600);
}

}  // namespace tavrin::speech
