// bench_llm [--model PATH] [--threads N] [--tokens N] [--repeat N] [--no-children]
//
// Measures tavrin-apple-llm on a realistic-sized llama model (generated with
// random weights unless --model is given; speed does not depend on the
// weights' values) and compares it with llama.cpp's own llama-bench on the
// same model, thread count and context depth, in the same run. --threads 0
// (the default) lets the helper choose per request, as it does when run by
// the host (thread_choice.h); llama-bench then gets the count it chose. Every
// figure is measured --repeat times (default 5) and printed as min / median
// / max:
//   - extract: model load, prompt tokens/s, time to first token and
//     generation tokens/s, with the record grammar on and off;
//   - llama-bench: prompt processing and generation tokens/s, with OpenMP's
//     default wait policy (spinning a while between steps, as in the
//     helper) and, for generation, waiting passively (OMP_WAIT_POLICY=PASSIVE);
//   - wall time and peak memory of `status` runs of the real binary with the
//     model alone and beside a damaged and a partly copied model (newer, so
//     they are checked first), and of `extract` runs (on a copy of the model
//     whose strings end early, so the run is start-up, prompt and a short
//     record). --no-children leaves these out.
// bench/llm_threads.sh runs it idle and beside a busy core.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "apple-llm/llama_model.h"
#include "apple-llm/prompts.h"
#include "apple-llm/testmodel/testmodel.h"
#include "apple-llm/thread_choice.h"

namespace {

using namespace tavrin::llm;
namespace fs = std::filesystem;

constexpr const char* kTranscript =
    "You: Thanks for joining. The first thing is the release date for the desktop app.\n"
    "Others: We said the fourteenth, but the installer signing is still failing on two machines.\n"
    "You: How long would a fix take?\n"
    "Others: Maybe three days if Dana gets the certificates renewed this week.\n"
    "You: Then let's move the release to the twentieth and keep the fourteenth for the beta.\n"
    "Others: Agreed. I'll tell support and update the release notes.\n"
    "You: Second topic, the onboarding survey. Completion went from 40 percent to 62 percent after we cut it to five "
    "questions.\n"
    "Others: The free-text answers mention the import step a lot; people can't find where to pick their calendar.\n"
    "You: Let's put the calendar picker on the first screen. I'll draft the design by Friday.\n"
    "Others: And we should check the numbers again in two weeks before deciding on the paid tier trial.\n";

struct Args {
  std::string model;
  int threads = 0;
  bool children = true;
  int tokens = 128;
  int repeat = 5;
};

struct Run {
  GenerationStats stats;
  bool complete = false;
};

struct Spread {
  double min = 0, median = 0, max = 0;
};

Spread spread(std::vector<double> v) {
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2], v.back()};
}

std::string show(const Spread& s, const char* format = "%.1f") {
  char buffer[128];
  const std::string f = std::string(format) + " / " + format + " / " + format;
  std::snprintf(buffer, sizeof buffer, f.c_str(), s.min, s.median, s.max);
  return buffer;
}

Run extractOnce(const std::string& dataDir, const Args& args, bool constrained, uint32_t seed) {
  Run run;
  LlamaOptions options;
  options.threads = args.threads;
  options.constrained = constrained;
  options.seed = seed;
  options.stats = &run.stats;
  LlamaLanguageModel model(ModelSearchPaths{{dataDir}}, options);
  auto session = model.openSession(extractInstructions(std::nullopt));
  try {
    session->respond(buildPrompt(extractPass(), kTranscript, std::nullopt), Extract::schema(),
                     GenerationOptions{extractPass().temperature, args.tokens});
    run.complete = true;
  } catch (const std::exception&) {
    // A random-weight model rarely finishes a record within the limit; the
    // timings are what counts here.
  }
  return run;
}

struct Summary {
  Spread loadMs, promptTps, ttftMs, genTps;
  int promptTokens = 0;
  int threads = 0;  // as chosen in the last run
};

