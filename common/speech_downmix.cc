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

float bounded(float mixed, float loudest) {
  return std::clamp(mixed, -loudest, loudest);
}

}  // namespace

SpeechDownmix::SpeechDownmix(uint32_t channels, uint64_t channelMask) {
  if (channels <= 1) {
    coefficients_.assign(channels, 1.0f);
    return;
  }
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
  coefficients_.resize(channels);
  for (uint32_t c = 0; c < channels; ++c) {
    // A layout the library cannot mix (more than it names) falls back to
    // the average of the channels.
    coefficients_[c] =
        rc < 0 ? 1.0f / static_cast<float>(channels) : static_cast<float>(0.5 * (matrix[c] + matrix[kMaxChannels + c]));
  }
}

void SpeechDownmix::mixPlanar(const float* const* planes, size_t frames, float* out) const {
  const size_t channels = coefficients_.size();
  for (size_t i = 0; i < frames; ++i) {
    float sum = 0;
    float loudest = 0;
    for (size_t c = 0; c < channels; ++c) {
      const float x = planes[c][i];
      sum += coefficients_[c] * x;
      loudest = std::max(loudest, std::fabs(x));
    }
    out[i] = bounded(sum, loudest);
  }
}

void SpeechDownmix::mixInterleaved(const float* in, size_t frames, float* out) const {
  const size_t channels = coefficients_.size();
  for (size_t i = 0; i < frames; ++i) {
    const float* frame = in + i * channels;
    float sum = 0;
    float loudest = 0;
    for (size_t c = 0; c < channels; ++c) {
      sum += coefficients_[c] * frame[c];
      loudest = std::max(loudest, std::fabs(frame[c]));
    }
    out[i] = bounded(sum, loudest);
  }
}

}  // namespace tavrin
