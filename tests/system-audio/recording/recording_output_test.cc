// The file, start file and statistics rules shared by both recording paths,
// and the sample decoding of the screen-capture path.
#include "system-audio/recording/recording_output.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <dirent.h>

#include "system-audio/commands/tavrin_system_audio.h"
#include "tests/system-audio/recording/fake_screen_capture.h"
#include "tests/support/subprocess.h"

namespace tavrin::system_audio {
namespace {

using testing::audioBuffer;
using testing::readFile;
using testing::TempDir;

std::vector<float> floatsOf(const std::string& bytes) {
  std::vector<float> out(bytes.size() / 4);
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

PcmBufferPtr monoFloat(std::vector<float> samples) {
  auto buffer = PcmBuffer::create(PcmFormat::float32(16000, 1), static_cast<uint32_t>(samples.size()));
  buffer->setFrameLength(static_cast<uint32_t>(samples.size()));
  if (!samples.empty()) std::memcpy(buffer->floatChannel(0), samples.data(), samples.size() * 4);
  return buffer;
}

size_t entriesIn(const std::string& dir) {
  size_t n = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
  }
  closedir(d);
  return n;
}

TEST(StartFileTest, ShortestRoundTripSecondsAlwaysWithAFraction) {
  EXPECT_EQ(formatStartTime(1733533200.0), "1733533200.0");
  EXPECT_EQ(formatStartTime(1733533200.25), "1733533200.25");
  EXPECT_EQ(formatStartTime(1733533200.123456), "1733533200.123456");
  EXPECT_EQ(formatStartTime(0.1), "0.1");
  const double t = 1796605712.5005882;
  EXPECT_EQ(std::stod(formatStartTime(t)), t);
}

TEST(StartFileTest, AtomicWriteLeavesOnlyTheFile) {
  TempDir dir;
  ASSERT_TRUE(writeFileAtomically(dir.file("start"), "12.5"));
  EXPECT_EQ(readFile(dir.file("start")), "12.5");
  EXPECT_EQ(entriesIn(dir.path()), 1u);
  EXPECT_FALSE(writeFileAtomically(dir.file("missing/start"), "1.0"));
  EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(TapRecordingWriterTest, AppendsRawFloatsAsTheyComeAndCounts) {
  TempDir dir;
  auto file = OutputFile::create(dir.file("out.raw"));
  ASSERT_TRUE(file);
  TapRecordingWriter writer(*file, std::nullopt);
  writer.write(*monoFloat({0.5f, -0.25f, 1.5f}));  // not clamped on this path
  writer.write(*monoFloat({}));                     // no frames: ignored
  auto interleaved = PcmBuffer::create(PcmFormat{16000, 1, SampleType::kFloat32, true}, 4);
  interleaved->setFrameLength(4);
  writer.write(*interleaved);  // no float channel: ignored
  writer.write(*monoFloat(std::vector<float>(13, 0.f)));
  const auto stats = writer.snapshot();
  EXPECT_EQ(stats.sampleCount, 16);
  EXPECT_EQ(stats.bufferCount, 2);
  EXPECT_EQ(stats.durationMs, 1u);
  file->close();
  const auto samples = floatsOf(readFile(dir.file("out.raw")));
  ASSERT_EQ(samples.size(), 16u);
  EXPECT_EQ(samples[0], 0.5f);
  EXPECT_EQ(samples[2], 1.5f);
  EXPECT_EQ(encodeReply(stats), R"({"sampleCount":16,"bufferCount":2,"durationMs":1})");
}

TEST(TapRecordingWriterTest, DurationTruncates) {
  for (const auto& [samples, ms] : std::vector<std::pair<int64_t, uint64_t>>{{15, 0}, {16, 1}, {16000, 1000}, {32000, 2000}}) {
    AudioRecordingStats stats;
    stats.sampleCount = samples;
    TempDir dir;
    auto file = OutputFile::create(dir.file("out.raw"));
    TapRecordingWriter writer(*file, std::nullopt);
    writer.write(*monoFloat(std::vector<float>(static_cast<size_t>(samples), 0.f)));
    EXPECT_EQ(writer.snapshot().durationMs, ms) << samples;
  }
}

TEST(TapRecordingWriterTest, StartFileIsWrittenOnceWithTheTimeOfTheFirstBuffer) {
  TempDir dir;
  auto file = OutputFile::create(dir.file("out.raw"));
  int clockReads = 0;
  {
    TapRecordingWriter writer(*file, dir.file("start"), [&] { return 1700000000.0 + ++clockReads; });
    writer.write(*monoFloat({0.1f}));
    writer.write(*monoFloat({0.2f}));
    writer.waitForStartFile();
    EXPECT_EQ(readFile(dir.file("start")), "1700000001.0");
  }
  EXPECT_EQ(clockReads, 1);
  // Without a path no start file appears.
  TempDir other;
  auto file2 = OutputFile::create(other.file("out.raw"));
  TapRecordingWriter writer(*file2, std::nullopt);
  writer.write(*monoFloat({0.1f}));
  writer.waitForStartFile();
  EXPECT_EQ(entriesIn(other.path()), 1u);
}

TEST(TapRecordingWriterTest, AFailedAppendStopsCountingAndTellsTheWatcher) {
  auto file = OutputFile::create("/dev/full");
  ASSERT_TRUE(file);
  StreamDeathWatcher watcher;
  TapRecordingWriter writer(*file, std::nullopt, wallClockSeconds, &watcher);
  writer.write(*monoFloat({0.1f, 0.2f}));
  writer.write(*monoFloat({0.1f, 0.2f}));
  EXPECT_EQ(writer.writeError(), "No space left on device");
  EXPECT_EQ(watcher.error(), "No space left on device");
  EXPECT_EQ(writer.snapshot().sampleCount, 0);
  EXPECT_EQ(writer.snapshot().bufferCount, 0);
}

TEST(OutputFileTest, EmptiesAnExistingFileAndRefusesImpossiblePaths) {
  TempDir dir;
  testing::writeFile(dir.file("out.raw"), "old contents");
  auto file = OutputFile::create(dir.file("out.raw"));
  ASSERT_TRUE(file);
  file->close();
  EXPECT_EQ(readFile(dir.file("out.raw")), "");
  EXPECT_FALSE(OutputFile::create(dir.file("no/such/dir.raw")));
  EXPECT_FALSE(OutputFile::create(""));
}

TEST(SampleExtractionTest, EncodersScaleAndClamp) {
  const std::vector<int16_t> i16{32767, -32768, 0, 16384};
  const auto a = floatsOf(encodeInt16Samples(i16.data(), i16.size()));
  EXPECT_EQ(a[0], 1.0f);
  EXPECT_EQ(a[1], -1.0f);
  EXPECT_EQ(a[2], 0.0f);
  EXPECT_FLOAT_EQ(a[3], 16384.0f / 32767.0f);
  const std::vector<int32_t> i32{2147483647, -2147483647 - 1, 1073741824};
  const auto b = floatsOf(encodeInt32Samples(i32.data(), i32.size()));
  EXPECT_EQ(b[0], 1.0f);
  EXPECT_EQ(b[1], -1.0f);
  EXPECT_FLOAT_EQ(b[2], 0.5f);
  const std::vector<float> f{1.5f, -2.0f, 0.25f};
  const auto c = floatsOf(encodeFloat32Samples(f.data(), f.size()));
  EXPECT_EQ(c, (std::vector<float>{1.0f, -1.0f, 0.25f}));
}

TEST(SampleExtractionTest, ChoosesTheDecoderByFlagsAndBits) {
  EXPECT_EQ(floatsOf(*extractFloat32MonoSamples(audioBuffer<float>({0.5f, 3.f}, kAudioFormatFlagIsFloat, 32))),
            (std::vector<float>{0.5f, 1.0f}));
  EXPECT_EQ(floatsOf(*extractFloat32MonoSamples(
                audioBuffer<int16_t>({-32768}, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked, 16))),
            (std::vector<float>{-1.0f}));
  EXPECT_FLOAT_EQ(floatsOf(*extractFloat32MonoSamples(
                      audioBuffer<int32_t>({1073741824}, kAudioFormatFlagIsSignedInteger, 32)))[0],
                  0.5f);
  // Unsigned 8-bit, 64-bit float and 24-bit integers are not decoded.
  EXPECT_FALSE(extractFloat32MonoSamples(audioBuffer<uint8_t>({1, 2}, 0, 8)));
  EXPECT_FALSE(extractFloat32MonoSamples(audioBuffer<double>({0.5}, kAudioFormatFlagIsFloat, 64)));
  EXPECT_FALSE(extractFloat32MonoSamples(audioBuffer<int32_t>({1}, kAudioFormatFlagIsSignedInteger, 24)));
}

TEST(SampleExtractionTest, BuffersThatDoNotFitOneBufferOrLackDataYieldNothing) {
  auto twoChannels = audioBuffer<float>({0.1f}, kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved, 32);
  twoChannels.buffers.push_back(twoChannels.buffers.front());
  EXPECT_FALSE(extractFloat32MonoSamples(twoChannels));
  auto noDescription = audioBuffer<float>({0.1f}, kAudioFormatFlagIsFloat, 32);
  noDescription.description.reset();
  EXPECT_FALSE(extractFloat32MonoSamples(noDescription));
  auto noData = audioBuffer<float>({}, kAudioFormatFlagIsFloat, 32);
  EXPECT_FALSE(extractFloat32MonoSamples(noData));
}

TEST(AudioRecordingOutputTest, WritesOnlyValidAudioBuffersClamped) {
  TempDir dir;
  auto file = OutputFile::create(dir.file("out.raw"));
  AudioRecordingOutput output(*file, dir.file("start"), [] { return 5.0; });
  output.stream(audioBuffer<int16_t>({32767, -32768}, kAudioFormatFlagIsSignedInteger, 16), StreamOutputType::kAudio);
  output.stream(audioBuffer<float>({0.5f}, kAudioFormatFlagIsFloat, 32), StreamOutputType::kScreen);
  auto invalid = audioBuffer<float>({0.5f}, kAudioFormatFlagIsFloat, 32);
  invalid.valid = false;
  output.stream(invalid, StreamOutputType::kAudio);
  output.stream(audioBuffer<uint8_t>({1}, 0, 8), StreamOutputType::kAudio);
  output.stream(audioBuffer<float>({1.5f}, kAudioFormatFlagIsFloat, 32), StreamOutputType::kAudio);
  output.waitForStartFile();
  const auto stats = output.snapshot();
  EXPECT_EQ(stats.sampleCount, 3);
  EXPECT_EQ(stats.bufferCount, 2);
  file->close();
  EXPECT_EQ(floatsOf(readFile(dir.file("out.raw"))), (std::vector<float>{1.0f, -1.0f, 1.0f}));
  EXPECT_EQ(readFile(dir.file("start")), "5.0");
}

}  // namespace
}  // namespace tavrin::system_audio
