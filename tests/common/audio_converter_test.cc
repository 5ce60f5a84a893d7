#include "common/audio_converter.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <vector>

namespace tavrin {
namespace {

const PcmFormat kTarget = PcmFormat::float32(16000, 1);

// `frames` frames of a sine, continuing from `*phaseFrame`, in every channel.
PcmBufferPtr sine(const PcmFormat& format, uint32_t frames, double hz, uint64_t* phaseFrame) {
  auto buffer = PcmBuffer::create(format, frames);
  buffer->setFrameLength(frames);
  for (uint32_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(*phaseFrame + i) / format.sampleRate;
    const double v = 0.5 * std::sin(2 * std::numbers::pi * hz * t);
    for (uint32_t c = 0; c < format.channelCount; ++c) {
      if (format.sampleType == SampleType::kFloat32 && !format.interleaved) {
        buffer->floatChannel(c)[i] = static_cast<float>(v);
      } else if (format.sampleType == SampleType::kInt16 && format.interleaved) {
        reinterpret_cast<int16_t*>(buffer->data(0))[i * format.channelCount + c] = static_cast<int16_t>(v * 32767);
      }
    }
  }
  *phaseFrame += frames;
  return buffer;
}

// Frequency estimated from rising zero crossings.
double dominantFrequency(const std::vector<float>& samples, double rate) {
  int crossings = 0;
  size_t first = 0, last = 0;
  for (size_t i = 1; i < samples.size(); ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) {
      if (crossings == 0) first = i;
      last = i;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return (crossings - 1) * rate / static_cast<double>(last - first);
}

class CountingFactory {
 public:
  FormatConverterFactory factory() {
    return [this](const PcmFormat& from, const PcmFormat& to) {
      ++made;
      return failing ? nullptr : makeResamplingConverter(from, to);
    };
  }
  int made = 0;
  bool failing = false;
};

TEST(ConvertedCapacity, RoundsTheRateRatioUp) {
  EXPECT_EQ(convertedCapacity(512, 48000, 16000), 171u);
  EXPECT_EQ(convertedCapacity(4096, 48000, 16000), 1366u);
  EXPECT_EQ(convertedCapacity(480, 48000, 16000), 160u);
  EXPECT_EQ(convertedCapacity(0, 44100, 16000), 0u);
  EXPECT_EQ(convertedCapacity(100, 8000, 16000), 200u);
}

TEST(LiveAudioConverterTest, BufferInTheTargetFormatPassesThroughUntouched) {
  CountingFactory counting;
  LiveAudioConverter converter(kTarget, counting.factory());
  uint64_t phase = 0;
  auto buffer = sine(kTarget, 160, 440, &phase);
  EXPECT_EQ(converter.convert(buffer), buffer);
  EXPECT_EQ(counting.made, 0);
}

TEST(LiveAudioConverterTest, StereoSineAt48kComesOutAsMonoAt16kWithTheSameFrequency) {
  LiveAudioConverter converter(kTarget);
  const PcmFormat source = PcmFormat::float32(48000, 2);
  uint64_t phase = 0;
  std::vector<float> out;
  int yielded = 0;
  for (int i = 0; i < 300; ++i) {  // 300 × 10 ms = 3 s
    auto converted = converter.convert(sine(source, 480, 1000, &phase));
    if (!converted) continue;
    ++yielded;
    EXPECT_EQ(converted->format(), kTarget);
    EXPECT_LE(converted->frameLength(), 160u);
    out.insert(out.end(), converted->floatChannel(0), converted->floatChannel(0) + converted->frameLength());
  }
  EXPECT_GE(yielded, 295);
  // Only the resampler's start-up delay may be missing.
  EXPECT_LE(out.size(), 48000u);
  EXPECT_GE(out.size(), 48000u - 160u);
  EXPECT_NEAR(dominantFrequency(out, 16000), 1000.0, 2.0);
  float peak = 0;
  for (size_t i = 1000; i < out.size(); ++i) peak = std::max(peak, std::fabs(out[i]));
  EXPECT_NEAR(peak, 0.5f, 0.05f);  // the two identical channels mix to the same level
}

TEST(LiveAudioConverterTest, InterleavedInt16IsConvertedToo) {
  LiveAudioConverter converter(kTarget);
  const PcmFormat source{44100, 2, SampleType::kInt16, true};
  uint64_t phase = 0;
  std::vector<float> out;
  for (int i = 0; i < 100; ++i) {
    if (auto converted = converter.convert(sine(source, 441, 500, &phase))) {
      out.insert(out.end(), converted->floatChannel(0), converted->floatChannel(0) + converted->frameLength());
    }
  }
  EXPECT_NEAR(dominantFrequency(out, 16000), 500.0, 2.0);
}

TEST(LiveAudioConverterTest, ConverterIsMadeOncePerSourceFormatAndReplacedOnChange) {
  CountingFactory counting;
  LiveAudioConverter converter(kTarget, counting.factory());
  uint64_t phase = 0;
  const PcmFormat a = PcmFormat::float32(48000, 2);
  const PcmFormat b = PcmFormat::float32(44100, 1);
  for (int i = 0; i < 5; ++i) converter.convert(sine(a, 480, 440, &phase));
  EXPECT_EQ(counting.made, 1);
  converter.convert(sine(b, 441, 440, &phase));
  EXPECT_EQ(counting.made, 2);
  converter.convert(sine(b, 441, 440, &phase));
  EXPECT_EQ(counting.made, 2);
  converter.convert(sine(a, 480, 440, &phase));
  EXPECT_EQ(counting.made, 3);
}

TEST(LiveAudioConverterTest, WhenNoConverterCanBeMadeEveryBufferTriesAgainAndYieldsNothing) {
  CountingFactory counting;
  counting.failing = true;
  LiveAudioConverter converter(kTarget, counting.factory());
  uint64_t phase = 0;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(converter.convert(sine(PcmFormat::float32(48000, 2), 480, 440, &phase)), nullptr);
  EXPECT_EQ(counting.made, 3);
}

TEST(LiveAudioConverterTest, EmptyBufferInAForeignFormatYieldsNothing) {
  LiveAudioConverter converter(kTarget);
  auto empty = PcmBuffer::create(PcmFormat::float32(48000, 2), 0);
  EXPECT_EQ(converter.convert(empty), nullptr);
  uint64_t phase = 0;
  // The converter still works afterwards.
  PcmBufferPtr out;
  for (int i = 0; i < 4 && !out; ++i) out = converter.convert(sine(PcmFormat::float32(48000, 2), 480, 440, &phase));
  EXPECT_NE(out, nullptr);
}

// A converter that asks for input three times per call and produces one frame
// per buffer it gets, or none when told to.
class ProbingConverter final : public FormatConverter {
 public:
  explicit ProbingConverter(std::vector<ConverterInputStatus>* seen, bool produce) : seen_(seen), produce_(produce) {}
  std::optional<std::string> convert(PcmBuffer& out, const InputBlock& input) override {
    uint32_t frames = 0;
    for (int i = 0; i < 3; ++i) {
      ConverterInputStatus status;
      auto buffer = input(&status);
      seen_->push_back(status);
      if (status == ConverterInputStatus::kHaveData && buffer && produce_) ++frames;
    }
    out.setFrameLength(frames);
    return std::nullopt;
  }

 private:
  std::vector<ConverterInputStatus>* seen_;
  bool produce_;
};

TEST(LiveAudioConverterTest, InputIsHandedOverOnceThenNoDataNowNeverEndOfStream) {
  std::vector<ConverterInputStatus> seen;
  bool produce = false;
  int made = 0;
  LiveAudioConverter converter(kTarget, [&](const PcmFormat&, const PcmFormat&) {
    ++made;
    return std::make_unique<ProbingConverter>(&seen, produce);
  });
  uint64_t phase = 0;
  // A call that yields no frames gives nothing and keeps the converter.
  EXPECT_EQ(converter.convert(sine(PcmFormat::float32(48000, 1), 48, 440, &phase)), nullptr);
  EXPECT_EQ(seen, (std::vector<ConverterInputStatus>{ConverterInputStatus::kHaveData, ConverterInputStatus::kNoDataNow,
                                                     ConverterInputStatus::kNoDataNow}));
  EXPECT_EQ(made, 1);
}

}  // namespace
}  // namespace tavrin
