// tavrin-llm-testmodel OUTPUT [tiny|bench|oversized] [--quote-bias X] [--seed N]
// Writes a random-weight llama model (see testmodel.h).
#include <cstdio>
#include <exception>
#include <string>

#include "apple-llm/testmodel/testmodel.h"

int main(int argc, char** argv) {
  using namespace tavrin::llm::testmodel;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTPUT [tiny|bench|oversized] [--quote-bias X] [--seed N]\n", argv[0]);
    return 1;
  }
  try {
    Shape shape = tinyShape();
    for (int i = 2; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "tiny") {
        shape = tinyShape();
      } else if (arg == "bench") {
        shape = benchShape();
      } else if (arg == "oversized") {
        writeOversizedHeader(argv[1], uint64_t{1} << 50);
        return 0;
      } else if (arg == "--quote-bias" && i + 1 < argc) {
        shape.quoteBias = std::stof(argv[++i]);
      } else if (arg == "--seed" && i + 1 < argc) {
        shape.seed = static_cast<uint32_t>(std::stoul(argv[++i]));
      } else {
        std::fprintf(stderr, "unknown argument: %s\n", arg.c_str());
        return 1;
      }
    }
    writeModel(argv[1], shape);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
