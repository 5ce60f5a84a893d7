#include "system-audio/recording/recording_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "common/atomic_file.h"
#include "common/output.h"

namespace tavrin::system_audio {

void AudioRecordingStats::encode(JsonBuilder& json) const {
  json.beginObject()
      .field("sampleCount", sampleCount)
      .field("bufferCount", bufferCount)
      .field("durationMs", durationMs)
      .endObject();
}

// --- output file ------------------------------------------------------------

std::optional<OutputFile> OutputFile::create(const std::string& path, int* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) {
    if (error) *error = errno;
    return std::nullopt;
  }
  OutputFile file{UniqueFd(fd)};
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return file;
}

int OutputFile::append(std::string_view bytes) {
  if (!fd_.valid()) return EBADF;
  return writeAll(fd_.get(), bytes);
}

// --- start file -------------------------------------------------------------

std::string formatStartTime(double secondsSinceEpoch) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, secondsSinceEpoch, std::chars_format::fixed);
  std::string out(text, result.ptr);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

double wallClockSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// --- shared file rules --------------------------------------------------------

RecordingFile::RecordingFile(OutputFile& file, std::optional<std::string> startFilePath,
                             std::function<double()> wallClock, StreamDeathWatcher* watcher)
    : file_(file), startFilePath_(std::move(startFilePath)), wallClock_(std::move(wallClock)), watcher_(watcher) {}

RecordingFile::~RecordingFile() {
  waitForStartFile();
}

void RecordingFile::append(std::string_view bytes, int64_t samples) {
  std::optional<std::string> failure;
  {
    std::lock_guard lock(mutex_);
    if (writeError_) return;
    if (bufferCount_ == 0 && startFilePath_ && !startFileWrite_.valid()) {
      // The time is read now, under the lock; the write happens elsewhere so
      // it never holds up the audio.
      const std::string text = formatStartTime(wallClock_());
      startFileWrite_ =
          std::async(std::launch::async, [path = *startFilePath_, text] { writeFileAtomically(path, text, 0644); });
    }
    if (const int error = file_.append(bytes)) {
      writeError_ = errnoDescription(error);
      failure = writeError_;
    } else {
      sampleCount_ += samples;
      bufferCount_ += 1;
    }
  }
  if (failure && watcher_) watcher_->streamDidStop(*failure);
}

AudioRecordingStats RecordingFile::snapshot() const {
  std::lock_guard lock(mutex_);
  AudioRecordingStats stats;
  stats.sampleCount = sampleCount_;
  stats.bufferCount = bufferCount_;
  stats.durationMs = static_cast<uint64_t>(sampleCount_) * 1000 / 16000;
  return stats;
}

std::optional<std::string> RecordingFile::writeError() const {
  std::lock_guard lock(mutex_);
  return writeError_;
}

void RecordingFile::waitForStartFile() {
  std::future<void> pending;
  {
    std::lock_guard lock(mutex_);
    if (!startFileWrite_.valid()) return;
    pending = std::move(startFileWrite_);
  }
  pending.wait();
}

// --- tap path -----------------------------------------------------------------

void TapRecordingWriter::write(const PcmBuffer& buffer) {
  const float* samples = buffer.floatChannel(0);
  if (samples == nullptr) return;
  const uint32_t frames = buffer.frameLength();
  if (frames == 0) return;
  file_.append(std::string_view(reinterpret_cast<const char*>(samples), static_cast<size_t>(frames) * 4), frames);
}

// --- screen-capture path --------------------------------------------------------

namespace {

template <typename T, typename Scale>
std::string encodeClamped(const T* samples, size_t count, Scale scale) {
  std::string out(count * 4, '\0');
  for (size_t i = 0; i < count; ++i) {
    float v = scale(samples[i]);
    v = std::max(v, -1.0f);
    v = std::min(v, 1.0f);
    std::memcpy(out.data() + i * 4, &v, 4);
  }
  return out;
}

// The whole samples of `bytes` as T. The bytes may not be aligned for T, so
// they are copied rather than viewed.
template <typename T>
std::vector<T> alignedCopy(const std::vector<std::byte>& bytes) {
  std::vector<T> out(bytes.size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}

}  // namespace

std::string encodeFloat32Samples(const float* samples, size_t count) {
  return encodeClamped(samples, count, [](float s) { return s; });
}

std::string encodeInt16Samples(const int16_t* samples, size_t count) {
  return encodeClamped(samples, count, [](int16_t s) { return static_cast<float>(s) / 32767.0f; });
}

std::string encodeInt32Samples(const int32_t* samples, size_t count) {
  return encodeClamped(samples, count,
                       [](int32_t s) { return static_cast<float>(s) / static_cast<float>(2147483647); });
}

std::optional<std::string> extractFloat32MonoSamples(const SampleBuffer& buffer) {
  if (!buffer.description) return std::nullopt;
  // Room for exactly one buffer: audio that needs more does not fit.
  if (buffer.buffers.size() != 1) return std::nullopt;
  const std::vector<std::byte>& data = buffer.buffers.front();
  if (data.empty()) return std::nullopt;
  const AudioStreamDescription& d = *buffer.description;
  if ((d.formatFlags & kAudioFormatFlagIsFloat) && d.bitsPerChannel == 32) {
    const auto samples = alignedCopy<float>(data);
    return encodeFloat32Samples(samples.data(), samples.size());
  }
  if ((d.formatFlags & kAudioFormatFlagIsSignedInteger) && d.bitsPerChannel == 16) {
    const auto samples = alignedCopy<int16_t>(data);
    return encodeInt16Samples(samples.data(), samples.size());
  }
  if ((d.formatFlags & kAudioFormatFlagIsSignedInteger) && d.bitsPerChannel == 32) {
    const auto samples = alignedCopy<int32_t>(data);
    return encodeInt32Samples(samples.data(), samples.size());
  }
  return std::nullopt;
}

void AudioRecordingOutput::stream(const SampleBuffer& buffer, StreamOutputType type) {
  if (type != StreamOutputType::kAudio || !buffer.valid) return;
  const auto bytes = extractFloat32MonoSamples(buffer);
  if (!bytes) return;
  file_.append(*bytes, static_cast<int64_t>(bytes->size() / 4));
}

}  // namespace tavrin::system_audio
