// The capture sources on the fake sound server, and the EchoAligner.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <fstream>

#include "system-audio/sources/mic_capture.h"
#include "system-audio/sources/system_audio_tap.h"
#include "tests/support/fake_sound_server.h"
#include "tests/support/samples.h"

namespace tavrin::system_audio {
namespace {

using testing::FakeSoundServer;
using testing::makeTone;

const PcmFormat kSinkFormat{48000, 2, SampleType::kFloat32, true};
const PcmFormat kMicFormat{48000, 1, SampleType::kFloat32, true};
const SinkInfo kHeadphones{"headphones", "headphones.monitor", kSinkFormat};

std::vector<PcmBufferPtr> drain(AudioCapture& capture) {
  std::vector<PcmBufferPtr> out;
  while (auto b = capture.stream()->next()) out.push_back(*b);
  return out;
}
float first(const PcmBuffer& b) {
  return b.format().interleaved ? reinterpret_cast<const float*>(b.data(0))[0] : b.floatChannel(0)[0];
}

// Makes `sink` the only default output (an empty name: no default output at all).
std::function<void(FakeSoundServer&)> defaultSink(const SinkInfo& sink) {
  return [sink](FakeSoundServer& s) {
    if (!sink.name.empty()) s.addSink(sink);
    s.setDefaultSink(sink.name);
  };
}

// Capture starts on the default output and follows it: after the change only
// the new default's audio arrives, in its own format, until stop.
TEST(SystemAudioTapTest, FollowsTheDefaultOutputUntilStopThenEndsTheStream) {
  const PcmFormat kOther{44100, 1, SampleType::kFloat32, true};
  const struct {
    const char* what;
    std::function<void(FakeSoundServer&)> change;
    std::vector<float> firsts;  // of the buffers that arrive
    std::optional<std::string> failure;
  } rows[] = {
      // The old output delivers its sound until the new one carries some: the apps may still be moving.
      {"default switched", [](auto& s) { s.setDefaultSink("system_output"); }, {0.25f, 0.75f, 0.5f}, {}},
      {"followed output removed", [](auto& s) { s.failStreams("Entity killed", "other.monitor"); }, {0.25f, 0.5f}, {}},
      {"new default unrecordable", defaultSink({"bare", "", kSinkFormat}), {0.25f, 0.75f}, {}},
      {"server gone", [](auto& s) { s.failStreams("Connection terminated"); }, {0.25f}, "Connection terminated"},
  };
  for (const auto& row : rows) {
    FakeSoundServer server;
    server.addSink({"other", "other.monitor", PcmFormat{44100, 1, SampleType::kInt16, true}});
    server.setDefaultSink("other");
    std::vector<std::string> failures;
    SystemAudioTap tap(server);
    tap.setOnFailure([&](const std::string& why) { failures.push_back(why); });
    tap.start();
    EXPECT_EQ(tap.format(), kOther) << row.what;  // float, at most the front pair
    auto both = [&](float level) {
      server.deliver("other.monitor", makeTone(kOther, 16, 0, level + 0.25f));
      server.deliver("system_output.monitor", makeTone(kSinkFormat, 16, 0, level));
    };
    both(0.0f);
    row.change(server);
    both(0.5f);
    if (!row.failure) tap.stop();  // a failure ends the stream by itself
    std::vector<float> firsts;
    for (const auto& b : drain(tap)) firsts.push_back(first(*b));
    tap.stop();
    EXPECT_EQ(firsts, row.firsts) << row.what;
    EXPECT_EQ(failures, row.failure ? std::vector<std::string>{*row.failure} : std::vector<std::string>{}) << row.what;
    EXPECT_EQ(server.held(), 0) << row.what;
    tap.stop();  // again: nothing happens
  }
  FakeSoundServer server;  // a stream on every output, all released in reverse
  SystemAudioTap tap(server);
  server.addSink({"other", "other.monitor", kSinkFormat});
  const auto standby = [&](const std::set<std::string>& s) {  // the streams on standby as the worker leaves them
    for (int i = 0; i < 500 && server.standbySources() != s; ++i) ::usleep(10'000);
    return server.standbySources() == s;
  };
  tap.start();
  server.setDefaultSink("other");
  EXPECT_TRUE(standby({}));  // the new default's wakes at once; the old one's delivers until "other" takes over
  server.deliver("system_output.monitor", makeTone(kSinkFormat, 480, 0, 0.0f), 1'000'000);
  server.deliver("other.monitor", makeTone(kSinkFormat, 480, 0, 0.5f), 20'000'000);
  EXPECT_TRUE(standby({"system_output.monitor"}));
  tap.stop();
  EXPECT_EQ(drain(tap).size(), 2u);  // a pause across the switch keeps its length: the old output's silence stays
  EXPECT_EQ(server.log(),
            (std::vector<std::string>{"connect", "stream:system_output.monitor", "start:system_output.monitor",
                                      "subscribe", "stream:other.monitor", "start:other.monitor", "~subscribe",
                                      "~start:other.monitor", "~stream:other.monitor", "~start:system_output.monitor",
                                      "~stream:system_output.monitor", "~connect"}));
}

TEST(SystemAudioTapTest, AFailedStartReleasesEverythingInReverseAndNamesTheStep) {
  using Step = SoundServerStep;
  const auto fail = [](Step step) { return [step](FakeSoundServer& s) { s.failAt(step, -17); }; };
  const std::vector<std::string> connected = {"connect", "~connect"};
  const struct {
    std::function<void(FakeSoundServer&)> arrange;
    std::string error;
    std::vector<std::string> log;
  } rows[] = {
      {fail(Step::kConnect), "CoreAudio error (CreateProcessTap): -17", {}},
      {fail(Step::kServerInfo), "CoreAudio error (DefaultOutputDevice): -17", connected},
      {defaultSink({}), "CoreAudio error (DefaultOutputDevice): 0", connected},
      {fail(Step::kSinkInfo), "CoreAudio error (OutputDeviceUID): -17", connected},
      {defaultSink({"bare", "", kSinkFormat}), "CoreAudio error (OutputDeviceUID): 0", connected},
      {fail(Step::kSourceInfo), "CoreAudio error (TapFormat): -17", connected},
      {defaultSink({"broken", "broken.monitor", PcmFormat{0, 2, SampleType::kFloat32, true}}),
       "No compatible SpeechAnalyzer audio format is installed.", connected},
      {fail(Step::kCreateStream), "CoreAudio error (CreateIOProc): -17", connected},
      {fail(Step::kStartStream),
       "CoreAudio error (DeviceStart): -17",
       {"connect", "stream:system_output.monitor", "~stream:system_output.monitor", "~connect"}},
  };
  for (const auto& row : rows) {
    FakeSoundServer server;
    row.arrange(server);
    SystemAudioTap tap(server);
    tap.setOnDeviceLost([] {});
    try {
      tap.start();
      ADD_FAILURE() << row.error;
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), row.error);
    }
    EXPECT_EQ(server.log(), row.log) << row.error;
    EXPECT_EQ(tap.stream()->next(), std::nullopt);
  }
}

// Halves the near end and counts far-end chunks that carry sound, so processed audio shows.
class HalvingCanceller final : public EchoCanceller {
 public:
  explicit HalvingCanceller(std::shared_ptr<std::atomic<int>> farChunks) : farChunks_(std::move(farChunks)) {}
  void analyzeFarEnd(const float* chunk) override { *farChunks_ += chunk[kChunkFrames - 1] != 0; }
  void processNearEnd(float* chunk) override {
    for (uint32_t i = 0; i < kChunkFrames; ++i) chunk[i] *= 0.5f;
  }

