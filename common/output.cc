#include "common/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "common/json.h"

namespace tavrin {

int writeAll(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return 0;
}

int writeLine(int fd, std::string_view line) {
  std::string buffer;
  buffer.reserve(line.size() + 1);
  buffer.append(line);
  buffer.push_back('\n');
  return writeAll(fd, buffer);
}

std::string failureLine(std::string_view message) {
  std::string line = sanitizeUtf8(message);
  for (char& c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 && byte != '\t') c = ' ';
    if (byte == 0x7F) c = ' ';
  }
  return line;
}

std::string errnoDescription(int error) {
  char buf[256];
  // GNU strerror_r returns the message, which may or may not live in buf.
  return std::string(::strerror_r(error, buf, sizeof buf));
}

void ignoreBrokenPipeSignal() {
  ::signal(SIGPIPE, SIG_IGN);
}

void openClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number, which is `fd`: those below it
    // are open by now.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

bool writeVersionIfAsked(int argc, char** argv, std::string_view program) {
  if (argc < 2 || std::string_view(argv[1]) != "--version") return false;
  writeStdoutLine(std::string(program) + " " + TAVRIN_VERSION);
  return true;
}

}  // namespace tavrin
