// Raw sample files and the buffer operations of transcribe.
#include "apple-speech/pcm_file.h"

#include <gtest/gtest.h>

#include <cstring>

#include "apple-speech/helper_error.h"
#include "tests/support/subprocess.h"

namespace tavrin::apple_speech {
namespace {

using testing::TempDir;

std::string rawBytes(const std::vector<float>& samples) {
  std::string bytes(samples.size() * 4, '\0');
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(LoadFloat32PcmTest, ReadsEverySampleLittleEndian) {
  TempDir dir;
  testing::writeFile(dir.file("a.raw"), std::string("\x00\x00\x80\x3f\x00\x00\x00\xbf", 8));  // 1.0, -0.5
  PcmBufferPtr b = loadFloat32Pcm(dir.file("a.raw"), rawFileFormat());
  ASSERT_EQ(b->frameLength(), 2u);
  EXPECT_EQ(b->frameCapacity(), 2u);
  EXPECT_EQ(b->floatChannel(0)[0], 1.0f);
  EXPECT_EQ(b->floatChannel(0)[1], -0.5f);
  testing::writeFile(dir.file("one.raw"), rawBytes({0.25f}));
  EXPECT_EQ(loadFloat32Pcm(dir.file("one.raw"), rawFileFormat())->frameLength(), 1u);
}

TEST(LoadFloat32PcmTest, RejectsEmptyRaggedAndUnreadableFiles) {
  TempDir dir;
  testing::writeFile(dir.file("empty.raw"), "");
  testing::writeFile(dir.file("six.raw"), "abcdef");
  EXPECT_EQ(errorOf([&] { loadFloat32Pcm(dir.file("empty.raw"), rawFileFormat()); }), "Invalid audio input.");
  EXPECT_EQ(errorOf([&] { loadFloat32Pcm(dir.file("six.raw"), rawFileFormat()); }), "Invalid audio input.");
  EXPECT_EQ(errorOf([&] { loadFloat32Pcm(dir.file("none.raw"), rawFileFormat()); }), "No such file or directory");
  EXPECT_EQ(errorOf([&] { loadFloat32Pcm(dir.path(), rawFileFormat()); }), "Is a directory");
}

TEST(SliceFloatBufferTest, CopiesTheStretchOfEveryChannel) {
  PcmBufferPtr source = PcmBuffer::create(PcmFormat::float32(16000, 2), 300);
  source->setFrameLength(300);
  for (uint32_t i = 0; i < 300; ++i) {
    source->floatChannel(0)[i] = static_cast<float>(i);
    source->floatChannel(1)[i] = -static_cast<float>(i);
  }
  PcmBufferPtr slice = sliceFloatBuffer(*source, 50, 100);
  ASSERT_TRUE(slice);
  EXPECT_EQ(slice->frameLength(), 100u);
  EXPECT_EQ(slice->format(), source->format());
  EXPECT_EQ(slice->floatChannel(0)[0], 50.0f);
  EXPECT_EQ(slice->floatChannel(0)[99], 149.0f);
  EXPECT_EQ(slice->floatChannel(1)[99], -149.0f);

  PcmBufferPtr ints = PcmBuffer::create(PcmFormat{16000, 1, SampleType::kInt16, false}, 10);
  ints->setFrameLength(10);
  EXPECT_EQ(sliceFloatBuffer(*ints, 0, 5), nullptr);
}

TEST(ConvertIfNeededTest, SameFormatIsTheSameBuffer) {
  PcmBufferPtr b = PcmBuffer::create(rawFileFormat(), 10);
  b->setFrameLength(10);
  EXPECT_EQ(convertIfNeeded(b, rawFileFormat(), rawFileFormat()).get(), b.get());
}

TEST(ConvertIfNeededTest, ResamplesEachStretchOnItsOwn) {
  EXPECT_EQ(convertedChunkCapacity(240000, 16000, 48000), 721024u);
  EXPECT_EQ(convertedChunkCapacity(1, 16000, 44100), 1027u);
  PcmBufferPtr b = PcmBuffer::create(rawFileFormat(), 16000);
  b->setFrameLength(16000);
  std::fill_n(b->floatChannel(0), 16000, 0.5f);
  PcmBufferPtr out = convertIfNeeded(b, rawFileFormat(), PcmFormat::float32(48000, 1));
  EXPECT_EQ(out->format(), PcmFormat::float32(48000, 1));
  EXPECT_EQ(out->frameCapacity(), 49024u);
  // The converter is flushed at the end of the stretch: all of it comes out.
  EXPECT_NEAR(out->frameLength(), 48000u, 64);
  EXPECT_NEAR(out->floatChannel(0)[24000], 0.5f, 0.01f);
}

TEST(ConvertIfNeededTest, ImpossibleConversionIsIncompatibleFormat) {
  PcmBufferPtr b = PcmBuffer::create(rawFileFormat(), 10);
  b->setFrameLength(10);
  EXPECT_EQ(errorOf([&] { convertIfNeeded(b, rawFileFormat(), PcmFormat::float32(16000, 200)); }),
            "No compatible SpeechAnalyzer audio format is installed.");
}

}  // namespace
}  // namespace tavrin::apple_speech
