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
// Immutable after construction; mix() may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrin {

class SpeechDownmix {
 public:
  // `channelMask`: the channels' positions as FFmpeg channel-mask bits
  // (AV_CH_*), the channels ordered by bit; 0, or a mask whose bit count is
  // not `channels`, means FFmpeg's default layout for that many channels
  // (6: 5.1, 8: 7.1). `channels` must be at least 1.
  SpeechDownmix(uint32_t channels, uint64_t channelMask);

  // One weight per channel, in channel order.
  const std::vector<float>& coefficients() const { return coefficients_; }

  // Mixes `frames` frames of planar float input (one array per channel)
  // into `out`.
  void mixPlanar(const float* const* planes, size_t frames, float* out) const;
  // The same for interleaved float input.
  void mixInterleaved(const float* in, size_t frames, float* out) const;

 private:
  std::vector<float> coefficients_;
};

}  // namespace tavrin
