// The real tavrin-apple-llm binary: exact standard output, standard error
// and exit status, with models installed in a temporary XDG data home.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "apple-llm/testmodel/testmodel.h"
#include "tests/support/subprocess.h"

namespace tavrin::llm {
namespace {

using testing::ProcessOptions;
using testing::ProcessResult;
using testing::runProcess;
using testing::TempDir;
using testing::writeFile;

class CliTest : public ::testing::Test {
 protected:
  CliTest() {
    std::filesystem::create_directories(models());
    std::filesystem::create_directories(systemData_.path());
  }

  std::string models() const { return home_.path() + "/tavrin/models"; }

  ProcessResult run(std::vector<std::string> args) {
    args.insert(args.begin(), TAVRIN_APPLE_LLM_BIN);
    ProcessOptions options;
    options.setEnv = {{"XDG_DATA_HOME", home_.path()}, {"XDG_DATA_DIRS", systemData_.path()}};
    options.timeout = std::chrono::seconds(120);
    return runProcess(args, options);
  }

  void expectFailure(const std::vector<std::string>& args, const std::string& line) {
    const ProcessResult r = run(args);
    EXPECT_EQ(r.exitStatus, 1) << ::testing::PrintToString(args);
    EXPECT_EQ(r.out, "") << ::testing::PrintToString(args);
    EXPECT_EQ(r.err, line + "\n") << ::testing::PrintToString(args);
  }

  void installTinyModel() { testmodel::writeModel(models() + "/tiny.gguf", testmodel::tinyShape()); }

  TempDir home_;
  TempDir systemData_;
  TempDir files_;
};

TEST_F(CliTest, ArgumentAndFileFailures) {
  installTinyModel();
  expectFailure({}, "Invalid arguments.");
  expectFailure({"summarize"}, "Invalid arguments.");
  expectFailure({"Status"}, "Invalid arguments.");
  expectFailure({"EXTRACT", "x"}, "Invalid arguments.");
  expectFailure({"extract"}, "Invalid arguments.");
  expectFailure({"synthesize"}, "Invalid arguments.");
  const std::string missing = files_.file("no such/file ü.txt");
  expectFailure({"extract", missing}, "Transcript file not found: " + missing);
  expectFailure({"synthesize", missing, "ja"}, "Transcript file not found: " + missing);
  writeFile(files_.file("blank.txt"), "  \t\n\n \r\n ");
  expectFailure({"extract", files_.file("blank.txt")}, "Transcript is empty.");
  writeFile(files_.file("bad.txt"), "You: caf\xE9 \xFF\xFE");
  expectFailure({"synthesize", files_.file("bad.txt")}, "Transcript is empty.");
  expectFailure({"extract", files_.path()}, "Transcript is empty.");
}

TEST_F(CliTest, StatusForEachModelState) {
  const auto status = [&] {
    const ProcessResult r = run({"status", "--ignored"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    return r.out;
  };
  writeFile(files_.file("t.txt"), "You: hello");
  EXPECT_EQ(status(),
            "{\"available\":false,\"status\":\"unavailable\",\"reason\":\"Enable Apple Intelligence in System "
            "Settings to generate summaries.\"}\n");
  expectFailure({"extract", files_.file("t.txt")}, "Enable Apple Intelligence in System Settings to generate summaries.");

  writeFile(models() + "/model.gguf.part", "GGUF");
  EXPECT_EQ(status(),
            "{\"available\":false,\"status\":\"unavailable\",\"reason\":\"The on-device model is still downloading. "
            "Try again shortly.\"}\n");
  expectFailure({"synthesize", files_.file("t.txt")}, "The on-device model is still downloading. Try again shortly.");

  testmodel::writeOversizedHeader(models() + "/huge.gguf", uint64_t{1} << 50);
  EXPECT_EQ(status(),
            "{\"available\":false,\"status\":\"unavailable\",\"reason\":\"This device does not support Apple "
            "Intelligence.\"}\n");
  expectFailure({"extract", files_.file("t.txt")}, "This device does not support Apple Intelligence.");

  writeFile(models() + "/a-broken.gguf", "not a model");
  EXPECT_EQ(status(),
            "{\"available\":false,\"status\":\"unavailable\",\"reason\":\"Apple Intelligence is unavailable on this "
            "device.\"}\n");
  expectFailure({"extract", files_.file("t.txt")}, "Apple Intelligence is unavailable on this device.");

  std::filesystem::remove(models() + "/a-broken.gguf");
  std::filesystem::remove(models() + "/huge.gguf");
  installTinyModel();
  EXPECT_EQ(status(), "{\"available\":true,\"status\":\"available\"}\n");
}

TEST_F(CliTest, ExtractPrintsOneCompleteRecordAndNothingElse) {
  installTinyModel();
  writeFile(files_.file("section.txt"),
            "\n\nYou: Let's move the launch to Monday.\nOthers: Fine, I will tell the team.\n\n");
  for (const std::vector<std::string>& extra :
       std::vector<std::vector<std::string>>{{}, {"ja"}, {"--verbose"}, {""}, {"pt_BR", "--x"}}) {
    std::vector<std::string> args{"extract", files_.file("section.txt")};
    args.insert(args.end(), extra.begin(), extra.end());
    const ProcessResult r = run(args);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");  // loading and generating are silent
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
    const nlohmann::json v = nlohmann::json::parse(r.out);
    ASSERT_TRUE(v.is_object());
    EXPECT_EQ(v.size(), 3u);
    ASSERT_TRUE(v["topics"].is_array());
    ASSERT_TRUE(v["decisions"].is_array());
    ASSERT_TRUE(v["actionItems"].is_array());
    for (const auto& t : v["topics"]) {
      EXPECT_EQ(t.size(), 2u);
      EXPECT_TRUE(t["topic"].is_string());
      EXPECT_TRUE(t["notes"].is_string());
    }
    for (const auto& d : v["decisions"]) EXPECT_TRUE(d.is_string());
    for (const auto& a : v["actionItems"]) {
      EXPECT_TRUE(a["text"].is_string());
      EXPECT_TRUE(a.size() == 1 || (a.size() == 2 && a["owner"].is_string())) << a.dump();
    }
  }
}

TEST_F(CliTest, SynthesizePrintsATitleAndSummary) {
  installTinyModel();
  writeFile(files_.file("notes.txt"), "Topic: launch moved to Monday.\nAction: tell the team (Others).");
  const ProcessResult r = run({"synthesize", files_.file("notes.txt"), "ja-JP"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const nlohmann::json v = nlohmann::json::parse(r.out);
  EXPECT_EQ(v.size(), 2u);
  EXPECT_TRUE(v["title"].is_string());
  EXPECT_TRUE(v["summary"].is_string());
  EXPECT_EQ(r.out.find("\\/"), std::string::npos);
}

TEST_F(CliTest, AModelThatFailsToLoadIsOneLine) {
  std::string content;
  {
    TempDir tmp;
    testmodel::writeModel(tmp.file("m.gguf"), testmodel::tinyShape());
    content = testing::readFile(tmp.file("m.gguf"));
  }
  content.replace(content.find("llama"), 5, "zzzzz");
  writeFile(models() + "/m.gguf", content);
  writeFile(files_.file("t.txt"), "You: hi");
  const ProcessResult r = run({"extract", files_.file("t.txt")});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("The language model at " + models() + "/m.gguf could not be loaded")) << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

}  // namespace
}  // namespace tavrin::llm
