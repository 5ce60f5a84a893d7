// The live event stream: one JSON object per line on standard output, shared
// by every task of a live run.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "common/json.h"
#include "system-audio/live/events.h"

namespace tavrin::system_audio {

class NDJSONWriter {
 public:
  // Writes to `fd` (standard output by default).
  explicit NDJSONWriter(int fd = 1) : fd_(fd) {}

  // Encodes the event and writes it as one whole line. Thread-safe: lines of
  // concurrent callers never interleave. Never fails: an event that cannot be
  // encoded is dropped, and write failures are not reported.
  template <typename Event>
  void emit(const Event& event) {
    std::string line;
    try {
      JsonBuilder json(SlashStyle::kEscaped);
      event.encode(json);
      line = json.take();
    } catch (const JsonEncodingError&) {
      return;
    }
    line.push_back('\n');
    writeLocked(line);
  }

 private:
  void writeLocked(const std::string& line);

  int fd_;
  std::mutex mutex_;
};

// Optional latency log of one channel on standard error, switched on by the
// presence of TAVRIN_LIVE_TIMING in the environment (any value, even empty).
class LiveTiming {
 public:
  using Clock = std::function<uint64_t()>;                    // monotonic nanoseconds
  using Sink = std::function<void(const std::string& line)>;  // one whole line, with its line feed

  LiveTiming(bool enabled, Clock clock, Sink sink)
      : enabled_(enabled), clock_(std::move(clock)), sink_(std::move(sink)) {}

  bool enabled() const { return enabled_; }

  // Audio started to flow: (re)starts the clock.
  void begin();

  // Writes "[live-timing] kind=<kind> audioEndSec=<%.2f> lagMs=<%.0f>" when
  // enabled and begun; the lag is the time since begin() minus the result's
  // audio end, in milliseconds.
  void log(const std::string& kind, double audioEndSeconds);

  // The line log() writes, with its line feed.
  static std::string formatLine(const std::string& kind, double audioEndSeconds, double lagMs);

 private:
  const bool enabled_;
  Clock clock_;
  Sink sink_;
  std::mutex mutex_;
  std::optional<uint64_t> startNanos_;
};

}  // namespace tavrin::system_audio
