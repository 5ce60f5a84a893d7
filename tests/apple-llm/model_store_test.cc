// Finding the model, availability reasons of its and the engine's states, usable processors.
#include "apple-llm/model_store.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <filesystem>
#include <map>

#include "apple-llm/llama_model.h"
#include "apple-llm/testmodel/testmodel.h"
#include "tests/support/subprocess.h"

namespace tavrin::llm {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;
using Dirs = std::vector<std::string>;

std::string modelsDir(const std::string& dataDir) {
  fs::create_directories(dataDir + "/tavrin/models");
  return dataDir + "/tavrin/models";
}

constexpr uint64_t kPlenty = uint64_t{1} << 40;

const LlamaApi& api() {
  static const std::unique_ptr<LlamaLibrary> library = LlamaLibrary::open(defaultLibraryDirs());
  return library->api();
}

TEST(ModelSearchPaths, XdgDefaultsAndOrder) {
  using Env = std::map<std::string, std::string>;
  struct Case {
    Env env;
    Dirs dirs;
  };
  for (const Case& c : {Case{{{"HOME", "/h"}}, {"/h/.local/share", "/usr/local/share", "/usr/share"}},
                        Case{{{"HOME", "/h"}, {"XDG_DATA_HOME", "/d"}, {"XDG_DATA_DIRS", "/a::relative:/b"}},
                             {"/d", "/a", "/b"}},
                        Case{{{"HOME", "/h"}, {"XDG_DATA_HOME", "rel"}, {"XDG_DATA_DIRS", ""}},
                             {"/h/.local/share", "/usr/local/share", "/usr/share"}},
                        Case{{}, {"/usr/local/share", "/usr/share"}}}) {
    const auto getenv = [&](const char* name) -> const char* {
      auto it = c.env.find(name);
      return it == c.env.end() ? nullptr : it->second.c_str();
    };
    EXPECT_EQ(ModelSearchPaths::fromEnvironment(getenv).dataDirs, c.dirs);
  }
}

TEST(ModelAvailability, FirstDirectoryWithAModelWinsThenFirstName) {
  TempDir home, system;
  ModelSearchPaths paths{{home.path(), system.path(), "/nonexistent"}};
  EXPECT_EQ(modelAvailability(api(), paths, kPlenty).reason, UnavailableReason::kAppleIntelligenceNotEnabled);
  writeFile(modelsDir(home.path()) + "/b.gguf.download", "x");
  EXPECT_EQ(modelAvailability(api(), paths, kPlenty).reason, UnavailableReason::kModelNotReady);
  writeFile(modelsDir(system.path()) + "/z.gguf", "x");
  EXPECT_EQ(locateModel(paths).path, system.path() + "/tavrin/models/z.gguf");
  fs::create_directories(modelsDir(home.path()) + "/dir.gguf");  // not a file
  writeFile(modelsDir(home.path()) + "/m.gguf", "x");
  writeFile(modelsDir(home.path()) + "/c.gguf", "x");
  EXPECT_EQ(locateModel(paths).path, home.path() + "/tavrin/models/c.gguf");
}

TEST(InspectModel, EachStateMapsToItsReason) {
  TempDir dir;
  const std::string good = dir.file("good.gguf");
  testmodel::writeModel(good, testmodel::tinyShape());
  EXPECT_TRUE(inspectModel(api(), good, kPlenty).available);
  EXPECT_EQ(inspectModel(api(), good, 1000).reason, UnavailableReason::kDeviceNotEligible);
  // A copy in progress: header complete, data cut short.
  const std::string content = testing::readFile(good);
  writeFile(dir.file("half.gguf"), content.substr(0, content.size() / 2));
  EXPECT_EQ(inspectModel(api(), dir.file("half.gguf"), kPlenty).reason, UnavailableReason::kModelNotReady);
  writeFile(dir.file("text.gguf"), "hello, this is not a model");
  EXPECT_EQ(inspectModel(api(), dir.file("text.gguf"), kPlenty).reason, UnavailableReason::kOther);
}

TEST(EngineAvailability, ACpuOrEngineThatCannotRunMakesTheModelUnavailable) {
  TempDir home, libs;
  testmodel::writeModel(modelsDir(home.path()) + "/m.gguf", testmodel::tinyShape());
  writeFile(libs.file("libllama.so.0"), "not a library");
  const auto model = [&](Dirs libraryDirs, bool (*cpu)()) {
    LlamaOptions options;
    options.libraryDirs = std::move(libraryDirs);
    options.cpuRunsEngine = cpu;
    return std::make_unique<LlamaLanguageModel>(ModelSearchPaths{{home.path()}}, options);
  };
  const auto reason = [&](Dirs libraryDirs, bool (*cpu)()) -> std::optional<UnavailableReason> {
    const ModelAvailability a = model(std::move(libraryDirs), cpu)->availability();
    return a.available ? std::nullopt : std::optional(a.reason);
  };
  EXPECT_EQ(reason({"/nonexistent", libs.path()}, nullptr), UnavailableReason::kOther);
  EXPECT_EQ(reason({}, [] { return false; }), UnavailableReason::kDeviceNotEligible);
  EXPECT_EQ(reason({}, nullptr), std::nullopt);
  EXPECT_THROW(model({libs.path()}, nullptr)->openSession("x"), ModelError);
}

TEST(UsableProcessors, FollowsTheAffinityMask) {
  EXPECT_EXIT(
      {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(0, &one);
        ::sched_setaffinity(0, sizeof one, &one);
        std::exit(usableProcessors() == 1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tavrin::llm
