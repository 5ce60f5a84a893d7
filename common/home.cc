#include "common/home.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>

namespace tavrin {
namespace {

std::vector<std::string> absoluteEntries(const std::string& list) {
  std::vector<std::string> dirs;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t colon = std::min(list.find(':', start), list.size());
    if (colon > start && list[start] == '/') dirs.push_back(list.substr(start, colon - start));
    start = colon + 1;
  }
  return dirs;
}

}  // namespace

std::string homeDirectory(const GetEnv& getenv) {
  if (const char* home = getenv("HOME"); home != nullptr && home[0] == '/') return home;
  const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return "";
  return found->pw_dir != nullptr && found->pw_dir[0] == '/' ? found->pw_dir : "";
}

std::string xdgHome(const char* variable, const char* homeRelative, const GetEnv& getenv) {
  if (const char* v = getenv(variable); v != nullptr && v[0] == '/') return v;
  const std::string home = homeDirectory(getenv);
  return home.empty() ? "" : home + "/" + homeRelative;
}

std::vector<std::string> xdgDirs(const char* variable, const char* fallback, const GetEnv& getenv) {
  const char* v = getenv(variable);
  std::vector<std::string> dirs = absoluteEntries(v != nullptr ? v : "");
  return dirs.empty() ? absoluteEntries(fallback) : dirs;
}

}  // namespace tavrin
