// Real media through the real program: speech synthesized with flite, put
// into media files with the ffmpeg tool, decoded and transcribed.
#include <gtest/gtest.h>

#include "tests/support/speech_samples.h"

namespace tavrin::testing {
namespace {

const std::string kBin = TAVRIN_APPLE_SPEECH_BIN;
constexpr const char* kFirst = "Please call Stella and ask her to bring these things with her from the store.";
constexpr const char* kSecond = "We will discuss the budget for the next quarter today.";

// The value of the "text" key of a result line.
std::string resultText(const std::string& line) {
  const std::string key = "{\"type\":\"result\",\"text\":\"";
  if (line.rfind(key, 0) != 0) return "";
  const size_t end = line.find('"', key.size());
  return line.substr(key.size(), end - key.size());
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t nl = text.find('\n', start);
    lines.push_back(text.substr(start, nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return lines;
}

class AppleSpeechSmokeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(synthesizeSpeech(kFirst, dir.file("first.wav")));
    ASSERT_TRUE(synthesizeSpeech(kSecond, dir.file("second.wav")));
  }

  // Decodes `media` with the program and transcribes the samples; returns
  // the output lines after checking their order and the duration.
  std::vector<std::string> decodeAndTranscribe(const std::string& media, double expectedSeconds) {
    const ProcessResult decoded = runProcess({kBin, "decode", media});
    EXPECT_EQ(decoded.exitStatus, 0) << decoded.err;
    EXPECT_EQ(decoded.out.size() % 4, 0u);
    EXPECT_NEAR(static_cast<double>(decoded.out.size()) / 64000.0, expectedSeconds, 0.2);
    writeFile(dir.file("samples.raw"), decoded.out);
    const ProcessResult r = runProcess({kBin, "transcribe", dir.file("samples.raw"), "en-US"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = splitLines(r.out);
    EXPECT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "{\"type\":\"duration\",\"ms\":" + std::to_string(decoded.out.size() / 64) + "}");
    for (size_t i = 1; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].rfind("{\"type\":\"segment\",", 0), 0u);
    EXPECT_NE(lines.back().find("\"detectedLanguage\":\"en\""), std::string::npos) << lines.back();
    return lines;
  }

  double seconds(const std::string& path) { return static_cast<double>(decodeWithFfmpegTool(path).size()) / 16000.0; }

  TempDir dir;
};

// Measured with flite's slt voice and the Debian en-US model: the two
// sentences (with half a second of lead-in and a second between them) are
// recognised with recall 0.92 in WAV, MP3 and Opus alike ("Stella and"
// becomes "stallion"). Without the lead-in single sentences vary more
// (0.53-0.93 for Opus). The bound leaves room for codec differences, not for
// a broken pipeline (which gives near 0).
constexpr double kRecallBound = 0.8;

TEST_F(AppleSpeechSmokeTest, WavMp3AndOpusFiles) {
  const std::string wav = dir.file("both.wav");
  ASSERT_TRUE(runFfmpeg({"-i", dir.file("first.wav"), "-i", dir.file("second.wav"), "-filter_complex",
                         "[0]adelay=500,apad=pad_dur=1[a];[a][1]concat=n=2:v=0:a=1,apad=pad_dur=0.5", wav}));
  ASSERT_TRUE(runFfmpeg({"-i", wav, "-ac", "2", "-ar", "44100", "-b:a", "128k", dir.file("both.mp3")}));
  ASSERT_TRUE(runFfmpeg({"-i", wav, "-c:a", "libopus", "-b:a", "48k", dir.file("both.opus")}));
  const double length = seconds(wav);
  const std::string spoken = std::string(kFirst) + " " + kSecond;
  for (const std::string& media : {wav, dir.file("both.mp3"), dir.file("both.opus")}) {
    SCOPED_TRACE(media);
    const std::vector<std::string> lines = decodeAndTranscribe(media, length);
    const std::string text = resultText(lines.back());
    EXPECT_GE(wordRecall(spoken, text), kRecallBound) << text;
  }
}

TEST_F(AppleSpeechSmokeTest, VideoWithTwoAudioTracksIsMixed) {
  // Track 1 speaks the first sentence, track 2 the second one after it: the
  // mix holds both, each on its own stretch of time.
  const double first = seconds(dir.file("first.wav"));
  const std::string delay = std::to_string(static_cast<int>((first + 1.0) * 1000));
  const std::string video = dir.file("meeting.mkv");
  ASSERT_TRUE(runFfmpeg({"-f",
                         "lavfi",
                         "-i",
                         "testsrc=duration=14:size=64x64:rate=5",
                         "-i",
                         dir.file("first.wav"),
                         "-i",
                         dir.file("second.wav"),
                         "-filter_complex",
                         "[1:a]apad=whole_dur=14[a1];[2:a]adelay=" + delay + ",apad=whole_dur=14[a2]",
                         "-map",
                         "0:v",
                         "-map",
                         "[a1]",
                         "-map",
                         "[a2]",
                         "-c:v",
                         "mpeg4",
                         "-c:a",
                         "aac",
                         "-ac",
                         "1",
                         "-shortest",
                         video}));
  const std::vector<std::string> lines = decodeAndTranscribe(video, 14.0);
  const std::string text = resultText(lines.back());
  EXPECT_GE(wordRecall(std::string(kFirst) + " " + kSecond, text), kRecallBound) << text;
  EXPECT_GE(lines.size(), 4u) << "two stretches of speech give at least two segments";
}

TEST_F(AppleSpeechSmokeTest, ContextualStringsBringAMisheardName) {
  // Without help the engine hears "stallion" or "skeleton" here.
  writeFile(dir.file("first.raw"), runProcess({kBin, "decode", dir.file("first.wav")}).out);
  const ProcessResult r =
      runProcess({kBin, "transcribe", dir.file("first.raw"), "--contextual-strings", "Stella\nQuarterly review"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const std::string text = resultText(splitLines(r.out).back());
  EXPECT_NE(text.find("stella"), std::string::npos) << text;
}

}  // namespace
}  // namespace tavrin::testing
