// tavrin-whisper-testmodel OUTPUT [tiny|base] [en|multilingual] [--seed N] [--end-bias X]
// Writes a random-weight Whisper model (see whisper_testmodel.h).
#include <cstdio>
#include <exception>
#include <string>

#include "speech-service/whisper/testmodel/whisper_testmodel.h"

int main(int argc, char** argv) {
  using namespace tavrin::speech::testmodel;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTPUT [tiny|base] [en|multilingual] [--seed N] [--end-bias X]\n", argv[0]);
    return 1;
  }
  try {
    WhisperTestModel model;
    WhisperSize size = WhisperSize::kTiny;
    bool multilingual = false;
    for (int i = 2; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "tiny" || arg == "base") {
        size = arg == "tiny" ? WhisperSize::kTiny : WhisperSize::kBase;
      } else if (arg == "en" || arg == "multilingual") {
        multilingual = arg == "multilingual";
      } else if (arg == "--seed" && i + 1 < argc) {
        model.seed = static_cast<uint32_t>(std::stoul(argv[++i]));
      } else if (arg == "--end-bias" && i + 1 < argc) {
        model.endBias = std::stof(argv[++i]);
      } else {
        std::fprintf(stderr, "unknown argument: %s\n", arg.c_str());
        return 1;
      }
    }
    model.hparams = whisperTestHparams(size, multilingual);
    writeWhisperTestModel(argv[1], model);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
