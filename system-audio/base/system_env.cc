#include "system-audio/base/system_env.h"

#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "common/output.h"

namespace tavrin::system_audio {

uint64_t monotonicNowNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

pid_t RealSystemEnv::parentProcessId() { return ::getppid(); }

bool RealSystemEnv::pathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

void RealSystemEnv::sleepFor(std::chrono::nanoseconds duration) { std::this_thread::sleep_for(duration); }

uint64_t RealSystemEnv::monotonicNanos() { return monotonicNowNanos(); }

int RealSystemEnv::writeStdoutLine(std::string_view line) { return tavrin::writeStdoutLine(line); }

int RealSystemEnv::writeStderrLine(std::string_view line) { return tavrin::writeStderrLine(line); }

}  // namespace tavrin::system_audio
