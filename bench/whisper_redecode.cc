// bench_whisper_redecode MODEL RAW...
// The cost of decoding each finished utterance again with Whisper, as a live
// final result would: the model is loaded once, then each raw file (one
// utterance, 16 kHz mono float) is decoded as one window. Prints per
// utterance its length, the lag (wall time from its end to its text) and
// the CPU time, then the totals. With TAVRIN_BENCH_LIVE set, each is decoded
// as a live final is now (whisperUtterance: context sized to it, one pass);
// TAVRIN_BENCH_NO_FLASH loads the model without flash attention, as live does.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "speech-service/whisper/whisper_live.h"

namespace {

double seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MODEL RAW...\n", argv[0]);
    return 1;
  }
  try {
    const std::unique_ptr<tavrin::speech::WhisperEngine> engine = tavrin::speech::makeWhisperLibraryEngine();
    const double loadStart = seconds(CLOCK_MONOTONIC);
    const std::unique_ptr<tavrin::speech::WhisperWindowDecoder> decoder =
        engine->load(argv[1], "en", std::getenv("TAVRIN_BENCH_NO_FLASH") == nullptr);
    std::printf("model load: %.2f s\n", seconds(CLOCK_MONOTONIC) - loadStart);
    std::printf("%-10s %10s %10s %10s\n", "utterance", "audio s", "lag s", "CPU s");
    double audio = 0, lag = 0, cpu = 0, worst = 0;
    for (int i = 2; i < argc; ++i) {
      std::ifstream in(argv[i], std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::vector<float> samples(bytes.size() / 4);
      std::copy_n(bytes.data(), samples.size() * 4, reinterpret_cast<char*>(samples.data()));
      const double wall0 = seconds(CLOCK_MONOTONIC), cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
      if (std::getenv("TAVRIN_BENCH_LIVE") != nullptr) {  // as a live final: sized context, one pass
        const tavrin::speech::WhisperUtterance u = tavrin::speech::whisperUtterance(samples, "");
        decoder->decode(u.samples.data(), u.samples.size(), u.settings);
      } else {
        decoder->decode(samples.data(), samples.size(), {});
      }
      const double l = seconds(CLOCK_MONOTONIC) - wall0, c = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
      const double a = static_cast<double>(samples.size()) / 16000.0;
      std::printf("%-10d %10.2f %10.2f %10.2f\n", i - 1, a, l, c);
      audio += a, lag += l, cpu += c, worst = std::max(worst, l);
    }
    const int n = argc - 2;
    std::printf("utterances %d, audio %.1f s: mean lag %.2f s, worst %.2f s, CPU %.2f s per audio s\n", n, audio,
                lag / n, worst, cpu / audio);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
