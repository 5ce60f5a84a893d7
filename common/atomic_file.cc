#include "common/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "common/output.h"
#include "common/unique_fd.h"

namespace tavrin {

bool writeFileAtomically(const std::string& path, std::string_view text, mode_t mode) {
  std::string temporary = path + ".XXXXXX";
  UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!file.valid()) return false;
  ::fchmod(file.get(), mode);  // mkostemp makes it private
  const bool written = writeAll(file.get(), text) == 0;
  // A write the file system defers can fail only at the close.
  const bool closed = ::close(file.release()) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace tavrin
