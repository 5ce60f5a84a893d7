// Live subtitles on the Whisper engine, fed in real time, with a base-size
// random-weight model whose end bias makes it stop like a real one.
//
//   bench_whisper_live [sentences file] [sentences] [decoding]   (defaults:
//       bench/speech_sentences.txt, all; a third argument: the decoding alone)
//
// flite speaks the sentences with 1.5 s pauses. Runs, each over that audio:
//   en-US (PocketSphinx finds the utterances and gives the volatiles,
//   Whisper the finals) and de-DE (Whisper alone: loudness segmenter,
//   volatiles re-decoded), each with one channel and with two channels
//   speaking at once. Figures per run: final-result lag after each
//   utterance's audio end (median, p95), first volatile after its speech
//   start, CPU per second of audio per channel.
// Then, on the same utterances, one decoder: the final as live decodes it
// (context sized to the utterance plus margins of 0, 16, 32, 64 frames)
// against the same utterance padded to the model's 30 s window (the
// re-decode live used to cost): wall and CPU per utterance, and the ratio.
#include "speech-service/whisper/whisper_live.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench/live_bench.h"
#include "bench/whisper_realtime.h"
#include "speech-service/pocketsphinx/pocketsphinx_service.h"
#include "speech-service/routing/routed_speech_service.h"
#include "speech-service/whisper/testmodel/whisper_testmodel.h"
#include "system-audio/base/system_env.h"
#include "system-audio/live/apertium.h"
#include "system-audio/live/live_channel.h"

using namespace tavrin;
using namespace tavrin::system_audio;

namespace {

using bench::cpuSeconds;

double wallSeconds() {
  return static_cast<double>(monotonicNowNanos()) / 1e9;
}

using bench::Quantiles;
using bench::quantiles;

// One live run of `channels` channels over `audio`, in real time.
void measure(const char* language, int channels, const std::vector<float>& audio, double speechSeconds,
             const LiveServices& services) {
  const bench::RealTimeRun run = bench::runInRealTime(language, std::nullopt, channels, audio, services);
  const double cpu = run.cpu;
  const auto& lines = run.lines;
  const std::vector<double>& finalLag = run.finalLag;
  const std::vector<uint64_t>& begin = run.begin;

  std::vector<double> firstVolatile;
  std::map<std::pair<std::string, int>, bool> seen;
  const std::regex segment(R"re("source":"(system|mic)","id":(\d+),"text":"[^"]*","isFinal":false,"startMs":(\d+))re");
  for (auto& [t, l] : lines) {
    std::smatch m;
    if (!std::regex_search(l, m, segment) || seen[{m[1].str(), std::stoi(m[2])}]) continue;
    seen[{m[1].str(), std::stoi(m[2])}] = true;
    const uint64_t start = begin[m[1] == "system" ? 0 : 1];
    firstVolatile.push_back(static_cast<double>(t - start) / 1e6 - std::stod(m[3]));
  }
  const Quantiles f = quantiles(finalLag), v = quantiles(firstVolatile);
  std::printf(
      "%-6s %d ch  final lag median %5.0f ms  p95 %5.0f ms (%3zu finals)  first volatile median %5.0f ms "
      "(%3zu)  CPU %.3f s per audio s per channel\n",
      language, channels, f.median, f.p95, f.n, v.median, v.n,
      cpu / (static_cast<double>(audio.size()) / 16000) / channels);
  (void)speechSeconds;
}

}  // namespace

int main(int argc, char** argv) {
  bench::rerunWithPassiveWait(argv);
  const std::string file = argc > 1 ? argv[1] : "bench/speech_sentences.txt";
  const size_t wanted = argc > 2 ? static_cast<size_t>(std::atoi(argv[2])) : SIZE_MAX;
  const std::vector<std::string> sentences = bench::readSentences(file, wanted);
  char dirTemplate[] = "/tmp/tavrin-bench-whisper-live.XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  std::vector<std::vector<float>> parts;
  const std::vector<float> audio = bench::spokenSentences(dir, sentences, &parts);
  if (audio.empty()) {
    std::fprintf(stderr, "bench_whisper_live: flite/sox could not make the speech from %s\n", file.c_str());
    return 1;
  }
  double speechSeconds = 0;
  for (const auto& p : parts) speechSeconds += static_cast<double>(p.size()) / 16000;
  using namespace speech::testmodel;
  const std::string modelDir = dir + "/data/tavrin/speech/whisper";
  std::filesystem::create_directories(modelDir);
  const std::string model = modelDir + "/ggml-base.bin";
  writeWhisperTestModel(model, {whisperTestHparams(WhisperSize::kBase, true), 1, 3.0f});
  setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);

  std::printf(
      "whisper live: base multilingual random-weight model (end bias 3), %zu sentences, %.0f s of audio "
      "(%.0f s speech), real time\n",
      sentences.size(), static_cast<double>(audio.size()) / 16000, speechSeconds);
  {
    auto builtIn = speech::PocketSphinxService::fromProcess();
    auto whisper = speech::WhisperSpeechService::fromProcess();
    whisper->setLiveGuide(builtIn.get());
    speech::RoutedSpeechService routed(*whisper, *builtIn);
    ApertiumTranslationService translation;
    LiveServices services{routed, translation, "en_US"};
    for (const char* language : {"en-US", "de-DE"}) {
      if (argc > 3) break;  // a third argument: the decoding alone
      for (int channels : {1, 2}) measure(language, channels, audio, speechSeconds, services);
    }
  }

  // The final's decoding alone, against the same utterance padded to 30 s.
  auto engine = speech::makeWhisperLibraryEngine();
  auto decoder = engine->load(model, "en", false);
  const auto decodeAll = [&](int margin, bool padded) {
    double wall = 0, cpu = 0;
    size_t chars = 0;
    for (const auto& p : parts) {
      std::vector<float> u(4800, 0.0f);
      u.insert(u.end(), p.begin(), p.end());
      u.resize(u.size() + 4800, 0.0f);
      speech::WhisperUtterance w = speech::whisperUtterance(u, "");
      w.settings.audioContext += margin - speech::kAudioContextMargin;
      if (padded) w.settings.audioContext = 0;
      const double w0 = wallSeconds(), c0 = cpuSeconds();
      chars += speech::utteranceText(decoder->decode(w.samples.data(), w.samples.size(), w.settings)).size();
      wall += wallSeconds() - w0, cpu += cpuSeconds() - c0;
    }
    const double n = static_cast<double>(parts.size());
    std::printf("  %-28s wall %.3f s per utterance  CPU %.3f s per utterance, %.3f s per speech s  (%.0f characters)\n",
                padded ? "padded to 30 s (peer)" : ("context + " + std::to_string(margin) + " frames").c_str(),
                wall / n, cpu / n, cpu / speechSeconds, static_cast<double>(chars) / n);
    return cpu;
  };
  std::printf("final decoding alone (%zu utterances, %.0f s of speech, 2 threads):\n", parts.size(), speechSeconds);
  double ours = 0;
  for (int margin : {0, 16, 32, 64}) {
    const double cpu = decodeAll(margin, false);
    if (margin == speech::kAudioContextMargin) ours = cpu;
  }
  const double padded = decodeAll(0, true);
  std::printf("  CPU ratio padded / sized (margin %d): %.1f x\n", speech::kAudioContextMargin, padded / ours);
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
