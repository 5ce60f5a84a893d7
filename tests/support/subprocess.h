// Running a program as a child process and capturing what it writes; temporary directories.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrin::testing {

struct ProcessResult {
  std::string out, err;
  int exitStatus = -1;  // -1 when the child was killed by a signal
};

struct ProcessOptions {
  // Added to (or replacing in) the environment, which always holds TAVRIN_MODEL_DOWNLOADS=off unless set or unset here.
  std::map<std::string, std::string> setEnv;
  std::vector<std::string> unsetEnv{};
  std::optional<std::string> workingDirectory{};
  std::chrono::seconds timeout{60};  // then the child is killed
};

// Runs argv[0] (a path) with standard input /dev/null and waits for it to end.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A child that keeps running while the test goes on; killed on destruction.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // Waits for the child to end (killing it after `timeout`; reading stops 2 s later if a grandchild holds the pipes)
  // and returns all it wrote.
  ProcessResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // What it has written to standard output so far.
  std::string outputSoFar();
  int pid() const { return pid_; }  // to send it a signal

 private:
  void pump(int timeoutMs);

  int pid_ = -1;
  int fds_[2] = {-1, -1};  // standard output, standard error
  ProcessResult result_;
  bool done_ = false;
};

// A fresh temporary directory, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// `builtPath`, or `name` in $TAVRIN_TEST_PROGRAM_DIR when set (an unpacked package's programs).
std::string programUnderTest(const char* name, const char* builtPath);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

}  // namespace tavrin::testing

#define TAVRIN_SYSTEM_AUDIO_BIN ::tavrin::testing::programUnderTest("tavrin-system-audio", TAVRIN_SYSTEM_AUDIO_BUILT)
#define TAVRIN_APPLE_SPEECH_BIN ::tavrin::testing::programUnderTest("tavrin-apple-speech", TAVRIN_APPLE_SPEECH_BUILT)
#ifdef TAVRIN_APPLE_LLM_BUILT
#define TAVRIN_APPLE_LLM_BIN ::tavrin::testing::programUnderTest("tavrin-apple-llm", TAVRIN_APPLE_LLM_BUILT)
#endif
