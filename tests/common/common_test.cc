// The shared pieces of the three helpers: JSON writing, PCM buffers, the
// format converter and the locale rules.
#include <cmath>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/audio_converter.h"
#include "common/json.h"
#include "common/locale.h"
#include "tests/support/samples.h"

namespace tavrin {
namespace {

using testing::makeTone;

TEST(Json, StringsAreEscapedAndRepaired) {
  const struct {
    std::string in;
    SlashStyle style;
    std::string out;
  } rows[] = {
      {"a\"b\\c/d", SlashStyle::kEscaped, R"("a\"b\\c\/d")"},
      {"a/b", SlashStyle::kPlain, R"("a/b")"},
      {std::string("\n\t\r\b\f\x01\0\x7f", 8), SlashStyle::kPlain, "\"\\n\\t\\r\\b\\f\\u0001\\u0000\x7f\""},
      {"こんにちは é 😀", SlashStyle::kPlain, "\"こんにちは é 😀\""},
      // A lone continuation byte, a truncated sequence, an overlong form, a
      // surrogate and a byte that never occurs in UTF-8: U+FFFD each part.
      {"a\x80z\xE3\x81", SlashStyle::kPlain, "\"a\xEF\xBF\xBDz\xEF\xBF\xBD\""},
      {"\xC0\xAF\xED\xA0\x80\xFF", SlashStyle::kPlain, "\"" + std::string(6, 'R') + "\""},
  };
  for (const auto& row : rows) {
    std::string out;
    appendJsonString(out, row.in, row.style);
    std::string expected = row.out;
    for (size_t at; (at = expected.find('R')) != std::string::npos;) expected.replace(at, 1, "\xEF\xBF\xBD");
    EXPECT_EQ(out, expected) << row.in;
  }
  EXPECT_EQ(sanitizeUtf8("ü 漢\xF4\x90"), "ü 漢\xEF\xBF\xBD\xEF\xBF\xBD");
  std::string all, out;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  appendJsonString(out, all, SlashStyle::kEscaped);
  EXPECT_TRUE(nlohmann::json::accept(out));
}

TEST(Json, BuilderKeepsKeyOrderAndWritesShortestNumbers) {
  JsonBuilder json(SlashStyle::kPlain);
  json.beginObject().field("z", 1).field("a", true).key("list").beginArray().beginObject();
  json.field("x", uint64_t{18446744073709551615u}).endObject().beginObject().endObject().endArray();
  json.field("words", std::vector<std::string>{"a/b"}).optionalField("absent", std::optional<int>());
  json.optionalField("present", std::optional<std::string>("p")).field("neg", int64_t{-5}).key("d").beginArray();
  json.value(0.1).value(2.0).value(1.0 / 3);
  EXPECT_THROW(json.value(std::nan("")), JsonEncodingError);  // and leaves no comma behind
  EXPECT_THROW(json.value(HUGE_VAL), JsonEncodingError);
  json.value(1e300).endArray().endObject();
  EXPECT_EQ(json.str(), R"({"z":1,"a":true,"list":[{"x":18446744073709551615},{}],"words":["a/b"],"present":"p",)"
                        R"("neg":-5,"d":[0.1,2,0.3333333333333333,1e+300]})");
}

TEST(PcmBufferTest, LayoutLengthAndIndependentCopies) {
  EXPECT_EQ(PcmBuffer::create(PcmFormat{0, 1, SampleType::kFloat32, false}, 10), nullptr);
  EXPECT_EQ(PcmBuffer::create(PcmFormat{48000, 0, SampleType::kFloat32, false}, 10), nullptr);
  auto interleaved = PcmBuffer::create(PcmFormat{44100, 2, SampleType::kInt16, true}, 100);
  interleaved->setFrameLength(10);
  EXPECT_EQ(interleaved->bufferCount(), 1u);
  EXPECT_EQ(interleaved->byteSize(0), 40u);
  auto planar = makeTone(PcmFormat::float32(16000, 2), 64, 1000, 0.5f);
  planar->setFrameLength(1000);  // clamped to the capacity
  EXPECT_EQ(planar->frameLength(), 64u);
  planar->setFrameLength(10);
  planar->releaseData(0);
  auto copy = planar->deepCopy();
  EXPECT_EQ(copy->frameLength(), 10u);
  EXPECT_EQ(copy->frameCapacity(), 64u);
  EXPECT_EQ(copy->floatChannel(0)[1], 0.0f);  // the copy's own storage where the source had none
  EXPECT_EQ(copy->floatChannel(1)[63], planar->floatChannel(1)[63]);
  copy->floatChannel(1)[3] = 7;
  EXPECT_NE(planar->floatChannel(1)[3], 7.0f);
}

std::vector<float> convertAll(LiveAudioConverter& converter, const PcmFormat& from, uint32_t frames, int buffers,
                              double hz, int* yielded = nullptr) {
  std::vector<float> out;
  for (int i = 0; i < buffers; ++i) {
    const auto converted = converter.convert(makeTone(from, frames, hz, 0.5f, uint64_t{frames} * i));
    if (!converted) continue;
    EXPECT_EQ(converted->format(), converter.analyzerFormat());
    if (yielded) ++*yielded;
    out.insert(out.end(), converted->floatChannel(0), converted->floatChannel(0) + converted->frameLength());
  }
  return out;
}

TEST(LiveAudioConverterTest, ResamplesAndMixesDownLosingOnlyTheStartUpDelay) {
  const PcmFormat target = PcmFormat::float32(16000, 1);
  LiveAudioConverter converter(target);
  int yielded = 0;
  const auto out = convertAll(converter, PcmFormat::float32(48000, 2), 480, 300, 1000, &yielded);
  EXPECT_GE(yielded, 295);
  EXPECT_LE(out.size(), 48000u);
  EXPECT_GE(out.size(), 48000u - 160u);
  EXPECT_NEAR(testing::dominantFrequency(out, 16000), 1000.0, 2.0);
  EXPECT_NEAR(testing::rms({out.begin() + 1000, out.end()}), 0.5 / std::sqrt(2), 0.02);  // channels averaged
  LiveAudioConverter int16(target);
  EXPECT_NEAR(testing::dominantFrequency(convertAll(int16, {44100, 2, SampleType::kInt16, true}, 441, 100, 500), 16000),
              500.0, 2.0);
  EXPECT_EQ(convertedCapacity(512, 48000, 16000), 171u);
}

TEST(LiveAudioConverterTest, PassesTargetBuffersThroughAndMakesOneConverterPerSourceFormat) {
  const PcmFormat target = PcmFormat::float32(16000, 1);
  int made = 0;
  bool failing = false;
  LiveAudioConverter converter(target, [&](const PcmFormat& from, const PcmFormat& to) {
    ++made;
    return failing ? nullptr : makeResamplingConverter(from, to);
  });
  const auto same = makeTone(target, 160, 440, 0.5f);
  EXPECT_EQ(converter.convert(same), same);
  EXPECT_EQ(converter.convert(PcmBuffer::create(PcmFormat::float32(48000, 2), 0)), nullptr);  // no frames
  const PcmFormat a = PcmFormat::float32(48000, 2), b = PcmFormat::float32(44100, 1);
  const std::vector<PcmFormat> sequence = {a, a, a, b, b, a};
  for (const PcmFormat& f : sequence) converter.convert(makeTone(f, 441, 440, 0.5f));
  EXPECT_EQ(made, 3);
  failing = true;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(converter.convert(makeTone(b, 441, 440, 0.5f)), nullptr);
  EXPECT_EQ(made, 5);  // every buffer tries again
}

TEST(Locale, RequestedAndCurrentIdentifiers) {
  EXPECT_EQ(requestedLocale(std::string("zh-Hans-CN"), "de_DE"), "zh_Hans_CN");
  EXPECT_EQ(requestedLocale(std::string(""), "de_DE"), "de_DE");
  EXPECT_EQ(requestedLocale(std::nullopt, "de_DE"), "de_DE");
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
  const struct {
    const char* name;
    const char* value;
    const char* current;
  } steps[] = {{"LANG", "C.UTF-8", "en_US"},           {"LANG", "fr_FR.UTF-8", "fr_FR"},
               {"LC_MESSAGES", "de_AT.ISO-8859-1@euro", "de_AT"}, {"LC_ALL", "ja_JP", "ja_JP"},
               {"LC_ALL", "", "de_AT"}};
  EXPECT_EQ(currentLocaleIdentifier(), "en_US");
  for (const auto& step : steps) {
    setenv(step.name, step.value, 1);
    EXPECT_EQ(currentLocaleIdentifier(), step.current) << step.name << "=" << step.value;
  }
}

}  // namespace
}  // namespace tavrin