Summary measure(const std::string& dataDir, const Args& args, bool constrained) {
  std::vector<double> load, ptps, ttft, gtps;
  Summary s;
  for (int i = 0; i < args.repeat; ++i) {
    const Run r = extractOnce(dataDir, args, constrained, 1000 + static_cast<uint32_t>(i));
    load.push_back(r.stats.loadMs);
    ptps.push_back(r.stats.promptTokens * 1000.0 / r.stats.promptMs);
    ttft.push_back(r.stats.firstTokenMs);
    // Tokens after the first, over the time after the first.
    if (r.stats.generatedTokens > 1) gtps.push_back((r.stats.generatedTokens - 1) * 1000.0 / r.stats.generationMs);
    s.promptTokens = r.stats.promptTokens;
    s.threads = r.stats.threads;
  }
  s.loadMs = spread(load);
  s.promptTps = spread(ptps);
  s.ttftMs = spread(ttft);
  s.genTps = spread(gtps);
  return s;
}

std::string capture(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

// Tokens/s of each repetition of llama-bench's one test: prompt of `p`
// tokens or `n` generated tokens at depth `d`.
Spread llamaBench(const std::string& model, const Args& args, int threads, const char* waitPolicy, int p, int n,
                  int d) {
  // No wait policy: OpenMP's default, as in the helper.
  const std::string env = waitPolicy != nullptr ? std::string("OMP_WAIT_POLICY=") + waitPolicy : "-u OMP_WAIT_POLICY";
  const std::string command = "env " + env + " " + LLAMA_BENCH_BIN + " -m '" + model + "' -t " +
                              std::to_string(threads) + " -p " + std::to_string(p) + " -n " + std::to_string(n) +
                              " -d " + std::to_string(d) + " -r " + std::to_string(args.repeat) +
                              " -o json 2>/dev/null";
  const nlohmann::json v = nlohmann::json::parse(capture(command), nullptr, false);
  if (!v.is_array() || v.empty() || !v[0].contains("samples_ts")) {
    std::fprintf(stderr, "llama-bench gave no result: %s\n", command.c_str());
    return {};
  }
  return spread(v[0]["samples_ts"].get<std::vector<double>>());
}

struct ChildFigures {
  double wallMs;
  long maxRssKb;
  int status;
};

ChildFigures runChild(const std::vector<std::string>& argv, const std::string& dataHome) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    setenv("XDG_DATA_DIRS", dataHome.c_str(), 1);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    std::vector<char*> cargv;
    for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return {ms, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--model")
      args.model = argv[i + 1];
    else if (a == "--threads")
      args.threads = std::atoi(argv[i + 1]);
    else if (a == "--tokens")
      args.tokens = std::atoi(argv[i + 1]);
    else if (a == "--repeat")
      args.repeat = std::atoi(argv[i + 1]);
  }
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--no-children") args.children = false;
  }
  const fs::path dataDir = fs::temp_directory_path() / ("tavrin-bench-llm-" + std::to_string(getpid()));
  const fs::path models = dataDir / "tavrin" / "models";
  fs::create_directories(models);
  const std::string modelPath = (models / "bench.gguf").string();
  if (args.model.empty()) {
    std::printf("writing a random-weight benchmark model (llama, 896 wide, 24 layers, 32k vocabulary, Q8_0)...\n");
    std::fflush(stdout);
    testmodel::writeModel(modelPath, testmodel::benchShape());
  } else {
    fs::create_symlink(fs::absolute(args.model), modelPath);
  }
  std::printf("model: %s (%.0f MB), threads: %s, generated tokens per run: %d, runs: %d (medians)\n\n",
              modelPath.c_str(), static_cast<double>(fs::file_size(modelPath)) / 1e6,
              args.threads > 0 ? std::to_string(args.threads).c_str() : "chosen per request", args.tokens, args.repeat);

  const Summary on = measure(dataDir.string(), args, true);
  const Summary off = measure(dataDir.string(), args, false);
  const int threads = args.threads > 0 ? args.threads : on.threads;
  const Spread peerPrompt = llamaBench(modelPath, args, threads, nullptr, on.promptTokens, 0, 0);
  const Spread peerGen = llamaBench(modelPath, args, threads, nullptr, 0, args.tokens, on.promptTokens);
  const Spread passiveGen = llamaBench(modelPath, args, threads, "PASSIVE", 0, args.tokens, on.promptTokens);
  std::printf("threads used: %d (of %zu CPUs this process may use)\n", threads, tavrin::allowedCpus().size());

  std::printf("extract, prompt of %d tokens, up to %d generated; min / median / max of %d runs\n", on.promptTokens,
              args.tokens, args.repeat);
  std::printf("  %-22s %-26s %-26s %-26s %-26s\n", "", "load ms", "prompt t/s", "TTFT ms", "gen t/s");
  for (const auto& [name, s] : {std::pair{"grammar on", on}, std::pair{"grammar off", off}}) {
    std::printf("  %-22s %-26s %-26s %-26s %-26s\n", name, show(s.loadMs).c_str(), show(s.promptTps).c_str(),
                show(s.ttftMs).c_str(), show(s.genTps, "%.2f").c_str());
  }
  std::printf("  %-22s %-26s %-26s %-26s %-26s\n", "llama-bench (same run)", "-", show(peerPrompt).c_str(), "-",
              show(peerGen, "%.2f").c_str());
  std::printf("  %-22s %-26s %-26s %-26s %-26s\n", "llama-bench, passive", "-", "-", "-",
              show(passiveGen, "%.2f").c_str());
  const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  std::printf(
      "  medians: prompt / llama-bench %.3f; gen grammar on / llama-bench %.3f, grammar off / llama-bench "
      "%.3f; grammar on / off %.3f\n\n",
      ratio(on.promptTps.median, peerPrompt.median), ratio(on.genTps.median, peerGen.median),
      ratio(off.genTps.median, peerGen.median), ratio(on.genTps.median, off.genTps.median));

  const std::string transcript = (dataDir / "section.txt").string();
  {
    FILE* f = std::fopen(transcript.c_str(), "w");
    std::fputs(kTranscript, f);
    std::fclose(f);
  }
  const auto childRuns = [&](const std::vector<std::string>& command, const std::string& home, const char* name) {
    std::vector<double> wall, rss;
    int status = 0;
    for (int i = 0; i < args.repeat; ++i) {
      const ChildFigures c = runChild(command, home);
      wall.push_back(c.wallMs);
      rss.push_back(static_cast<double>(c.maxRssKb) / 1024.0);
      status = std::max(status, c.status);
    }
    std::printf("tavrin-apple-llm %s (worst exit %d): wall ms %s, peak RSS MB %s\n", name, status,
                show(spread(wall)).c_str(), show(spread(rss)).c_str());
  };
  if (!args.children) {
    fs::remove_all(dataDir);
    return 0;
  }
  childRuns({TAVRIN_APPLE_LLM_BIN, "status"}, dataDir.string(), "status, one model");
  {
    // Beside it, newer and so checked first: a model that makes llama.cpp's
    // loader assert (a duplicate token) and a copy cut short.
    const fs::path tiny = dataDir / "tiny.gguf";
    testmodel::writeModel(tiny.string(), testmodel::tinyShape());
    std::string bytes;
    {
      std::ifstream in(tiny, std::ios::binary);
      bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string damaged = bytes;
    damaged.replace(damaged.find("<0x41>"), 6, "<0x40>");
    std::ofstream(models / "x-damaged.gguf", std::ios::binary) << damaged;
    std::ofstream(models / "y-partial.gguf", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    fs::remove(tiny);
    childRuns({TAVRIN_APPLE_LLM_BIN, "status"}, dataDir.string(), "status, three models, two unusable");
    fs::remove(models / "x-damaged.gguf");
    fs::remove(models / "y-partial.gguf");
  }
  if (args.model.empty()) {
    // The same shape whose strings and lists end at once.
    const fs::path shortHome = dataDir / "short";
    fs::create_directories(shortHome / "tavrin" / "models");
    testmodel::Shape shape = testmodel::benchShape();
    shape.quoteBias = shape.listEndBias = 12.0f;
    testmodel::writeModel((shortHome / "tavrin" / "models" / "bench.gguf").string(), shape);
    childRuns({TAVRIN_APPLE_LLM_BIN, "extract", transcript}, shortHome.string(), "extract (short record)");
  }

  fs::remove_all(dataDir);
  return 0;
}
