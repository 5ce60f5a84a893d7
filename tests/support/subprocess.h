// Runs a program as a child process with a given argument list and
// environment additions, and captures what it writes.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrin::testing {

struct ProcessResult {
  std::string out;
  std::string err;
  int exitStatus = -1;  // -1 when the child was killed by a signal
  int signal = 0;
};

struct ProcessOptions {
  std::map<std::string, std::string> setEnv;   // added to (or replacing in) the environment
  std::vector<std::string> unsetEnv;
  std::optional<std::string> workingDirectory;
  // The child is killed after this long; the test then fails on its result.
  std::chrono::seconds timeout{60};
};

// Runs `argv[0]` with `argv` (argv[0] is also the program path) and waits
// for it to end. Standard input is /dev/null.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A child that keeps running while the test goes on.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  ~BackgroundProcess();  // kills the child if it still runs
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  int pid() const { return pid_; }
  // Waits for the child to end (killing it after `timeout`) and returns
  // everything it wrote.
  ProcessResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // What it has written to standard output so far.
  std::string outputSoFar();

 private:
  void pump(int timeoutMs);

  int pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
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

// The program a test runs: `builtPath` from this build, or `name` in
// $TAVRIN_TEST_PROGRAM_DIR when that is set (the programs of an unpacked
// package, so what ships is what is tested).
std::string programUnderTest(const char* name, const char* builtPath);

std::string readFile(const std::string& path);

}  // namespace tavrin::testing

#define TAVRIN_SYSTEM_AUDIO_BIN ::tavrin::testing::programUnderTest("tavrin-system-audio", TAVRIN_SYSTEM_AUDIO_BUILT)
#define TAVRIN_APPLE_SPEECH_BIN ::tavrin::testing::programUnderTest("tavrin-apple-speech", TAVRIN_APPLE_SPEECH_BUILT)
#ifdef TAVRIN_APPLE_LLM_BUILT
#define TAVRIN_APPLE_LLM_BIN ::tavrin::testing::programUnderTest("tavrin-apple-llm", TAVRIN_APPLE_LLM_BUILT)
#endif

namespace tavrin::testing {
void writeFile(const std::string& path, const std::string& content);

}  // namespace tavrin::testing
