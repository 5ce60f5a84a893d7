#include "tests/support/subprocess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavrin::testing {

namespace {

std::vector<std::string> childEnvironment(const ProcessOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& name : options.unsetEnv) env.erase(name);
  for (const auto& [name, value] : options.setEnv) env[name] = value;
  std::vector<std::string> out;
  for (const auto& [name, value] : env) out.push_back(name + "=" + value);
  return out;
}

std::vector<char*> cStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> args = argv;
  std::vector<std::string> env = childEnvironment(options);
  std::vector<char*> cArgs = cStrings(args);
  std::vector<char*> cEnv = cStrings(env);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    if (options.workingDirectory && chdir(options.workingDirectory->c_str()) != 0) _exit(127);
    execve(cArgs[0], cArgs.data(), cEnv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  outFd_ = outPipe[0];
  errFd_ = errPipe[0];
}

BackgroundProcess::~BackgroundProcess() {
  if (!done_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

void BackgroundProcess::pump(int timeoutMs) {
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (poll(fds, 2, timeoutMs) <= 0) return;
  char buf[65536];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].revents & (POLLIN | POLLHUP)) {
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) (i == 0 ? result_.out : result_.err).append(buf, static_cast<size_t>(n));
      if (n == 0) {
        close(fds[i].fd);
        (i == 0 ? outFd_ : errFd_) = -1;
      }
    }
  }
}

std::string BackgroundProcess::outputSoFar() {
  if (outFd_ >= 0 || errFd_ >= 0) pump(0);
  return result_.out;
}

ProcessResult BackgroundProcess::wait(std::chrono::milliseconds timeout) {
  if (done_) return result_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool killed = false;
  while (outFd_ >= 0 || errFd_ >= 0) {
    if (!killed && std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      killed = true;
    }
    // Poll only the descriptors still open.
    pollfd fds[2];
    int n = 0;
    if (outFd_ >= 0) fds[n++] = {outFd_, POLLIN, 0};
    if (errFd_ >= 0) fds[n++] = {errFd_, POLLIN, 0};
    if (poll(fds, static_cast<nfds_t>(n), 100) <= 0) continue;
    char buf[65536];
    for (int i = 0; i < n; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
      const bool isOut = fds[i].fd == outFd_;
      const ssize_t r = read(fds[i].fd, buf, sizeof buf);
      if (r > 0) (isOut ? result_.out : result_.err).append(buf, static_cast<size_t>(r));
      if (r == 0) {
        close(fds[i].fd);
        (isOut ? outFd_ : errFd_) = -1;
      }
    }
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  done_ = true;
  if (WIFEXITED(status)) {
    result_.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result_.signal = WTERMSIG(status);
  }
  return result_;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  BackgroundProcess process(argv, options);
  return process.wait(options.timeout);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tavrin-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string programUnderTest(const char* name, const char* builtPath) {
  const char* dir = std::getenv("TAVRIN_TEST_PROGRAM_DIR");
  if (dir == nullptr || *dir == '\0') return builtPath;
  return std::string(dir) + "/" + name;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

}  // namespace tavrin::testing
