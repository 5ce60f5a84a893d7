#include "tests/speech-service/speech_samples.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "tests/support/subprocess.h"

namespace tavrin::testing {

bool synthesizeSpeech(const std::string& text, const std::string& wavPath) {
  const ProcessResult r = runProcess({"/usr/bin/flite", "-voice", "slt", "-t", text, "-o", wavPath});
  return r.exitStatus == 0;
}

bool runFfmpeg(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y"};
  argv.insert(argv.end(), args.begin(), args.end());
  const ProcessResult r = runProcess(argv, ProcessOptions{{}, {}, {}, std::chrono::seconds(300)});
  return r.exitStatus == 0;
}

std::vector<float> decodeWithFfmpegTool(const std::string& path, double padSeconds) {
  TempDir dir;
  const std::string out = dir.file("out.f32");
  std::vector<std::string> args = {"-i", path};
  if (padSeconds > 0) {
    const std::string ms = std::to_string(static_cast<int>(padSeconds * 1000));
    args.insert(args.end(), {"-af", "adelay=" + ms + ",apad=pad_dur=" + std::to_string(padSeconds)});
  }
  args.insert(args.end(), {"-ac", "1", "-ar", "16000", "-f", "f32le", out});
  if (!runFfmpeg(args)) return {};
  const std::string bytes = readFile(out);
  std::vector<float> samples(bytes.size() / 4);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 4);
  return samples;
}

std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '\'') {
      word.push_back(static_cast<char>(std::tolower(c)));
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

namespace {

struct Alignment {
  size_t substitutions = 0, deletions = 0, insertions = 0, reference = 0;
};

Alignment align(const std::string& reference, const std::string& hypothesis) {
  const std::vector<std::string> r = wordsOf(reference);
  const std::vector<std::string> h = wordsOf(hypothesis);
  struct Cell {
    size_t cost = 0, s = 0, d = 0, i = 0;
  };
  std::vector<std::vector<Cell>> t(r.size() + 1, std::vector<Cell>(h.size() + 1));
  for (size_t i = 1; i <= r.size(); ++i) t[i][0] = {i, 0, i, 0};
  for (size_t j = 1; j <= h.size(); ++j) t[0][j] = {j, 0, 0, j};
  for (size_t i = 1; i <= r.size(); ++i) {
    for (size_t j = 1; j <= h.size(); ++j) {
      Cell best = t[i - 1][j - 1];
      if (r[i - 1] != h[j - 1]) {
        best.cost++;
        best.s++;
      }
      Cell del = t[i - 1][j];
      del.cost++;
      del.d++;
      Cell ins = t[i][j - 1];
      ins.cost++;
      ins.i++;
      if (del.cost < best.cost) best = del;
      if (ins.cost < best.cost) best = ins;
      t[i][j] = best;
    }
  }
  const Cell& c = t[r.size()][h.size()];
  return {c.s, c.d, c.i, r.size()};
}

}  // namespace

double wordRecall(const std::string& reference, const std::string& hypothesis) {
  const Alignment a = align(reference, hypothesis);
  if (a.reference == 0) return 1;
  return 1.0 - static_cast<double>(a.substitutions + a.deletions) / static_cast<double>(a.reference);
}

double wordErrorRate(const std::string& reference, const std::string& hypothesis) {
  const Alignment a = align(reference, hypothesis);
  if (a.reference == 0) return a.insertions > 0 ? 1 : 0;
  return static_cast<double>(a.substitutions + a.deletions + a.insertions) / static_cast<double>(a.reference);
}

}  // namespace tavrin::testing
