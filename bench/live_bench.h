// What the live benchmarks share: the event reader (newline-delimited events
// written into a pipe, each line kept with the monotonic time it arrived) and
// the median and 95th percentile of a set of figures.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/unique_fd.h"
#include "system-audio/base/system_env.h"

namespace tavrin::bench {

// Owns the pipe and the thread that reads it. Hand writeFd() to the writer
// under test (it does not take the descriptor over); finish() once every
// writer is done. The lines are read on the reader thread only until
// finish() joins it, so they need no lock.
class TimedLines {
 public:
  TimedLines() {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    read_.reset(fds[0]);
    write_.reset(fds[1]);
    reader_ = std::thread([this] { readAll(); });
  }
  ~TimedLines() { finish(); }
  TimedLines(const TimedLines&) = delete;
  TimedLines& operator=(const TimedLines&) = delete;

  int writeFd() const { return write_.get(); }

  // Closes the write end and waits for the last line.
  const std::vector<std::pair<uint64_t, std::string>>& finish() {
    write_.reset();
    if (reader_.joinable()) reader_.join();
    return lines_;
  }

 private:
  void readAll() {
    std::string pending;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(read_.get(), buf, sizeof buf)) > 0) {
      const uint64_t now = system_audio::monotonicNowNanos();
      pending.append(buf, static_cast<size_t>(n));
      for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
        lines_.emplace_back(now, pending.substr(0, nl));
      }
    }
  }

  UniqueFd read_;
  UniqueFd write_;
  std::vector<std::pair<uint64_t, std::string>> lines_;
  std::thread reader_;
};

struct Quantiles {
  double median = 0, p95 = 0;
  size_t n = 0;
};
inline Quantiles quantiles(std::vector<double> v) {
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))]; };
  return {at(0.5), at(0.95), v.size()};
}

}  // namespace tavrin::bench
