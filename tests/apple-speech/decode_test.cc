// `tavrin-apple-speech decode` on media made with ffmpeg and sox: samples, track placement,
// mix level, and hostile files (exact output, bounded memory).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>

#include "tests/support/speech_samples.h"

namespace tavrin::testing {
namespace {

const std::string kBin = TAVRIN_APPLE_SPEECH_BIN;
const std::string kBadData = "Invalid data found when processing input\n";

// Runs decode in `cwd` with at most `dataMiB` of heap and 200 MiB of output.
ProcessResult decode(const std::string& path, const std::string& cwd = "/", int dataMiB = 160) {
  const TempDir out;
  ProcessOptions options;
  options.workingDirectory = cwd;
  const std::string limits = "ulimit -d " + std::to_string(dataMiB * 1024) + "; ulimit -f 204800; ";
  ProcessResult r = runProcess(
      {"/bin/sh", "-c", limits + "exec \"$0\" decode \"$1\" > \"$2\"", kBin, path, out.file("out")}, options);
  r.out = readFile(out.file("out"));
  return r;
}

// The level (dB) and the frequency of the tone of samples [from, to) of `s`.
std::vector<float> part(const std::vector<float>& s, size_t from, size_t to) {
  return {s.begin() + std::min(from, s.size()), s.begin() + std::min(to, s.size())};
}
double db(const std::vector<float>& s, size_t from, size_t to) {
  return 20 * std::log10(rms(part(s, from, to)));
}
double hz(const std::vector<float>& s, size_t from, size_t to) {
  return dominantFrequency(part(s, from, to), 16000);
}

// Best normalised correlation of a and b over lags of up to ±`lag` samples.
double correlation(const std::vector<float>& a, const std::vector<float>& b, int lag) {
  double best = 0;
  for (int d = -lag; d <= lag; ++d) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = size_t(std::max(0, d)); i < a.size() && i - size_t(d) < b.size(); ++i) {
      ab += double(a[i]) * b[i - size_t(d)];
      aa += double(a[i]) * a[i];
      bb += double(b[i - size_t(d)]) * b[i - size_t(d)];
    }
    best = std::max(best, ab / std::sqrt(aa * bb + 1e-30));
  }
  return best;
}

// A 16-bit mono WAV header with a given rate and block size.
std::string wavHeader(uint32_t rate, uint16_t block, uint32_t dataBytes) {
  auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
  return "RIFF" + u32(36 + dataBytes) + "WAVEfmt " + u32(16) + u16(1) + u16(1) + u32(rate) + u32(rate * 2) +
         u16(block) + u16(16) + "data" + u32(dataBytes);
}

class DecodeTest : public ::testing::Test {
 protected:
  std::string make(const std::string& name, std::vector<std::string> args) {
    args.push_back(dir.file(name));
    EXPECT_TRUE(runFfmpeg(args)) << name;
    return dir.file(name);
  }
  TempDir dir;
};

TEST_F(DecodeTest, FailuresAreOneExactLineInBoundedMemory) {
  const std::string tone = readFile(make("tone.wav", {"-f", "lavfi", "-i", "sine=duration=1"}));
  make("tone.aac", {"-i", dir.file("tone.wav")});
  make("video.mp4", {"-f", "lavfi", "-i", "testsrc=duration=1:size=64x64:rate=10", "-an"});
  // An MP4 cut short loses its index (written at the end).
  writeFile(dir.file("cut.m4a"), readFile(make("full.m4a", {"-f", "lavfi", "-i", "sine=duration=3"})).substr(0, 4000));
  const std::string hls = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\ntone.aac\n";
  const std::string body(200000, '\x11'),
      bad = kBadData, unsupported = "Could not decode the media file: unsupported audio configuration\n";
  // 200 MB of zeros (sparse): a parser looking for a frame would keep it all.
  ASSERT_EQ(runProcess({"/usr/bin/truncate", "-s", "200M", dir.file("zero.mp3")}).exitStatus, 0);
  struct Row {
    std::string name, content, err;  // content written unless empty
    int dataMiB = 64;
  };
  for (const Row& row :
       std::vector<Row>{{"missing.wav", "", "Could not decode the media file: file not found\n"},
                        {"video.mp4", "", "Could not decode the media file: no audio track in file\n"},
                        {"", "", "Is a directory\n"},
                        {"cut.m4a", "", bad},
                        {"notes.txt", "these are not media\n", bad},
                        {"vod.m3u8", hls + "#EXT-X-ENDLIST\n", bad},
                        {"live.m3u8", hls, bad},  // reloaded for ever
                        {"list.m4a", "ffconcat version 1.0\nfile tone.wav\n", bad},
                        {"self.mp3", "ffconcat version 1.0\nfile self.mp3\n", bad},
                        {"1hz.wav", wavHeader(1, 2, uint32_t(body.size())) + body, unsupported},
                        {"1hz-block.wav", wavHeader(1, 65534, uint32_t(body.size())) + body, unsupported},
                        {"fast.wav", wavHeader(2147483647u, 2, uint32_t(body.size())) + body, unsupported},
                        {"zero.mp3", "", "Could not decode the media file: " + bad, 160}}) {
    if (!row.content.empty()) writeFile(dir.file(row.name), row.content);
    const ProcessResult r = decode(dir.file(row.name), dir.path(), row.dataMiB);
    EXPECT_EQ(r.exitStatus, 1) << row.name;
    EXPECT_EQ(r.err, row.err) << row.name;
    EXPECT_EQ(r.out, "") << row.name;
  }
  // Names are files, never protocols.
  for (const std::string name : {"pipe:0", "cache:tone.wav", "http:tone.wav", "concat:tone.wav|tone.wav"}) {
    writeFile(dir.file(name), tone);
    EXPECT_EQ(decode(name, dir.path()).out.size(), 64000u) << name;
  }
  const ProcessResult r =
      runProcess({"/bin/sh", "-c", "exec \"$0\" decode \"$1\" > /dev/full", kBin, dir.file("tone.wav")});
  EXPECT_TRUE(r.exitStatus == 1 && r.err == "No space left on device\n") << r.err;
}

