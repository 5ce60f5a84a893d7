#include "common/pcm_buffer.h"

#include <gtest/gtest.h>

namespace tavrin {
namespace {

TEST(PcmBufferTest, CreateRejectsInvalidFormatsAndSizesArraysByLayout) {
  EXPECT_EQ(PcmBuffer::create(PcmFormat{0, 1, SampleType::kFloat32, false}, 10), nullptr);
  EXPECT_EQ(PcmBuffer::create(PcmFormat{48000, 0, SampleType::kFloat32, false}, 10), nullptr);

  auto planar = PcmBuffer::create(PcmFormat::float32(48000, 2), 100);
  ASSERT_NE(planar, nullptr);
  EXPECT_EQ(planar->bufferCount(), 2u);
  planar->setFrameLength(40);
  EXPECT_EQ(planar->byteSize(1), 160u);
  planar->setFrameLength(1000);  // clamped to the capacity
  EXPECT_EQ(planar->frameLength(), 100u);

  auto interleaved = PcmBuffer::create(PcmFormat{44100, 2, SampleType::kInt16, true}, 100);
  ASSERT_NE(interleaved, nullptr);
  EXPECT_EQ(interleaved->bufferCount(), 1u);
  interleaved->setFrameLength(10);
  EXPECT_EQ(interleaved->byteSize(0), 40u);
  EXPECT_EQ(interleaved->floatChannel(0), nullptr);
}

TEST(PcmBufferTest, DeepCopyIsIndependentAndKeepsCapacityAndLength) {
  auto source = PcmBuffer::create(PcmFormat::float32(16000, 2), 64);
  source->setFrameLength(10);
  for (uint32_t c = 0; c < 2; ++c) {
    for (int i = 0; i < 64; ++i) source->floatChannel(c)[i] = static_cast<float>(c * 100 + i);
  }
  auto copy = source->deepCopy();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->format(), source->format());
  EXPECT_EQ(copy->frameCapacity(), 64u);
  EXPECT_EQ(copy->frameLength(), 10u);
  EXPECT_NE(copy->floatChannel(0), source->floatChannel(0));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(copy->floatChannel(1)[i], 100.0f + i);
  copy->floatChannel(0)[3] = -1;
  EXPECT_EQ(source->floatChannel(0)[3], 3.0f);
}

TEST(PcmBufferTest, DeepCopySkipsArraysWithoutData) {
  auto source = PcmBuffer::create(PcmFormat::float32(16000, 2), 8);
  source->setFrameLength(8);
  for (int i = 0; i < 8; ++i) source->floatChannel(1)[i] = 7;
  source->releaseData(0);
  auto copy = source->deepCopy();
  ASSERT_NE(copy, nullptr);
  ASSERT_NE(copy->floatChannel(0), nullptr);  // the copy's own, untouched storage
  EXPECT_EQ(copy->floatChannel(0)[0], 0.0f);
  EXPECT_EQ(copy->floatChannel(1)[7], 7.0f);
}

}  // namespace
}  // namespace tavrin
