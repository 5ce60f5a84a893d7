// Translation time per line: the persistent null-flush Apertium pipeline
// against starting the stock translator (`apertium eng-spa`) once per line,
// measured in the same run on the same lines; and word agreement of the two
// on bench/translation_lines.txt (ours fed the lines in lower case, as the
// recogniser writes them).
//
//   bench_live_translation [lines] [line file]
//   (default 60 lines, the peer gets 15; bench/translation_lines.txt)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "system-audio/live/apertium.h"

using namespace tavrin::system_audio;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::string run(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Stats {
  double median, p95, mean;
};

Stats stats(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double v : ms) sum += v;
  auto at = [&](double q) {
    return ms[std::min(ms.size() - 1, static_cast<size_t>(q * static_cast<double>(ms.size())))];
  };
  return {at(0.5), at(0.95), sum / static_cast<double>(ms.size())};
}

double millisSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 60;
  std::ifstream file(argc > 2 ? argv[2] : "bench/translation_lines.txt");
  std::vector<std::string> kLines;
  for (std::string line; std::getline(file, line);) kLines.push_back(line);
  if (kLines.empty()) {
    std::fprintf(stderr, "bench_live_translation: no lines (run from the source tree or name the line file)\n");
    return 1;
  }
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
  std::vector<std::string> ours(kLines.size());
  for (int i = 0; i < lines; ++i) {
    std::string spoken = kLines[static_cast<size_t>(i) % kLines.size()];
    for (char& c : spoken) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto t = Clock::now();
    ours[static_cast<size_t>(i) % kLines.size()] = translator->translate(spoken);
    persistent.push_back(millisSince(t));
  }

  size_t agreeing = 0, total = 0, sameLines = 0;
  for (size_t i = 0; i < kLines.size(); ++i) {
    const std::vector<std::string> stock = words(run("printf '%s\\n' " + quoted(kLines[i]) + " | apertium -u eng-spa"));
    const std::vector<std::string> mine = words(ours[i]);
    total += std::max(stock.size(), mine.size());
    for (size_t w = 0; w < std::min(stock.size(), mine.size()); ++w) agreeing += stock[w] == mine[w];
    sameLines += stock == mine;
    if (stock != mine) std::printf("  differs: \"%s\" -> \"%s\"\n", kLines[i].c_str(), ours[i].c_str());
  }

  std::vector<double> perProcess;
  for (int i = 0; i < peerLines; ++i) {
    const std::string command =
        "printf '%s\\n' " + quoted(kLines[static_cast<size_t>(i) % kLines.size()]) + " | apertium eng-spa >/dev/null";
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
  std::printf(
      "  persistent null-flush pipeline: %d lines  median %.2f ms  p95 %.2f ms  mean %.2f ms  (pipeline start %.0f ms, "
      "once)\n",
      lines, p.median, p.p95, p.mean, openMs);
  std::printf("  one stock `apertium eng-spa` per line: %d lines  median %.1f ms  p95 %.1f ms  mean %.1f ms\n",
              peerLines, q.median, q.p95, q.mean);
  std::printf("  ratio (per-process / persistent, median): %.0fx\n", q.median / p.median);
  std::printf(
      "word agreement with the stock `apertium -u eng-spa` on %zu lines: %.1f %% of words, %zu/%zu lines identical\n",
      kLines.size(), 100.0 * static_cast<double>(agreeing) / static_cast<double>(std::max<size_t>(total, 1)), sameLines,
      kLines.size());
  return 0;
}