TEST_F(DecodeTest, EveryFormatMatchesTheFfmpegTool) {
  // A chirp with noise, 3 s, mono; also beside raw video (46 MB between audio packets) and with stamps that jump.
  const std::string source =
      make("source.wav", {"-f", "lavfi", "-i", "aevalsrc=0.4*sin(2*PI*(200+300*t)*t)+0.1*random(0)-0.05:d=3:s=44100"});
  const std::map<std::string, std::string> before = {
      {"raw.mkv", "-f lavfi -i color=s=1280x720:r=50,format=gray -t 2 -c:v rawvideo -af asetnsamples=44100"},
      {"jump.mkv", "-af asetpts=PTS+if(between(T\\,1\\,2)\\,60/TB\\,0)"}};
  const std::vector<std::pair<std::string, std::string>> formats = {
      {"a.wav", "pcm_s16le"}, {"a.flac", "flac"},     {"a.mp3", "libmp3lame"},  {"a.opus", "libopus"}, {"a.m4a", "aac"},
      {"a.ogg", "libvorbis"}, {"a.mkv", "pcm_f32le"}, {"raw.mkv", "pcm_s16le"}, {"jump.mkv", "flac"}};
  for (const auto& [name, codec] : formats) {
    SCOPED_TRACE(name);
    std::vector<std::string> args = {"-i", source};
    std::istringstream words((before.count(name) ? before.at(name) : "") + " -c:a " + codec);
    for (std::string word; words >> word;) args.push_back(word);
    const std::string file = make(name, args);
    const ProcessResult r = decode(file);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::vector<float> ours = floatSamples(r.out), theirs = decodeWithFfmpegTool(file);
    EXPECT_NEAR(double(ours.size()), double(theirs.size()), 0.02 * 16000);  // 20 ms
    EXPECT_GE(correlation(ours, theirs, 32), 0.99);
  }
}

TEST_F(DecodeTest, TracksKeepTheirPlaceOnTheTimeLine) {
  // A 4-second video; track 1 is 440 Hz for its first second, track 2 1 kHz from 2.000 s.
  std::vector<std::string> args;
  std::istringstream words(
      "-f lavfi -i testsrc=duration=4:size=32x32:rate=5 -f lavfi -i sine=frequency=440:duration=1 "
      "-itsoffset 2 -f lavfi -i sine=frequency=1000:duration=1 -map 0 -map 1 -map 2 -c:v mpeg4 -c:a flac");
  for (std::string word; words >> word;) args.push_back(word);
  const std::string video = make("meeting.mkv", args);
  const ProcessResult r = decode(video);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const std::vector<float> s = floatSamples(r.out);
  ASSERT_NEAR(double(s.size()), 3 * 16000.0, 400);
  EXPECT_NEAR(hz(s, 1600, 14400), 440, 10);
  EXPECT_LT(db(s, 17600, 30400), -60);
  EXPECT_NEAR(hz(s, 33600, 46400), 1000, 10);
  size_t onset = 17600;
  while (onset < s.size() && std::fabs(s[onset]) < 0.02f) ++onset;
  EXPECT_NEAR(double(onset), 32000, 160) << "the second track starts at 2.000 s";
}