 private:
  std::shared_ptr<std::atomic<int>> farChunks_;
};

TEST(MicCaptureTest, PlainEchoCancelledOrFallingBackWithOneLine) {
  const std::string prefix = "mic: voice processing unavailable, continuing without echo cancellation (";
  const struct {
    bool voiceProcessing;
    std::function<void(FakeSoundServer&)> arrange;
    std::optional<std::string> cancellerFailure, diagnostic;
    std::string output = "system_output";  // the default once started; what plays there is the far end
  } rows[] = {
      {false, [](auto&) {}, {}, {}},
      {true, [](auto&) {}, {}, {}},
      {true, [](auto& s) { s.addSink(kHeadphones); }, {}, {}, "headphones"},
      {true, [](auto&) {}, "no canceller", prefix + "no canceller)"},
      {true, [](auto& s) { s.failAt(SoundServerStep::kStartStream, 6); }, {}, prefix + "fake failure 6)"},
      {true, defaultSink({}), {}, prefix + "there is no default output device to cancel)"},
  };
  for (const auto& row : rows) {
    FakeSoundServer server;
    row.arrange(server);
    std::vector<std::string> diagnostics;
    auto farChunks = std::make_shared<std::atomic<int>>(0);
    MicCapture mic(
        server, row.voiceProcessing, [&](const std::string& line) { diagnostics.push_back(line); },
        [&]() -> std::unique_ptr<EchoCanceller> {
          if (row.cancellerFailure) throw std::runtime_error(*row.cancellerFailure);
          return std::make_unique<HalvingCanceller>(farChunks);
        });
    mic.start();
    server.setDefaultSink(row.output);
    const bool cancelling = row.voiceProcessing && !row.diagnostic;
    for (int i = 0; i < 5; ++i) {  // 0.5 s of both ends, captured at the same times
      const uint64_t t = 1'000'000'000ull + static_cast<uint64_t>(i) * 100'000'000ull;
      EXPECT_EQ(server.deliver(row.output + ".monitor", makeTone(kSinkFormat, 4800, 0, 0.2f), t), cancelling ? 1 : 0);
      EXPECT_EQ(server.deliver("virtual_mic", makeTone(kMicFormat, 4800, 0, 0.4f), t), 1);
    }
    mic.stop();
    const auto buffers = drain(mic);
    EXPECT_EQ(diagnostics, row.diagnostic ? std::vector<std::string>{*row.diagnostic} : std::vector<std::string>{});
    EXPECT_EQ(server.held(), 0);
    ASSERT_FALSE(buffers.empty());
    uint64_t frames = 0;
    for (auto& b : buffers) frames += b->frameLength();
    if (!cancelling) {  // the source's own format, untouched
      EXPECT_EQ(buffers.size(), 5u);
      EXPECT_EQ(buffers[0]->format(), kMicFormat);
      EXPECT_EQ(first(*buffers[4]), 0.4f);
      continue;
    }
    EXPECT_EQ(buffers[0]->format(), EchoAligner::format());
    EXPECT_GT(frames, 7800u);  // 24000 frames at 48 kHz, less what the resampler holds back
    EXPECT_LE(frames, 8000u);
    EXPECT_GT(*farChunks, 45);
    EXPECT_NEAR(buffers.back()->floatChannel(0)[buffers.back()->frameLength() / 2], 0.2f, 0.02f);  // processed
  }
}

// Logs the first far and near sample of each chunk; passes the near end through.
struct RecordingCanceller final : EchoCanceller {
  std::vector<float>* farFirst;
  std::vector<float>* nearFirst;
  RecordingCanceller(std::vector<float>* f, std::vector<float>* n) : farFirst(f), nearFirst(n) {}
  void analyzeFarEnd(const float* chunk) override { farFirst->push_back(chunk[0]); }
  void processNearEnd(float* chunk) override { nearFirst->push_back(chunk[0]); }
};

// 16 kHz mono whose sample i is first + i: a time stamp in samples.
PcmBufferPtr ramp(float first, uint32_t frames) {
  PcmBufferPtr b = makeTone(EchoAligner::format(), frames, 0, 0);
  for (uint32_t i = 0; i < frames; ++i) b->floatChannel(0)[i] = first + static_cast<float>(i);
  return b;
}

TEST(EchoAlignerTest, PairsSamplesCapturedTogetherAndNeverStallsTheNearEnd) {
  constexpr uint64_t kMs = 1'000'000;
  constexpr uint32_t kChunk = EchoCanceller::kChunkFrames;
  std::vector<float> far, near, out;
  auto make = [&](uint32_t maxWait) {
    far.clear(), near.clear(), out.clear();
    return EchoAligner(
        std::make_unique<RecordingCanceller>(&far, &near),
        [&](PcmBufferPtr b) { out.insert(out.end(), b->floatChannel(0), b->floatChannel(0) + b->frameLength()); },
        maxWait);
  };
  EchoAligner earlyFar = make(20);  // far started at 0, near at 30 ms: far is trimmed
  earlyFar.pushFar(*ramp(0, 1600), 0);
  earlyFar.pushNear(*ramp(480, 800), 30 * kMs);
  EXPECT_EQ(far, (std::vector<float>{480, 640, 800, 960, 1120}));
  EXPECT_EQ(near, far);
  EchoAligner lateFar = make(20);  // far started 20 ms after near: padded with silence
  lateFar.pushNear(*ramp(0, 800), 0);
  EXPECT_TRUE(out.empty());  // waiting for the far end
  lateFar.pushFar(*ramp(320, 800), 20 * kMs);
  EXPECT_EQ(far, (std::vector<float>{0, 0, 320, 480, 640}));
  EXPECT_EQ(near, (std::vector<float>{0, 160, 320, 480, 640}));
  EchoAligner missingFar = make(3);
  missingFar.pushNear(*ramp(0, 4 * kChunk), 0);
  EXPECT_EQ(out.size(), kChunk);                            // the oldest chunk went out against silence
  missingFar.pushFar(*ramp(kChunk, 4 * kChunk), 10 * kMs);  // a late far end lines up with the next near sample
  EXPECT_EQ(far, (std::vector<float>{0, 160, 320, 480}));
  missingFar.pushNear(*ramp(4 * kChunk, 50), 40 * kMs);
  missingFar.finish();  // flushes the partial chunk
  EXPECT_EQ(out.size(), 4 * kChunk + 50);
}

// LibriVox readings of pocketsphinx-testdata, 16 kHz 16-bit mono, one after another.
std::vector<float> readings(std::initializer_list<const char*> numbers) {
  std::vector<float> out;
  for (const char* n : numbers) {
    std::ifstream in(
        std::string("/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-") + n + ".wav",
        std::ios::binary);
    in.seekg(44);  // the RIFF header
    for (int16_t s; in.read(reinterpret_cast<char*>(&s), 2);) out.push_back(static_cast<float>(s) / 32768.0f);
  }
  return out;
}

// The real canceller with a person on the other side, whose echo comes 120 ms late; the user talks over it, 10 dB
// above the echo, from the given time on: in a call under way whose echo is as loud as what plays, and at the start
// of a call (before the echo path is learned) with the echo 6 dB under what plays.
TEST(EchoCancellerTest, RemovesEchoAloneAndKeepsTheUserWhenBothTalk) {
  constexpr uint32_t kChunk = EchoCanceller::kChunkFrames, kRate = EchoCanceller::kSampleRate,
                     kDelay = kRate * 12 / 100;
  const std::vector<float> far = readings({"0870", "0890", "0920"}), user = readings({"0880", "0930"});
  ASSERT_GT(far.size(), 18 * kRate);
  for (const auto& [echoGain, userFrom] : {std::pair{1.0f, 11 * kRate}, std::pair{0.5f, kRate / 2}}) {
    SCOPED_TRACE(echoGain);
    const float userGain = static_cast<float>(echoGain * testing::rms(far) / testing::rms(user) * 3.16);
    const double loud = 0.1 * kChunk * std::pow(userGain * testing::rms(user), 2);
    std::unique_ptr<EchoCanceller> canceller = makeEchoCanceller();
    double echoIn = 0, echoOut = 0;
    int talking = 0, kept = 0;  // chunks in which the user talks
    for (uint32_t at = 0; at + kChunk <= 17 * kRate; at += kChunk) {
      float chunk[kChunk];
      const bool talks = at >= userFrom && at - userFrom + kChunk <= user.size();
      double userIn = 0, out = 0;
      for (uint32_t i = 0; i < kChunk; ++i) {
        const float spoken = talks ? user[at + i - userFrom] * userGain : 0.0f;
        chunk[i] = (at + i >= kDelay ? echoGain * far[at + i - kDelay] : 0.0f) + spoken;
        userIn += spoken * spoken;
        echoIn += at >= kRate && !talks ? chunk[i] * chunk[i] : 0;
      }
      canceller->analyzeFarEnd(&far[at]);
      canceller->processNearEnd(chunk);
      for (float s : chunk) (talks ? out : echoOut) += at >= kRate || talks ? s * s : 0;
      talking += userIn > loud;
      kept += userIn > loud && out >= 0.25 * userIn;
    }
    // Echo alone, from the first second on; the user over it: at least half of what they say kept (the WebRTC
    // canceller alone keeps about a quarter).
    EXPECT_TRUE(echoIn == 0 || 10 * std::log10(echoIn / echoOut) > 25) << 10 * std::log10(echoIn / echoOut);
    EXPECT_GE(kept, talking / 2);
  }
}

}  // namespace
}  // namespace tavrin::system_audio
