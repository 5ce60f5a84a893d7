// Translation time per line: the persistent null-flush Apertium pipeline
// against starting the stock translator (`apertium eng-spa`) once per line,
// measured in the same run on the same lines.
//
//   bench_live_translation [lines]     (default 60; the peer gets 15)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "system-audio/live/apertium.h"

using namespace tavrin::system_audio;
using Clock = std::chrono::steady_clock;

namespace {

const std::vector<std::string> kLines = {
    "hello everybody",
    "today we talk about the new budget",
    "i have one question about the schedule",
    "can you hear me now",
    "the meeting starts at ten in the morning",
    "we need more time for testing",
    "thank you for coming",
    "let us look at the numbers from last week",
    "the customer wants a smaller version",
    "please send me the report before friday",
};

struct Stats {
  double median, p95, mean;
};

Stats stats(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double v : ms) sum += v;
  auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * static_cast<double>(ms.size())))]; };
  return {at(0.5), at(0.95), sum / static_cast<double>(ms.size())};
}

double millisSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 60;
  const int peerLines = std::max(5, lines / 4);
  ApertiumTranslationService service;
  if (service.status("en", "es") != TranslationAvailability::kInstalled) {
    std::fprintf(stderr, "bench_live_translation: apertium-eng-spa is not installed\n");
    return 1;
  }
  const auto openStart = Clock::now();
  auto translator = service.open("en", "es");
  const double openMs = millisSince(openStart);

  std::vector<double> persistent;
  for (int i = 0; i < lines; ++i) {
    const auto t = Clock::now();
    (void)translator->translate(kLines[static_cast<size_t>(i) % kLines.size()]);
    persistent.push_back(millisSince(t));
  }

  std::vector<double> perProcess;
  for (int i = 0; i < peerLines; ++i) {
    const std::string command =
        "printf '%s\\n' '" + kLines[static_cast<size_t>(i) % kLines.size()] + "' | apertium eng-spa >/dev/null";
    const auto t = Clock::now();
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "bench_live_translation: the stock translator failed\n");
      return 1;
    }
    perProcess.push_back(millisSince(t));
  }

  const Stats p = stats(persistent);
  const Stats q = stats(perProcess);
  std::printf("translation per line, English to Spanish (Apertium)\n");
  std::printf("  persistent null-flush pipeline: %d lines  median %.2f ms  p95 %.2f ms  mean %.2f ms  (pipeline start %.0f ms, once)\n",
              lines, p.median, p.p95, p.mean, openMs);
  std::printf("  one stock `apertium eng-spa` per line: %d lines  median %.1f ms  p95 %.1f ms  mean %.1f ms\n",
              peerLines, q.median, q.p95, q.mean);
  std::printf("  ratio (per-process / persistent, median): %.0fx\n", q.median / p.median);
  return 0;
}