// The downmix itself: common_test. Here: a file's layout reaches it (the centre alone is 3 dB down), a stereo file
// without a channel mask and two tracks keep the level of the same 0.9 tone in mono, with no ringing past it.
TEST_F(DecodeTest, SpeechKeepsItsLevelInEveryLayoutAndNeverExceedsTheLoudestChannel) {
  const std::string mono = make("mono.wav", {"-f", "lavfi", "-i", "aevalsrc=0.9*sin(2*PI*300*t):d=2"});
  const double level = db(floatSamples(decode(mono).out), 1600, 30000);
  ASSERT_TRUE(runProcess({"/usr/bin/sox", mono, "-c", "2", dir.file("sox-stereo.wav")}).exitStatus == 0);
  for (const auto& [file, below] : std::vector<std::pair<std::string, double>>{
           {dir.file("sox-stereo.wav"), 0},
           {make("tracks.mka", {"-i", mono, "-i", mono, "-map", "0", "-map", "1", "-c:a", "pcm_s16le"}), 0},
           {make("centre.flac", {"-i", mono, "-af", "pan=5.1|c2=c0"}), -3}}) {
    const std::vector<float> s = floatSamples(decode(file).out);
    ASSERT_FALSE(s.empty()) << file;
    EXPECT_LE(std::max(*std::max_element(s.begin(), s.end()), -*std::min_element(s.begin(), s.end())), 0.95f) << file;
    EXPECT_NEAR(db(s, 1600, 30000), level + below, 0.5) << file;
  }
}

TEST_F(DecodeTest, MemoryStaysFlatWithALongAndAShortTrack) {
  // 20 minutes beside 1 second: holding the long track would need about 77 MB; 48 MiB of heap.
  const std::string file =
      make("long.mka", {"-f", "lavfi", "-i", "sine=duration=1200:sample_rate=8000", "-f", "lavfi", "-i",
                        "sine=duration=1:sample_rate=8000", "-map", "0", "-map", "1", "-c:a", "pcm_s16le"});
  EXPECT_EQ(decode(file, "/", 48).out.size(), 1200u * 64000);
}

TEST_F(DecodeTest, DamagedFilesEndWithinBoundsAndAtMostOneLine) {
  const std::string source = make("s.wav", {"-f", "lavfi", "-i", "sine=duration=5"});
  for (const std::string name : {"d.mp3", "d.m4a", "d.opus"}) {
    std::string bytes = readFile(make(name, {"-i", source}));
    for (size_t i = 7; i < bytes.size(); i += bytes.size() / 50 + 1) bytes[i] = char(bytes[i] ^ 0x5a);
    writeFile(dir.file("bad-" + name), bytes);
    const ProcessResult r = decode(dir.file("bad-" + name), "/", 64);
    const bool oneLine = !r.err.empty() && r.err.find('\n') == r.err.size() - 1;
    EXPECT_TRUE(r.exitStatus == 0 ? r.err.empty() : r.exitStatus == 1 && oneLine) << name << r.err;
    EXPECT_EQ(r.out.size() % 4, 0u) << name;
  }
  // One damaged AC-3 frame (its sync word) is skipped; the other 4.97 s follow on, as FFmpeg's tool plays them.
  std::string ac3 = readFile(make("a.mka", {"-i", source, "-c:a", "ac3"}));
  const size_t sync = ac3.find("\x0b\x77", ac3.size() / 2);
  ac3[sync] = '\0';
  writeFile(dir.file("bad-a.mka"), ac3);
  const ProcessResult skipped = decode(dir.file("bad-a.mka"));
  EXPECT_EQ(skipped.err, "");
  EXPECT_EQ(skipped.out.size(), decodeWithFfmpegTool(dir.file("bad-a.mka")).size() * 4);
  // With every frame damaged nothing decodes: a failure, not silence reported as success.
  for (size_t at = ac3.find("\x0b\x77"); at != std::string::npos; at = ac3.find("\x0b\x77", at)) ac3[at] = '\0';
  writeFile(dir.file("bad-a.mka"), ac3);
  EXPECT_EQ(decode(dir.file("bad-a.mka")).err, "Could not decode the media file: " + kBadData);
  // A truncated MP3 decodes what is there, like any player.
  writeFile(dir.file("cut.mp3"), readFile(dir.file("d.mp3")).substr(0, 20000));
  const ProcessResult cut = decode(dir.file("cut.mp3"));
  EXPECT_TRUE(cut.exitStatus == 0 && !cut.out.empty() && cut.out.size() < 5u * 64000) << cut.exitStatus;
}

}  // namespace
}  // namespace tavrin::testing
