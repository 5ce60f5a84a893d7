// tavrin-apple-llm: structured notes from transcripts with the on-device
// language model. All behaviour lives in the library (app.h); this only
// wires in the real model found through the XDG data directories, and makes
// a crash inside the engine end the run with the usual one-line report.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "apple-llm/app.h"
#include "apple-llm/crash_guard.h"
#include "apple-llm/llama_model.h"
#include "apple-llm/model_fetch.h"
#include "common/output.h"

int main(int argc, char** argv) {
  tavrin::openClosedStandardDescriptors();
  if (tavrin::writeVersionIfAsked(argc, argv, "tavrin-apple-llm")) return 0;
  tavrin::ignoreBrokenPipeSignal();
  const tavrin::llm::CrashGuard crashGuard;
  try {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    // TAVRIN_LLM_LOG names a file that is appended one line for each reason
    // the engine or an installed model is not used, and the model that is:
    // where a user finds out why `status` says unavailable.
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> logFile(
        std::getenv("TAVRIN_LLM_LOG") != nullptr ? std::fopen(std::getenv("TAVRIN_LLM_LOG"), "a") : nullptr,
        [](std::FILE* f) { return f != nullptr ? std::fclose(f) : 0; });
    tavrin::llm::LlamaOptions options;
    if (logFile) {
      options.log = [file = logFile.get()](const std::string& line) {
        std::fprintf(file, "tavrin-apple-llm: %s\n", line.c_str());
        std::fflush(file);
      };
    }
    options.fetchModel = &tavrin::llm::fetchNotesModel;
    tavrin::llm::LlamaLanguageModel model(
        tavrin::llm::ModelSearchPaths::fromEnvironment([](const char* name) { return std::getenv(name); }), options);
    tavrin::llm::Platform platform{model};
    return tavrin::llm::runAndReport(args, platform);
  } catch (const std::exception& e) {
    tavrin::writeFailureLine(e.what());
    return 1;
  }
}
