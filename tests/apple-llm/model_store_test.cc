// Finding the installed model and mapping its state to availability reasons.
#include "apple-llm/model_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "apple-llm/testmodel/testmodel.h"
#include "tests/support/subprocess.h"

namespace tavrin::llm {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

ModelSearchPaths pathsFrom(const std::map<std::string, std::string>& env) {
  return ModelSearchPaths::fromEnvironment([&](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  });
}

std::string modelsDir(const std::string& dataDir) {
  const std::string dir = dataDir + "/tavrin/models";
  fs::create_directories(dir);
  return dir;
}

constexpr uint64_t kPlenty = uint64_t{1} << 40;

TEST(ModelSearchPaths, XdgDefaultsAndOrder) {
  EXPECT_EQ(pathsFrom({{"HOME", "/home/u"}}).dataDirs,
            (std::vector<std::string>{"/home/u/.local/share", "/usr/local/share", "/usr/share"}));
  EXPECT_EQ(pathsFrom({{"HOME", "/home/u"}, {"XDG_DATA_HOME", "/d"}, {"XDG_DATA_DIRS", "/a::relative:/b"}}).dataDirs,
            (std::vector<std::string>{"/d", "/a", "/b"}));
  EXPECT_EQ(pathsFrom({{"HOME", "/h"}, {"XDG_DATA_HOME", ""}, {"XDG_DATA_DIRS", ""}}).dataDirs,
            (std::vector<std::string>{"/h/.local/share", "/usr/local/share", "/usr/share"}));
  EXPECT_EQ(pathsFrom({}).dataDirs, (std::vector<std::string>{"/usr/local/share", "/usr/share"}));
}

TEST(LocateModel, FirstDirectoryWithAModelWinsThenFirstName) {
  TempDir home, system;
  ModelSearchPaths paths{{home.path(), system.path(), "/nonexistent"}};
  EXPECT_EQ(locateModel(paths).state, ModelLocation::State::kNone);

  writeFile(modelsDir(home.path()) + "/b.gguf.part", "x");
  EXPECT_EQ(locateModel(paths).state, ModelLocation::State::kInstalling);

  writeFile(modelsDir(system.path()) + "/z.gguf", "x");
  writeFile(modelsDir(system.path()) + "/notes.txt", "x");
  EXPECT_EQ(locateModel(paths).path, system.path() + "/tavrin/models/z.gguf");

  fs::create_directories(modelsDir(home.path()) + "/dir.gguf");  // not a file
  writeFile(modelsDir(home.path()) + "/m.gguf", "x");
  writeFile(modelsDir(home.path()) + "/c.gguf", "x");
  const ModelLocation found = locateModel(paths);
  EXPECT_EQ(found.state, ModelLocation::State::kFound);
  EXPECT_EQ(found.path, home.path() + "/tavrin/models/c.gguf");
}

TEST(InspectModel, EachStateMapsToItsReason) {
  TempDir dir;
  const std::string good = dir.file("good.gguf");
  testmodel::writeModel(good, testmodel::tinyShape());
  EXPECT_TRUE(inspectModel(good, kPlenty).available);

  // Weights larger than the machine's memory.
  const ModelAvailability small = inspectModel(good, 1000);
  EXPECT_FALSE(small.available);
  EXPECT_EQ(small.reason, UnavailableReason::kDeviceNotEligible);

  // A copy still in progress: header complete, data cut short.
  const std::string content = readFile(good);
  writeFile(dir.file("half.gguf"), content.substr(0, content.size() / 2));
  EXPECT_EQ(inspectModel(dir.file("half.gguf"), kPlenty).reason, UnavailableReason::kModelNotReady);

  // Not a model at all.
  writeFile(dir.file("text.gguf"), "hello, this is not a model");
  EXPECT_EQ(inspectModel(dir.file("text.gguf"), kPlenty).reason, UnavailableReason::kOther);
  writeFile(dir.file("head.gguf"), content.substr(0, 16));
  EXPECT_EQ(inspectModel(dir.file("head.gguf"), kPlenty).reason, UnavailableReason::kOther);
  EXPECT_EQ(inspectModel(dir.file("missing.gguf"), kPlenty).reason, UnavailableReason::kOther);
}

TEST(ModelAvailability, NoModelMeansNotEnabled) {
  TempDir home;
  ModelSearchPaths paths{{home.path()}};
  EXPECT_EQ(modelAvailability(paths, kPlenty).reason, UnavailableReason::kAppleIntelligenceNotEnabled);
  writeFile(modelsDir(home.path()) + "/m.gguf.download", "");
  EXPECT_EQ(modelAvailability(paths, kPlenty).reason, UnavailableReason::kModelNotReady);
  testmodel::writeModel(modelsDir(home.path()) + "/m.gguf", testmodel::tinyShape());
  EXPECT_TRUE(modelAvailability(paths, kPlenty).available);
}

}  // namespace
}  // namespace tavrin::llm
