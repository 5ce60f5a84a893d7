#include "system-audio/live/ndjson_writer.h"

#include <cmath>
#include <cstdio>

#include "common/output.h"

namespace tavrin::system_audio {

void NDJSONWriter::writeLocked(const std::string& line) {
  std::lock_guard lock(mutex_);
  // The object and its line feed go out under one holding of the lock; a
  // short write is continued, so no other event can land inside this line.
  (void)writeAll(fd_, line);
}

void LiveTiming::begin() {
  std::lock_guard lock(mutex_);
  startNanos_ = clock_();
}

void LiveTiming::log(const std::string& kind, double audioEndSeconds) {
  if (!enabled_) return;
  double lag = std::nan("");
  {
    std::lock_guard lock(mutex_);
    if (startNanos_) {
      const uint64_t now = clock_();
      const double elapsed = static_cast<double>(static_cast<int64_t>(now - *startNanos_)) / 1e9;
      lag = (elapsed - audioEndSeconds) * 1000;
    }
  }
  if (std::isnan(lag)) return;
  sink_(formatLine(kind, audioEndSeconds, lag));
}

std::string LiveTiming::formatLine(const std::string& kind, double audioEndSeconds, double lagMs) {
  char numbers[128];
  std::snprintf(numbers, sizeof numbers, " audioEndSec=%.2f lagMs=%.0f\n", audioEndSeconds, lagMs);
  return "[live-timing] kind=" + kind + numbers;
}

}  // namespace tavrin::system_audio
