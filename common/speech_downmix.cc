#include "common/speech_downmix.h"

#include <algorithm>
#include <bit>
#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace tavrin {
namespace {

// The most channels a layout (and so a matrix row) can have. The library
// fills rows of this width whatever `stride` it is given.
constexpr int kMaxChannels = 64;

std::vector<float> coefficientsFor(uint32_t channels, uint64_t channelMask) {
  AVChannelLayout in{};
  if (channelMask == 0 || std::popcount(channelMask) != static_cast<int>(channels) ||
      av_channel_layout_from_mask(&in, channelMask) < 0) {
    av_channel_layout_default(&in, static_cast<int>(channels));
  }
  const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
  std::vector<double> matrix(static_cast<size_t>(kMaxChannels) * kMaxChannels, 0.0);
  // A log context the library can name in its messages (it needs one).
  SwrContext* log = swr_alloc();
  const int rc = log == nullptr ? -1
                                : swr_build_matrix2(&in, &stereo, M_SQRT1_2, M_SQRT1_2, /*lfe_mix_level=*/0,
                                                    /*maxval=*/1e9, /*rematrix_volume=*/1, matrix.data(), kMaxChannels,
                                                    AV_MATRIX_ENCODING_NONE, log);
  swr_free(&log);
  av_channel_layout_uninit(&in);
  std::vector<float> coefficients(channels);
  for (uint32_t c = 0; c < channels; ++c) {
    // A layout the library cannot mix (more than it names) falls back to
    // the average of the channels.
    coefficients[c] =
        rc < 0 ? 1.0f / static_cast<float>(channels) : static_cast<float>(0.5 * (matrix[c] + matrix[kMaxChannels + c]));
  }
  return coefficients;
}

}  // namespace

std::unique_ptr<SpeechDownmix> SpeechDownmix::create(uint32_t channels, uint64_t channelMask, int sampleFormat,
                                                     int rate) {
  AVChannelLayout layout{};
  av_channel_layout_default(&layout, static_cast<int>(channels));
  SwrContext* unpack = nullptr;
  int rc = swr_alloc_set_opts2(&unpack, &layout, AV_SAMPLE_FMT_FLTP, rate, &layout,
                               static_cast<AVSampleFormat>(sampleFormat), rate, 0, nullptr);
  av_channel_layout_uninit(&layout);
  if (rc >= 0) rc = swr_init(unpack);
  if (rc < 0) {
    swr_free(&unpack);
    return nullptr;
  }
  return std::unique_ptr<SpeechDownmix>(new SpeechDownmix(unpack, coefficientsFor(channels, channelMask)));
}

SpeechDownmix::SpeechDownmix(SwrContext* unpack, std::vector<float> coefficients)
    : unpack_(unpack), coefficients_(std::move(coefficients)), planes_(coefficients_.size()) {}

SpeechDownmix::~SpeechDownmix() {
  swr_free(&unpack_);
}

int SpeechDownmix::mix(const uint8_t* const* in, int frames) {
  std::vector<uint8_t*> planes(planes_.size());
  for (size_t c = 0; c < planes_.size(); ++c) {
    planes_[c].resize(static_cast<size_t>(std::max(frames, 0)));
    planes[c] = reinterpret_cast<uint8_t*>(planes_[c].data());
  }
  const int n = swr_convert(unpack_, planes.data(), frames, const_cast<const uint8_t**>(in), frames);
  mono_.resize(static_cast<size_t>(std::max(n, 0)));
  for (size_t i = 0; i < mono_.size(); ++i) {
    float sum = 0;
    float loudest = 0;
    for (size_t c = 0; c < planes_.size(); ++c) {
      const float x = planes_[c][i];
      sum += coefficients_[c] * x;
      loudest = std::max(loudest, std::fabs(x));
    }
    mono_[i] = std::clamp(sum, -loudest, loudest);
  }
  return n;
}

}  // namespace tavrin
