// What `record` writes: the raw sample file (headerless little-endian 32-bit
// float, mono, 16 kHz), the optional start file, and the statistics reply.
//
// TapRecordingWriter takes converted PCM buffers (the tap path);
// AudioRecordingOutput takes sample buffers of the screen-capture service
// and decodes them with extractFloat32MonoSamples (every sample clamped to
// -1 ... 1). Both share one rule set (RecordingFile): one lock guards the
// appends and the counters; the start file is submitted once, with the time
// read under the lock, and written on another thread; the first append that
// fails stops all further appends and is kept as the recording's error, and
// the watcher given at creation learns of it so a waiting recording ends at
// once instead of replying with counts that disagree with the file.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "common/json.h"
#include "common/pcm_buffer.h"
#include "common/unique_fd.h"
#include "system-audio/base/stop_signals.h"
#include "system-audio/sources/screen_capture.h"

namespace tavrin::system_audio {

// Reply of `record`.
struct AudioRecordingStats {
  int64_t sampleCount = 0;
  int64_t bufferCount = 0;
  uint64_t durationMs = 0;  // sampleCount × 1000 ÷ 16000, truncated
  void encode(JsonBuilder& json) const;
};

// The output file, opened for appending after being created or emptied.
// Closing ignores errors (what was appended is on disk or already reported).
class OutputFile {
 public:
  // Creates or truncates `path`; nothing when it cannot be opened, with the
  // errno in `error`. Never blocks: a FIFO that no one reads yet fails with
  // ENXIO (the caller may try again); once open, writes block as usual.
  static std::optional<OutputFile> create(const std::string& path, int* error = nullptr);
  OutputFile(OutputFile&& other) noexcept = default;
  OutputFile& operator=(OutputFile&&) = delete;

  // Appends all of `bytes`; 0 or the errno of the failed write.
  int append(std::string_view bytes);
  void close() { fd_.reset(); }

 private:
  explicit OutputFile(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// Seconds since 1970 as the shortest decimal text that reads back as the same
// double, always with a fractional part ("1733533200.25", "1733533200.0").
std::string formatStartTime(double secondsSinceEpoch);
// The wall clock in seconds since 1970.
double wallClockSeconds();

class RecordingFile {
 public:
  // `watcher`, when given, has its error set when an append fails.
  RecordingFile(OutputFile& file, std::optional<std::string> startFilePath, std::function<double()> wallClock,
                StreamDeathWatcher* watcher);
  ~RecordingFile();  // waits for the start-file write

  // Appends `bytes` holding `samples` samples as one buffer (see above).
  void append(std::string_view bytes, int64_t samples);
  AudioRecordingStats snapshot() const;
  // The description of the first failed append, if any.
  std::optional<std::string> writeError() const;
  // Waits until the start file (if submitted) has been written.
  void waitForStartFile();

 private:
  mutable std::mutex mutex_;
  OutputFile& file_;
  const std::optional<std::string> startFilePath_;
  const std::function<double()> wallClock_;
  StreamDeathWatcher* const watcher_;
  int64_t sampleCount_ = 0;
  int64_t bufferCount_ = 0;
  std::optional<std::string> writeError_;
  std::future<void> startFileWrite_;
};

class TapRecordingWriter {
 public:
  TapRecordingWriter(OutputFile& file, std::optional<std::string> startFilePath,
                     std::function<double()> wallClock = wallClockSeconds, StreamDeathWatcher* watcher = nullptr)
      : file_(file, std::move(startFilePath), std::move(wallClock), watcher) {}

  // Appends the first channel of a 32-bit float buffer, as it comes (not
  // clamped). Buffers without float data or without frames are ignored.
  void write(const PcmBuffer& buffer);
  AudioRecordingStats snapshot() const { return file_.snapshot(); }
  std::optional<std::string> writeError() const { return file_.writeError(); }
  void waitForStartFile() { file_.waitForStartFile(); }

 private:
  RecordingFile file_;
};

class AudioRecordingOutput {
 public:
  AudioRecordingOutput(OutputFile& file, std::optional<std::string> startFilePath,
                       std::function<double()> wallClock = wallClockSeconds, StreamDeathWatcher* watcher = nullptr)
      : file_(file, std::move(startFilePath), std::move(wallClock), watcher) {}

  // The stream's output callback: valid audio buffers are decoded and
  // appended; anything else is ignored.
  void stream(const SampleBuffer& buffer, StreamOutputType type);
  AudioRecordingStats snapshot() const { return file_.snapshot(); }
  std::optional<std::string> writeError() const { return file_.writeError(); }
  void waitForStartFile() { file_.waitForStartFile(); }

 private:
  RecordingFile file_;
};

// The samples of a one-buffer audio sample buffer as little-endian 32-bit
// floats clamped to -1 ... 1: float32, or signed 16/32-bit integers scaled by
// 32767 / 2147483647. Nothing when the buffer has no description, needs more
// than one buffer, has no data, or is in another format.
std::optional<std::string> extractFloat32MonoSamples(const SampleBuffer& buffer);
std::string encodeFloat32Samples(const float* samples, size_t count);
std::string encodeInt16Samples(const int16_t* samples, size_t count);
std::string encodeInt32Samples(const int32_t* samples, size_t count);

}  // namespace tavrin::system_audio
