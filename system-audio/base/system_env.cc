#include "system-audio/base/system_env.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <thread>

#include "common/output.h"

namespace tavrin::system_audio {

uint64_t monotonicNowNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

namespace {

sigset_t terminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

RealSystemEnv::RealSystemEnv() : startParent_(::getppid()) {
  const sigset_t set = terminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

RealSystemEnv::~RealSystemEnv() = default;

void RealSystemEnv::holdTerminationSignals() {
  if (signalFd_.valid()) return;
  const sigset_t set = terminationSignals();
  // A parent may have started us with these ignored (a shell's background
  // job ignores SIGINT); an ignored signal is never held, so take the
  // default back. Blocked here, before any thread starts, they stay blocked
  // in every thread and wait on the signalfd.
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::signal(signal, SIG_DFL);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signalFd_.reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

void RealSystemEnv::releaseTerminationSignals() {
  if (signalFd_.valid()) return;
  const sigset_t set = terminationSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void RealSystemEnv::stopReached() {
  if (!signalFd_.valid()) return;
  signalfd_siginfo info{};
  while (::read(signalFd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
  const sigset_t set = terminationSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool RealSystemEnv::terminationSignalPending() {
  if (signalled_) return true;
  if (!signalFd_.valid()) return false;
  pollfd fd{signalFd_.get(), POLLIN, 0};
  return ::poll(&fd, 1, 0) > 0;
}

bool RealSystemEnv::sleepUnlessSignalled(std::chrono::nanoseconds duration) {
  if (!signalFd_.valid() || signalled_) {
    sleepFor(duration);
    return false;
  }
  const uint64_t until = monotonicNowNanos() + static_cast<uint64_t>(duration.count());
  for (;;) {
    const uint64_t now = monotonicNowNanos();
    if (now >= until) return false;
    pollfd fd{signalFd_.get(), POLLIN, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>((until - now + 999'999) / 1'000'000));
    if (ready <= 0) continue;
    signalfd_siginfo info{};
    if (::read(signalFd_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    // Reported once: from now on the next one ends the process (this, the
    // waiting thread, takes it with the default action). The descriptor
    // stays open, as other threads may poll it.
    signalled_ = true;
    const sigset_t set = terminationSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return true;
  }
}

pid_t RealSystemEnv::parentProcessId() {
  return ::getppid();
}

bool RealSystemEnv::pathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

void RealSystemEnv::sleepFor(std::chrono::nanoseconds duration) {
  std::this_thread::sleep_for(duration);
}

uint64_t RealSystemEnv::monotonicNanos() {
  return monotonicNowNanos();
}

int RealSystemEnv::writeStdoutLine(std::string_view line) {
  return tavrin::writeStdoutLine(line);
}

int RealSystemEnv::writeStderrLine(std::string_view line) {
  return tavrin::writeStderrLine(line);
}

}  // namespace tavrin::system_audio
