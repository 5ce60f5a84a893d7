// The one downmix of multichannel audio to the single channel speech is
// recognised from, shared by decoded media files and the system output.
//
// The coefficients are FFmpeg's (libswresample's matrix for a stereo
// downmix with the centre and the surrounds at -3 dB and the LFE channel
// left out), the two stereo rows averaged: a stereo source becomes the mean
// of its pair, dialogue in a centre channel alone comes out 3 dB below the
// same speech in the front pair or in a mono source, never 15 dB or more.
//
// Each output sample is then bounded by the loudest input channel of its
// frame. Identical content in every channel (a server that upmixes stereo
// into a surround output copies it into the centre and the surrounds) thus
// keeps the level of that content instead of rising by up to 8 dB, and
// full-scale input never exceeds full scale out. The bound only acts where
// the matrix's sum would exceed every input channel.
//
// The input, in any FFmpeg sample format, is first taken apart into planar
// float at its own rate (no delay). One object per stream; one thread at a
// time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct SwrContext;

namespace tavrin {

class SpeechDownmix {
 public:
  // `channels` (2 or more) of FFmpeg sample format `sampleFormat` (an
  // AVSampleFormat) at `rate`. `channelMask`: the channels' positions as
  // FFmpeg channel-mask bits (AV_CH_*), the channels ordered by bit; 0, or a
  // mask whose bit count is not `channels`, means FFmpeg's default layout
  // for that many channels (6: 5.1, 8: 7.1). Null when FFmpeg cannot take
  // that format apart.
  static std::unique_ptr<SpeechDownmix> create(uint32_t channels, uint64_t channelMask, int sampleFormat, int rate);
  ~SpeechDownmix();

  // Mixes `frames` frames (FFmpeg's data pointers, one per plane) into
  // mono(); returns how many came out, or FFmpeg's (negative) error code.
  int mix(const uint8_t* const* in, int frames);
  const float* mono() const { return mono_.data(); }

 private:
  SpeechDownmix(SwrContext* unpack, std::vector<float> coefficients);

  SwrContext* unpack_;
  std::vector<float> coefficients_;  // one weight per channel, in channel order
  std::vector<std::vector<float>> planes_;
  std::vector<float> mono_;
};

}  // namespace tavrin
