#include "tests/support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace tavrin::testing {

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    if (entry.find('=') != std::string::npos)
      env.emplace(entry.substr(0, entry.find('=')), entry.substr(entry.find('=') + 1));
  }
  // No child downloads a model unless its test says so (and then from its own loopback server).
  env["TAVRIN_MODEL_DOWNLOADS"] = "off";
  for (const auto& name : options.unsetEnv) env.erase(name);
  for (const auto& [name, value] : options.setEnv) env[name] = value;
  std::vector<std::string> args = argv, envStrings;
  for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
  std::vector<char*> cArgs, cEnv;
  for (auto& s : args) cArgs.push_back(s.data());
  for (auto& s : envStrings) cEnv.push_back(s.data());
  cArgs.push_back(nullptr);
  cEnv.push_back(nullptr);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (options.workingDirectory && chdir(options.workingDirectory->c_str()) != 0) _exit(127);
    execve(cArgs[0], cArgs.data(), cEnv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  fds_[0] = out[0];
  fds_[1] = err[0];
}

BackgroundProcess::~BackgroundProcess() {
  if (!done_) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  for (int fd : fds_) close(fd);  // -1 when closed already: ignored
}

void BackgroundProcess::pump(int timeoutMs) {
  pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};  // closed ones (-1) are ignored
  if (poll(p, 2, timeoutMs) <= 0) return;
  for (int i = 0; i < 2; ++i) {
    if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
    char buf[65536];
    const ssize_t n = read(fds_[i], buf, sizeof buf);
    if (n > 0) (i == 0 ? result_.out : result_.err).append(buf, static_cast<size_t>(n));
    if (n <= 0) {
      close(fds_[i]);
      fds_[i] = -1;
    }
  }
}

std::string BackgroundProcess::outputSoFar() {
  pump(0);
  return result_.out;
}

ProcessResult BackgroundProcess::wait(std::chrono::milliseconds timeout) {
  if (done_) return result_;
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + timeout;
  bool killed = false;
  while (fds_[0] >= 0 || fds_[1] >= 0) {
    if (Clock::now() > deadline) {
      if (killed) break;
      kill(pid_, SIGKILL);
      killed = true;
      deadline = Clock::now() + std::chrono::seconds(2);
    }
    pump(100);
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  done_ = true;
  if (WIFEXITED(status)) result_.exitStatus = WEXITSTATUS(status);
  return result_;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  return BackgroundProcess(argv, options).wait(options.timeout);
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
  return dir == nullptr || *dir == '\0' ? builtPath : std::string(dir) + "/" + name;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace tavrin::testing
