// Finding the model files, availability when the engine cannot run, usable processors. What each kind of model
// file is reported as, and which of several is used: cli_e2e_test.
#include "apple-llm/model_store.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <filesystem>

#include "apple-llm/llama_model.h"
#include "apple-llm/testmodel/testmodel.h"
#include "apple-llm/thread_choice.h"
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

TEST(FindModels, NewestFirstThenDirectoryOrderThenName) {
  TempDir home, system;
  const ModelSearchPaths paths{{home.path(), system.path(), "/nonexistent"}};
  EXPECT_FALSE(findModels(paths).installing);
  const auto now = fs::file_time_type::clock::now();
  struct File {
    std::string dir;
    const char* name;
    int ageSeconds;
  };
  for (const File& f :
       {File{home.path(), "old.gguf", 100}, File{system.path(), "new.gguf", 0}, File{home.path(), "b.gguf", 50},
        File{system.path(), "a.gguf", 50}, File{home.path(), "a.gguf", 50}}) {
    const std::string path = modelsDir(f.dir) + "/" + f.name;
    writeFile(path, "x");
    fs::last_write_time(path, now - std::chrono::seconds(f.ageSeconds));
  }
  writeFile(modelsDir(home.path()) + "/newest.gguf.part", "x");
  fs::create_directories(modelsDir(home.path()) + "/dir.gguf");  // not a file
  const InstalledModels found = findModels(paths);
  EXPECT_TRUE(found.installing);
  Dirs order;
  for (const ModelCandidate& m : found.models) order.push_back(m.path);
  const std::string h = modelsDir(home.path()), s = modelsDir(system.path());
  EXPECT_EQ(order, (Dirs{s + "/new.gguf", h + "/a.gguf", h + "/b.gguf", s + "/a.gguf", h + "/old.gguf"}));
}

TEST(EngineAvailability, ACpuOrEngineThatCannotRunMakesTheModelUnavailable) {
  TempDir home, libs;
  testmodel::writeModel(modelsDir(home.path()) + "/m.gguf", testmodel::tinyShape());
  writeFile(libs.file("libllama.so.0"), "not a library");
  std::string log;
  const auto model = [&](Dirs libraryDirs, bool (*cpu)()) {
    LlamaOptions options;
    options.libraryDirs = std::move(libraryDirs);
    options.cpuRunsEngine = cpu;
    options.log = [&](const std::string& line) { log += line + "\n"; };
    return std::make_unique<LlamaLanguageModel>(ModelSearchPaths{{home.path()}}, options);
  };
  const auto reason = [&](Dirs libraryDirs, bool (*cpu)()) -> std::optional<UnavailableReason> {
    const ModelAvailability a = model(std::move(libraryDirs), cpu)->availability();
    return a.available ? std::nullopt : std::optional(a.reason);
  };
  EXPECT_EQ(reason({"/nonexistent", libs.path()}, nullptr), UnavailableReason::kOther);
  // The cause is in the log the user can turn on.
  EXPECT_EQ(log, "the engine (llama.cpp) could not be loaded: " + libs.file("libllama.so.0") + ": file too short\n");
  EXPECT_EQ(reason({}, [] { return false; }), UnavailableReason::kDeviceNotEligible);
  EXPECT_EQ(reason({}, nullptr), std::nullopt);
  EXPECT_THROW(model({libs.path()}, nullptr)->openSession("x"), ModelError);
}

TEST(ThreadsFor, OneThreadPerCpuThatOthersLeaveFreeAtMostOnePerCore) {
  struct Case {
    CpuTimes after;  // ticks since an all-zero sample
    int cpus, cores, threads;
  };
  for (const Case& c : {Case{{2, 200, 0}, 2, 2, 2}, Case{{100, 200, 0}, 2, 2, 1}, Case{{100, 200, 100}, 2, 2, 2},
                        Case{{20, 200, 0}, 2, 2, 2}, Case{{30, 200, 0}, 2, 2, 1}, Case{{200, 200, 0}, 2, 2, 1},
                        Case{{0, 400, 0}, 4, 2, 2}, Case{{300, 800, 0}, 8, 8, 5}, Case{{0, 0, 0}, 2, 2, 2}}) {
    EXPECT_EQ(threadsFor({}, c.after, c.cpus, c.cores), c.threads) << c.after.busy << "/" << c.after.total;
  }
}

TEST(AllowedCpus, FollowTheAffinityMask) {
  EXPECT_EXIT(
      {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(0, &one);
        ::sched_setaffinity(0, sizeof one, &one);
        std::exit(allowedCpus() == std::vector<int>{0} ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tavrin::llm
