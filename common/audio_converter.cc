#include "common/audio_converter.h"

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "common/speech_downmix.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace tavrin {

namespace {

AVSampleFormat avSampleFormat(const PcmFormat& format) {
  switch (format.sampleType) {
    case SampleType::kFloat32: return format.interleaved ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_FLTP;
    case SampleType::kInt16: return format.interleaved ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S16P;
    case SampleType::kInt32: return format.interleaved ? AV_SAMPLE_FMT_S32 : AV_SAMPLE_FMT_S32P;
  }
  return AV_SAMPLE_FMT_NONE;
}

std::string avErrorText(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

struct SwrDeleter {
  void operator()(SwrContext* context) const { swr_free(&context); }
};

std::unique_ptr<SwrContext, SwrDeleter> makeContext(const PcmFormat& from, const PcmFormat& to) {
  AVChannelLayout inLayout{}, outLayout{};
  av_channel_layout_default(&inLayout, static_cast<int>(from.channelCount));
  av_channel_layout_default(&outLayout, static_cast<int>(to.channelCount));
  SwrContext* raw = nullptr;
  const int rc =
      swr_alloc_set_opts2(&raw, &outLayout, avSampleFormat(to), static_cast<int>(std::lround(to.sampleRate)), &inLayout,
                          avSampleFormat(from), static_cast<int>(std::lround(from.sampleRate)), 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  av_channel_layout_uninit(&outLayout);
  std::unique_ptr<SwrContext, SwrDeleter> context(raw);
  if (rc < 0 || !context) return nullptr;
  return context;
}

class ResamplingConverter final : public FormatConverter {
 public:
  ResamplingConverter(std::unique_ptr<SwrContext, SwrDeleter> context, PcmFormat from, PcmFormat to,
                      std::unique_ptr<SpeechDownmix> downmix)
      : context_(std::move(context)), from_(from), to_(to), downmix_(std::move(downmix)) {}

  std::optional<std::string> convert(PcmBuffer& out, const InputBlock& input) override {
    if (!(out.format() == to_)) return "output buffer is not in the converter's target format";
    uint32_t produced = 0;
    for (;;) {
      ConverterInputStatus status = ConverterInputStatus::kNoDataNow;
      PcmBufferPtr in = input(&status);
      if (status != ConverterInputStatus::kHaveData || !in) {
        if (status == ConverterInputStatus::kEndOfStream) {
          // Drain what the resampler still holds.
          if (auto error = run(out, nullptr, 0, &produced)) return error;
        }
        break;
      }
      if (!(in->format() == from_)) return "input buffer is not in the converter's source format";
      std::vector<const uint8_t*> planes(in->bufferCount());
      for (uint32_t i = 0; i < in->bufferCount(); ++i) {
        if (in->data(i) == nullptr) return "input buffer has a sample array without data";
        planes[i] = reinterpret_cast<const uint8_t*>(in->data(i));
      }
      if (auto error = run(out, planes.data(), static_cast<int>(in->frameLength()), &produced)) return error;
    }
    out.setFrameLength(produced);
    return std::nullopt;
  }

 private:
  std::optional<std::string> run(PcmBuffer& out, const uint8_t** in, int inFrames, uint32_t* produced) {
    const uint8_t* mono = nullptr;
    if (downmix_ && in != nullptr) {
      inFrames = downmix_->mix(in, inFrames);
      if (inFrames < 0) return avErrorText(inFrames);
      mono = reinterpret_cast<const uint8_t*>(downmix_->mono());
      in = &mono;
    }
    const uint32_t room = out.frameCapacity() - *produced;
    std::vector<uint8_t*> planes(out.bufferCount());
    const size_t offset = static_cast<size_t>(*produced) * to_.bytesPerFrameInBuffer();
    for (uint32_t i = 0; i < out.bufferCount(); ++i) {
      planes[i] = reinterpret_cast<uint8_t*>(out.data(i)) + offset;
    }
    const int n = swr_convert(context_.get(), planes.data(), static_cast<int>(room), in, inFrames);
    if (n < 0) return avErrorText(n);
    *produced += static_cast<uint32_t>(n);
    return std::nullopt;
  }

  std::unique_ptr<SwrContext, SwrDeleter> context_;
  PcmFormat from_;
  PcmFormat to_;
  std::unique_ptr<SpeechDownmix> downmix_;
};

}  // namespace

std::unique_ptr<FormatConverter> makeResamplingConverter(const PcmFormat& from, const PcmFormat& to) {
  if (!from.isValid() || !to.isValid()) return nullptr;
  if (from.sampleRate > std::numeric_limits<int>::max() || to.sampleRate > std::numeric_limits<int>::max()) {
    return nullptr;
  }
  std::unique_ptr<SpeechDownmix> downmix;
  PcmFormat resampled = from;
  if (to.channelCount == 1 && from.channelCount > 1) {
    downmix = SpeechDownmix::create(from.channelCount, from.channelMask, avSampleFormat(from),
                                    static_cast<int>(std::lround(from.sampleRate)));
    if (!downmix) return nullptr;
    resampled = PcmFormat{from.sampleRate, 1, SampleType::kFloat32, true};
  }
  std::unique_ptr<SwrContext, SwrDeleter> context = makeContext(resampled, to);
  if (!context || swr_init(context.get()) < 0) return nullptr;
  return std::make_unique<ResamplingConverter>(std::move(context), from, to, std::move(downmix));
}

uint32_t convertedCapacity(uint32_t frames, double fromRate, double toRate) {
  const double ratio = toRate / fromRate;
  const double capacity = std::ceil(static_cast<double>(frames) * ratio);
  if (!(capacity >= 0)) return 0;
  if (capacity > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(capacity);
}

LiveAudioConverter::LiveAudioConverter(const PcmFormat& analyzerFormat, FormatConverterFactory factory)
    : analyzerFormat_(analyzerFormat), factory_(std::move(factory)) {}

PcmBufferPtr LiveAudioConverter::convert(const PcmBufferPtr& buffer) {
  if (!buffer) return nullptr;
  if (buffer->format() == analyzerFormat_) return buffer;

  if (!converter_ || !sourceFormat_ || !(*sourceFormat_ == buffer->format())) {
    converter_ = factory_(buffer->format(), analyzerFormat_);
    sourceFormat_ = buffer->format();
  }
  if (!converter_) return nullptr;

  const uint32_t capacity =
      convertedCapacity(buffer->frameLength(), buffer->format().sampleRate, analyzerFormat_.sampleRate);
  PcmBufferPtr out = PcmBuffer::create(analyzerFormat_, capacity);
  if (!out) return nullptr;

  // The buffer is handed over once; any further request in this call hears
  // "no data now", never "end of stream", so the converter keeps its state
  // for the next buffer.
  bool consumed = false;
  const auto error = converter_->convert(*out, [&](ConverterInputStatus* status) -> PcmBufferPtr {
    if (consumed) {
      *status = ConverterInputStatus::kNoDataNow;
      return nullptr;
    }
    consumed = true;
    *status = ConverterInputStatus::kHaveData;
    return buffer;
  });
  if (error || out->frameLength() == 0) return nullptr;
  return out;
}

}  // namespace tavrin
