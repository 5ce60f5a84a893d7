// bench_llm [--model PATH] [--threads N] [--tokens N] [--repeat N]
//
// Measures tavrin-apple-llm on a realistic-sized llama model (generated with
// random weights unless --model is given; speed does not depend on the
// weights' values) and compares it with llama.cpp's own llama-bench on the
// same model, thread count and context depth, in the same run:
//   - extract: prompt tokens/s, time to first token and generation tokens/s,
//     with the record grammar on and off;
//   - llama-bench: prompt processing and generation tokens/s;
//   - start-up and peak memory of a `status` run and an `extract` run of the
//     real binary.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "apple-llm/llama_model.h"
#include "apple-llm/prompts.h"
#include "apple-llm/testmodel/testmodel.h"

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
    "You: Second topic, the onboarding survey. Completion went from 40 percent to 62 percent after we cut it to five questions.\n"
    "Others: The free-text answers mention the import step a lot; people can't find where to pick their calendar.\n"
    "You: Let's put the calendar picker on the first screen. I'll draft the design by Friday.\n"
    "Others: And we should check the numbers again in two weeks before deciding on the paid tier trial.\n";

struct Args {
  std::string model;
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  int tokens = 128;
  int repeat = 3;
};

struct Run {
  GenerationStats stats;
  bool complete = false;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
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
  double loadMs, promptTps, ttftMs, genTps;
  int promptTokens, generated;
};

Summary measure(const std::string& dataDir, const Args& args, bool constrained) {
  std::vector<double> load, ptps, ttft, gtps;
  Summary s{};
  for (int i = 0; i < args.repeat; ++i) {
    const Run r = extractOnce(dataDir, args, constrained, 1000 + static_cast<uint32_t>(i));
    load.push_back(r.stats.loadMs);
    ptps.push_back(r.stats.promptTokens * 1000.0 / r.stats.promptMs);
    ttft.push_back(r.stats.firstTokenMs);
    // Tokens after the first, over the time after the first.
    if (r.stats.generatedTokens > 1) gtps.push_back((r.stats.generatedTokens - 1) * 1000.0 / r.stats.generationMs);
    s.promptTokens = r.stats.promptTokens;
    s.generated = r.stats.generatedTokens;
  }
  s.loadMs = median(load);
  s.promptTps = median(ptps);
  s.ttftMs = median(ttft);
  s.genTps = median(gtps);
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

// avg_ts of llama-bench's one test: prompt of `p` tokens or `n` generated
// tokens at depth `d`.
double llamaBench(const std::string& model, const Args& args, int p, int n, int d) {
  const std::string command = std::string(LLAMA_BENCH_BIN) + " -m '" + model + "' -t " + std::to_string(args.threads) +
                              " -p " + std::to_string(p) + " -n " + std::to_string(n) + " -d " + std::to_string(d) +
                              " -r " + std::to_string(args.repeat) + " -o json 2>/dev/null";
  const std::string out = capture(command);
  const nlohmann::json v = nlohmann::json::parse(out, nullptr, false);
  if (!v.is_array() || v.empty()) {
    std::fprintf(stderr, "llama-bench gave no result: %s\n", command.c_str());
    return 0;
  }
  return v[0].value("avg_ts", 0.0);
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
    if (a == "--model") args.model = argv[i + 1];
    else if (a == "--threads") args.threads = std::atoi(argv[i + 1]);
    else if (a == "--tokens") args.tokens = std::atoi(argv[i + 1]);
    else if (a == "--repeat") args.repeat = std::atoi(argv[i + 1]);
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
  std::printf("model: %s (%.0f MB), threads: %d, generated tokens per run: %d, runs: %d (medians)\n\n",
              modelPath.c_str(), static_cast<double>(fs::file_size(modelPath)) / 1e6, args.threads, args.tokens,
              args.repeat);

  const Summary on = measure(dataDir.string(), args, true);
  const Summary off = measure(dataDir.string(), args, false);
  const double peerPrompt = llamaBench(modelPath, args, on.promptTokens, 0, 0);
  const double peerGen = llamaBench(modelPath, args, 0, args.tokens, on.promptTokens);

  std::printf("extract, prompt of %d tokens, up to %d generated\n", on.promptTokens, args.tokens);
  std::printf("  %-22s %10s %12s %12s %12s\n", "", "load ms", "prompt t/s", "TTFT ms", "gen t/s");
  std::printf("  %-22s %10.1f %12.1f %12.1f %12.2f\n", "grammar on", on.loadMs, on.promptTps, on.ttftMs, on.genTps);
  std::printf("  %-22s %10.1f %12.1f %12.1f %12.2f\n", "grammar off", off.loadMs, off.promptTps, off.ttftMs, off.genTps);
  std::printf("  %-22s %10s %12.1f %12s %12.2f\n", "llama-bench (same run)", "-", peerPrompt, "-", peerGen);
  std::printf("  ratios: gen grammar on / llama-bench %.3f, grammar off / llama-bench %.3f, prompt / llama-bench %.3f\n",
              peerGen > 0 ? on.genTps / peerGen : 0.0, peerGen > 0 ? off.genTps / peerGen : 0.0,
              peerPrompt > 0 ? on.promptTps / peerPrompt : 0.0);
  std::printf("  grammar cost: %.1f %% of generation tokens/s\n\n",
              off.genTps > 0 ? (1.0 - on.genTps / off.genTps) * 100.0 : 0.0);

  const std::string transcript = (dataDir / "section.txt").string();
  {
    FILE* f = std::fopen(transcript.c_str(), "w");
    std::fputs(kTranscript, f);
    std::fclose(f);
  }
  std::vector<double> statusMs;
  long statusRss = 0;
  for (int i = 0; i < 5; ++i) {
    const ChildFigures c = runChild({TAVRIN_APPLE_LLM_BIN, "status"}, dataDir.string());
    statusMs.push_back(c.wallMs);
    statusRss = std::max(statusRss, c.maxRssKb);
  }
  std::printf("tavrin-apple-llm status: %.1f ms wall (median of 5), peak RSS %.1f MB\n", median(statusMs),
              static_cast<double>(statusRss) / 1024.0);
  const ChildFigures ex = runChild({TAVRIN_APPLE_LLM_BIN, "extract", transcript}, dataDir.string());
  std::printf("tavrin-apple-llm extract (up to 1200 tokens, exit %d): %.1f s wall, peak RSS %.1f MB, model load %.1f ms\n",
              ex.status, ex.wallMs / 1000.0, static_cast<double>(ex.maxRssKb) / 1024.0, on.loadMs);

  fs::remove_all(dataDir);
  return 0;
}
