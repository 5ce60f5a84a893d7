// JSON writing, the speech downmix and the format converter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "common/audio_converter.h"
#include "common/json.h"
#include "common/speech_downmix.h"
#include "tests/support/samples.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace tavrin {
namespace {

using testing::makeTone;

TEST(Json, StringsAreEscapedAndIllFormedUtf8Repaired) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const struct {
    std::string in;
    SlashStyle style;
    std::string out;
  } rows[] = {{"a\"b\\c/d é😀", SlashStyle::kEscaped, R"("a\"b\\c\/d é😀")"},
              {"a/b", SlashStyle::kPlain, R"("a/b")"},
              {std::string("\n\t\r\b\f\x01\0\x7f", 8), SlashStyle::kPlain, "\"\\n\\t\\r\\b\\f\\u0001\\u0000\x7f\""},
              // Stray continuation, cut-short sequence, overlong form, surrogate, 0xFF: U+FFFD each.
              {"a\x80z\xE3\x81", SlashStyle::kPlain, "\"a" + r + "z" + r + "\""},
              {"\xC0\xAF\xED\xA0\x80\xFF", SlashStyle::kPlain, "\"" + r + r + r + r + r + r + "\""}};
  for (const auto& row : rows) {
    std::string out;
    appendJsonString(out, row.in, row.style);
    EXPECT_EQ(out, row.out) << row.in;
  }
  std::string all, out;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  appendJsonString(out, all, SlashStyle::kEscaped);
  EXPECT_TRUE(nlohmann::json::accept(out));
}

std::vector<float> convertAll(LiveAudioConverter& converter, const PcmFormat& from, uint32_t frames, int buffers,
                              double hz) {
  std::vector<float> out;
  for (int i = 0; i < buffers; ++i) {
    const auto converted = converter.convert(makeTone(from, frames, hz, 0.5f, uint64_t{frames} * i));
    if (!converted) continue;
    EXPECT_EQ(converted->format(), converter.analyzerFormat());
    out.insert(out.end(), converted->floatChannel(0), converted->floatChannel(0) + converted->frameLength());
  }
  return out;
}

// One converter per source format (made again for each buffer while making it fails); the analyzer's own format
// passes through.
TEST(LiveAudioConverterTest, ResamplesAndMixesDownLosingOnlyTheStartUpDelay) {
  const PcmFormat target = PcmFormat::float32(16000, 1);
  int made = 0;
  bool failing = false;
  LiveAudioConverter converter(target, [&](const PcmFormat& from, const PcmFormat& to) {
    ++made;
    return failing ? nullptr : makeResamplingConverter(from, to);
  });
  const auto out = convertAll(converter, PcmFormat::float32(48000, 2), 480, 300, 1000);
  EXPECT_LE(out.size(), 48000u);
  EXPECT_GE(out.size(), 48000u - 160u);
  EXPECT_NEAR(testing::dominantFrequency(out, 16000), 1000.0, 2.0);
  EXPECT_NEAR(testing::rms({out.begin() + 1000, out.end()}), 0.5 / std::sqrt(2), 0.02);  // channels averaged
  EXPECT_NEAR(
      testing::dominantFrequency(convertAll(converter, {44100, 2, SampleType::kInt16, true}, 441, 100, 500), 16000),
      500.0, 2.0);
  const auto same = makeTone(target, 160, 440, 0.5f);
  EXPECT_EQ(converter.convert(same), same);
  EXPECT_EQ(made, 2);
  failing = true;
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(converter.convert(makeTone(PcmFormat::float32(44100, 1), 441, 440, 0.5f)), nullptr);
  EXPECT_EQ(made, 4);
}

// A full-scale tone in some channels of 5.1 (FL FR FC LFE BL BR) or 7.1: mono never past the loudest channel, dialogue
// in the centre (or the surrounds) 3 dB under the front pair's level, LFE out, the same content in every channel (a
// server's upmix) at its own level.
TEST(SpeechDownmix, SpeechKeepsItsLevelInEveryLayout) {
  const struct {
    uint32_t channels;
    std::vector<size_t> with;
    double db;
  } rows[] = {
      {2, {0, 1}, 0},          {6, {0, 1}, 0}, {6, {2}, -3}, {8, {2}, -3}, {6, {3}, -300}, {6, {0, 1, 2, 3, 4, 5}, 0},
      {6, {0, 1, 2, 4, 5}, 0}, {6, {4, 5}, -3}};
  for (const auto& row : rows) {
    const auto mix = SpeechDownmix::create(row.channels, row.channels == 6 ? 0x3f : 0, AV_SAMPLE_FMT_FLT, 48000);
    const PcmBufferPtr in = makeTone({48000, row.channels, SampleType::kFloat32, true}, 480, 1000, 1.0f);
    auto* samples = reinterpret_cast<float*>(in->data(0));
    for (size_t i = 0; i < 480 * row.channels; ++i) {
      if (std::find(row.with.begin(), row.with.end(), i % row.channels) == row.with.end()) samples[i] = 0;
    }
    const uint8_t* planes[] = {reinterpret_cast<const uint8_t*>(samples)};
    ASSERT_EQ(mix->mix(planes, 480), 480);
    const std::vector<float> out(mix->mono(), mix->mono() + 480);
    EXPECT_NEAR(std::max(20 * std::log10(testing::rms(out) * std::sqrt(2)), -100.0), std::max(row.db, -100.0), 0.5)
        << row.channels << " channels, " << row.with.size() << " with the tone";
    for (float x : out) ASSERT_LE(std::fabs(x), 1.0f);
  }
}

}  // namespace
}  // namespace tavrin
