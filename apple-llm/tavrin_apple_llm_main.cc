// tavrin-apple-llm: structured notes from transcripts with the on-device
// language model. All behaviour lives in the library (app.h); this only
// wires in the real model found through the XDG data directories, and makes
// a crash inside the engine end the run with the usual one-line report.
#include <cstdlib>
#include <string>
#include <vector>

#include "apple-llm/app.h"
#include "apple-llm/crash_guard.h"
#include "apple-llm/llama_model.h"
#include "common/output.h"

int main(int argc, char** argv) {
  tavrin::openClosedStandardDescriptors();
  tavrin::ignoreBrokenPipeSignal();
  const tavrin::llm::CrashGuard crashGuard;
  try {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    tavrin::llm::LlamaLanguageModel model(
        tavrin::llm::ModelSearchPaths::fromEnvironment([](const char* name) { return std::getenv(name); }));
    tavrin::llm::Platform platform{model};
    return tavrin::llm::runAndReport(args, platform);
  } catch (const std::exception& e) {
    tavrin::writeFailureLine(e.what());
    return 1;
  }
}
