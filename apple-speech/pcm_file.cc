#include "apple-speech/pcm_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
RawSampleReader::RawSampleReader(const std::string& path) {
  fd_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd_.valid()) throw PlatformError(errnoDescription(errno));
  struct stat st {};
  const int error = ::fstat(fd_.get(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (error != 0) throw PlatformError(errnoDescription(error));
  const auto bytes = static_cast<uint64_t>(st.st_size);
  frames_ = bytes / 4;
  if (frames_ == 0 || bytes % 4 != 0) throw HelperError::invalidAudio();
}

RawSampleReader::~RawSampleReader() = default;

PcmBufferPtr RawSampleReader::next(uint32_t maxFrames, const PcmFormat& format) {
  if (done_ >= frames_) return nullptr;
  const auto frames = static_cast<uint32_t>(std::min<uint64_t>(maxFrames, frames_ - done_));
  PcmBufferPtr buffer = PcmBuffer::create(format, frames);
  float* samples = buffer ? buffer->floatChannel(0) : nullptr;
  if (samples == nullptr) throw HelperError::invalidAudio();
  auto* out = reinterpret_cast<char*>(samples);
  const uint64_t bytes = uint64_t{frames} * 4;
  uint64_t read = 0;
  while (read < bytes) {
    const ssize_t n = ::read(fd_.get(), out + read, bytes - read);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw PlatformError(errnoDescription(errno));
    }
    if (n == 0) throw HelperError::invalidAudio();  // the file shrank while being read
    read += static_cast<uint64_t>(n);
  }
  if constexpr (std::endian::native == std::endian::big) {
    for (uint32_t i = 0; i < frames; ++i) {
      samples[i] = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<uint32_t>(samples[i])));
    }
  }
  buffer->setFrameLength(frames);
  done_ += frames;
  return buffer;
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
