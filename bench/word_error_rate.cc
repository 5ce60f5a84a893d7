// Word error rate of hypothesis lines against reference lines (line i of
// one file against line i of the other): (substitutions + deletions +
// insertions) summed over all lines, divided by the reference words.
// Words are compared in lower case without punctuation.
//
//   bench_word_error_rate REFERENCE.txt HYPOTHESIS.txt
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::string w;
  for (unsigned char c : line) {
    if (std::isalnum(c) || c == '\'') {
      w.push_back(static_cast<char>(std::tolower(c)));
    } else if (!w.empty()) {
      out.push_back(w);
      w.clear();
    }
  }
  if (!w.empty()) out.push_back(w);
  return out;
}

size_t editDistance(const std::vector<std::string>& r, const std::vector<std::string>& h) {
  std::vector<size_t> prev(h.size() + 1), cur(h.size() + 1);
  for (size_t j = 0; j <= h.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= r.size(); ++i) {
    cur[0] = i;
    for (size_t j = 1; j <= h.size(); ++j) {
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (r[i - 1] == h[j - 1] ? 0 : 1)});
    }
    std::swap(prev, cur);
  }
  return prev[h.size()];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: bench_word_error_rate REFERENCE.txt HYPOTHESIS.txt\n";
    return 1;
  }
  std::ifstream ref(argv[1]), hyp(argv[2]);
  std::string r, h;
  size_t errors = 0, total = 0, lines = 0;
  while (std::getline(ref, r)) {
    if (!std::getline(hyp, h)) h.clear();
    const auto rw = words(r);
    const size_t e = editDistance(rw, words(h));
    errors += e;
    total += rw.size();
    ++lines;
    if (e > 0) std::cout << "  ref: " << r << "\n  hyp: " << h << "\n";
  }
  std::printf("sentences %zu, reference words %zu, errors %zu, WER %.1f %%\n", lines, total, errors,
              total ? 100.0 * static_cast<double>(errors) / static_cast<double>(total) : 0.0);
  return 0;
}
