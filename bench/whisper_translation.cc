// Live translation by the speech model itself: a de-DE live run on a
// base-size multilingual random-weight model (end bias 3, so it stops like a
// real one), fed in real time, without translation (the peer), into English
// (Whisper's translate task after each final) and into Spanish (the same,
// then Apertium's eng-spa pair), with one channel and with two channels
// speaking at once.
//
//   bench_whisper_translation [sentences file] [sentences]
//       (defaults: bench/speech_sentences.txt, 8)
//
// flite speaks the sentences with 1.5 s pauses. Figures per run: final lag
// after each utterance's audio end (median, p95), translation lag after its
// final's segment event (median, p95), CPU per second of audio per channel;
// then the extra CPU against the run without translation, and the Apertium
// stage alone per line on the English the model gave.
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
#include "speech-service/whisper/whisper_service.h"
#include "system-audio/base/system_env.h"
#include "system-audio/live/apertium.h"
#include "system-audio/live/live_channel.h"

using namespace tavrin;
using namespace tavrin::system_audio;

namespace {

struct RunFigures {
  double cpuPerChannel = 0;  // CPU seconds per audio second per channel
  std::vector<std::string> english;
};

RunFigures measure(const std::optional<std::string>& target, int channels, const std::vector<float>& audio,
                   const LiveServices& services) {
  const bench::RealTimeRun run = bench::runInRealTime("de-DE", target, channels, audio, services);
  const double cpu = run.cpu;
  const auto& lines = run.lines;
  const std::vector<double>& finalLag = run.finalLag;

  // Translation lag: from the final's segment event to its translation event.
  std::map<std::pair<std::string, std::string>, uint64_t> finals;
  std::vector<double> translationLag;
  size_t errors = 0;
  RunFigures figures;
  const std::regex final(R"re("source":"(system|mic)","id":(\d+),"text":".*","isFinal":true)re");
  const std::regex translation(R"re("type":"translation","source":"(system|mic)","id":(\d+),"text":"(.*)"\})re");
  for (auto& [t, l] : lines) {
    std::smatch m;
    if (std::regex_search(l, m, final)) finals[{m[1].str(), m[2].str()}] = t;
    if (std::regex_search(l, m, translation)) {
      translationLag.push_back(static_cast<double>(t - finals[{m[1].str(), m[2].str()}]) / 1e6);
      figures.english.push_back(m[3].str());
    }
    errors += l.find(R"("type":"error")") != std::string::npos;
  }
  const bench::Quantiles f = bench::quantiles(finalLag), tr = bench::quantiles(translationLag);
  figures.cpuPerChannel = cpu / (static_cast<double>(audio.size()) / 16000) / channels;
  std::printf(
      "%-5s %d ch  final lag median %5.0f ms  p95 %5.0f ms (%3zu)  translation lag median %5.0f ms  p95 %5.0f ms "
      "(%3zu, %zu errors)  CPU %.3f s per audio s per channel\n",
      target ? target->c_str() : "none", channels, f.median, f.p95, f.n, tr.median, tr.p95, tr.n, errors,
      figures.cpuPerChannel);
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  bench::rerunWithPassiveWait(argv);
  const std::string file = argc > 1 ? argv[1] : "bench/speech_sentences.txt";
  const size_t wanted = argc > 2 ? static_cast<size_t>(std::atoi(argv[2])) : 8;
  const std::vector<std::string> sentences = bench::readSentences(file, wanted);
  char dirTemplate[] = "/tmp/tavrin-bench-whisper-translation.XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  const std::vector<float> audio = bench::spokenSentences(dir, sentences);
  if (audio.empty()) {
    std::fprintf(stderr, "bench_whisper_translation: flite/sox could not make the speech from %s\n", file.c_str());
    return 1;
  }
  using namespace speech::testmodel;
  const std::string modelDir = dir + "/data/tavrin/speech/whisper";
  std::filesystem::create_directories(modelDir);
  writeWhisperTestModel(modelDir + "/ggml-base.bin", {whisperTestHparams(WhisperSize::kBase, true), 1, 3.0f});
  setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);

  std::printf(
      "live translation, de-DE: base multilingual random-weight model (end bias 3), %zu sentences, %.0f s of audio, "
      "real time\n",
      sentences.size(), static_cast<double>(audio.size()) / 16000);
  ApertiumTranslationService translation;
  if (translation.status("en", "es") != TranslationAvailability::kInstalled) {
    std::fprintf(stderr, "bench_whisper_translation: apertium-eng-spa is not installed\n");
    return 1;
  }
  std::vector<std::string> english;
  {
    auto builtIn = speech::PocketSphinxService::fromProcess();
    auto whisper = speech::WhisperSpeechService::fromProcess();
    speech::RoutedSpeechService routed(*whisper, *builtIn);
    LiveServices services{routed, translation, "en_US"};
    for (int channels : {1, 2}) {
      const double none = measure(std::nullopt, channels, audio, services).cpuPerChannel;
      const RunFigures en = measure(std::string("en"), channels, audio, services);
      const RunFigures es = measure(std::string("es"), channels, audio, services);
      std::printf(
          "      %d ch  extra CPU per channel against no translation: en %+.3f s (%+.0f %%), es %+.3f s (%+.0f %%)\n",
          channels, en.cpuPerChannel - none, 100 * (en.cpuPerChannel / none - 1), es.cpuPerChannel - none,
          100 * (es.cpuPerChannel / none - 1));
      if (english.empty()) english = en.english;
    }
  }

  // The pivot's Apertium stage alone, on the English the model gave.
  auto translator = translation.open("en", "es");
  std::vector<double> ms;
  for (int round = 0; round < 3; ++round) {
    for (const std::string& line : english) {
      const uint64_t t0 = monotonicNowNanos();
      (void)translator->translate(line);
      ms.push_back(static_cast<double>(monotonicNowNanos() - t0) / 1e6);
    }
  }
  const bench::Quantiles p = bench::quantiles(ms);
  std::printf("Apertium eng-spa stage of the pivot: median %.2f ms  p95 %.2f ms per line (%zu lines)\n", p.median,
              p.p95, p.n);
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
