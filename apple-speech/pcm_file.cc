#include "apple-speech/pcm_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "apple-speech/helper_error.h"
#include "common/audio_converter.h"
#include "common/output.h"

namespace tavrin::apple_speech {
namespace {

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

PcmBufferPtr loadFloat32Pcm(const std::string& path, const PcmFormat& format) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw PlatformError(errnoDescription(errno));
  FdCloser closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw PlatformError(errnoDescription(errno));
  if (S_ISDIR(st.st_mode)) throw PlatformError(errnoDescription(EISDIR));
  const auto bytes = static_cast<uint64_t>(st.st_size);
  const uint64_t frames = bytes / 4;
  if (frames == 0 || bytes % 4 != 0 || frames > std::numeric_limits<uint32_t>::max()) {
    throw HelperError::invalidAudio();
  }
  PcmBufferPtr buffer = PcmBuffer::create(format, static_cast<uint32_t>(frames));
  float* samples = buffer ? buffer->floatChannel(0) : nullptr;
  if (samples == nullptr) throw HelperError::invalidAudio();
  auto* out = reinterpret_cast<char*>(samples);
  uint64_t done = 0;
  while (done < bytes) {
    const ssize_t n = ::read(fd, out + done, bytes - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw PlatformError(errnoDescription(errno));
    }
    if (n == 0) break;  // the file shrank while being read
    done += static_cast<uint64_t>(n);
  }
  if (done != bytes) throw HelperError::invalidAudio();
  if constexpr (std::endian::native == std::endian::big) {
    for (uint64_t i = 0; i < frames; ++i) {
      samples[i] = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<uint32_t>(samples[i])));
    }
  }
  buffer->setFrameLength(static_cast<uint32_t>(frames));
  return buffer;
}

PcmBufferPtr sliceFloatBuffer(const PcmBuffer& buffer, uint32_t from, uint32_t frames) {
  const PcmFormat& format = buffer.format();
  if (format.sampleType != SampleType::kFloat32 || format.interleaved || buffer.floatChannel(0) == nullptr) {
    return nullptr;
  }
  PcmBufferPtr slice = PcmBuffer::create(format, frames);
  if (!slice || slice->floatChannel(0) == nullptr) return nullptr;
  slice->setFrameLength(frames);
  for (uint32_t ch = 0; ch < format.channelCount; ++ch) {
    const float* src = buffer.floatChannel(ch);
    float* dst = slice->floatChannel(ch);
    if (src == nullptr || dst == nullptr) continue;
    std::memcpy(dst, src + from, static_cast<size_t>(frames) * sizeof(float));
  }
  return slice;
}

uint32_t convertedChunkCapacity(uint32_t frames, double fromRate, double toRate) {
  const double scaled = std::ceil(static_cast<double>(frames) * toRate / fromRate);
  const double capacity = scaled + 1024;
  if (!(capacity < static_cast<double>(std::numeric_limits<uint32_t>::max()))) {
    return std::numeric_limits<uint32_t>::max();
  }
  return static_cast<uint32_t>(capacity);
}

PcmBufferPtr convertIfNeeded(const PcmBufferPtr& buffer, const PcmFormat& from, const PcmFormat& to) {
  if (from == to) return buffer;
  std::unique_ptr<FormatConverter> converter = makeResamplingConverter(from, to);
  if (!converter) throw HelperError::incompatibleAudioFormat();
  PcmBufferPtr out =
      PcmBuffer::create(to, convertedChunkCapacity(buffer->frameLength(), from.sampleRate, to.sampleRate));
  if (!out) throw HelperError::invalidAudio();
  bool given = false;
  const std::optional<std::string> error = converter->convert(*out, [&](ConverterInputStatus* status) -> PcmBufferPtr {
    if (given) {
      *status = ConverterInputStatus::kEndOfStream;
      return nullptr;
    }
    given = true;
    *status = ConverterInputStatus::kHaveData;
    return buffer;
  });
  if (error) throw PlatformError(*error);
  return out;
}

}  // namespace tavrin::apple_speech
